#include "routers/vectile/routes.hpp"

#include "routers/vectile/service.hpp"

namespace vectile {

void register_routes(service& svc) {
    using host::route;
    service* s = &svc;

    svc.router.add_api_route(route{
        .method = host::verb::get,
        .path = "/health/",
        .name = "health_check",
        .description = "Health check endpoint for monitoring.",
        .handler = [s](host::request_context&) { return health_check(*s); },
    });
}

}  // namespace vectile
