#include "server/readiness.hpp"

#include <chrono>

#include "common/cancellation.hpp"
#include "common/deadline.hpp"
#include "common/errors.hpp"
#include "database/database.hpp"
#include "logger/logger.hpp"

namespace server {

namespace asio = boost::asio;

namespace {

asio::awaitable<common::response> ready(database::pool& pool, const std::function<bool()>& stopping) {
    if (stopping()) throw common::unavailable("Not ready: shutting down");
    auto session = pool.make_session();
    std::string reason;
    try {
        auto answered = co_await common::with_deadline(session->execute("SELECT 1"), std::chrono::seconds(1));
        if (answered) {
            co_await session->close();
            co_return common::json_response({{"status", "ready"}});
        }
        reason = "the database did not answer within a second";
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) throw;
        logger::get_logger()->warn("Not ready: {}", e.what());
        reason = "the database is unreachable";
    }
    co_await session->close();
    throw common::unavailable("Not ready: " + reason);
}

}  // namespace

common::router readiness_router(database::pool& pool, std::function<bool()> stopping) {
    common::router r("", {"Operations"});
    r.add_api_route({.path = "/ready",
                     .name = "ready",
                     .description = "Whether this process should get requests: its database answers and it is not stopping.",
                     .handler = [&pool, stopping = std::move(stopping)](common::request_context&) { return ready(pool, stopping); }});
    return r;
}

}  // namespace server
