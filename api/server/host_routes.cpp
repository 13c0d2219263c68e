#include "server/host_routes.hpp"

namespace host {

void register_host_routes(application&, host_resources&) {}

}  // namespace host
