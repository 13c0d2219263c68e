#include "server/metrics_route.hpp"

#include "metrics/metrics.hpp"

namespace server {

common::router metrics_router() {
    common::router r("", {"Operations"});
    common::route scrape;
    scrape.path = "/metrics";
    scrape.name = "metrics";
    scrape.description = "Counters, histograms and gauges of the whole server in the Prometheus text format 0.0.4.";
    scrape.handler = [](common::request_context&) -> common::asio::awaitable<common::response> {
        co_return common::response::raw(metrics::exposition(), "text/plain; version=0.0.4; charset=utf-8", {{"Cache-Control", "no-store"}});
    };
    r.add_api_route(std::move(scrape));
    return r;
}

}  // namespace server
