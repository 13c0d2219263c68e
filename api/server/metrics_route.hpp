#pragma once
// GET /metrics: the server's metrics in the Prometheus text format, summed
// over every worker.

#include "common/route.hpp"

namespace server {

// The router of GET /metrics; metrics::enable must have been called.
common::router metrics_router();

}  // namespace server
