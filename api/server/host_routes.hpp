#pragma once
// The host's own routes (besides /openapi.json, which the application adds).

#include "server/router.hpp"

namespace host {

// Resources the host routes share; owned by main for the life of the loop.
struct host_resources {};

void register_host_routes(application& app, host_resources& resources);

}  // namespace host
