#pragma once
// GET /ready, for load balancers: whether this process should get requests.

#include <functional>

#include "common/route.hpp"

namespace database {
class pool;
}

namespace server {

// 200 {"status": "ready"} while the process is not stopping and a database
// session answers SELECT 1 within a second; otherwise 503 with the reason.
// `stopping` is asked on every request; `pool` must outlive the routes.
common::router readiness_router(database::pool& pool, std::function<bool()> stopping);

}  // namespace server
