#pragma once
// The host's own routes besides /openapi.json: POST /plans renders a survey plan.

#include <boost/asio/thread_pool.hpp>

#include "server/router.hpp"

namespace host {

// Resources the host routes share; owned by main for the life of the loop.
struct host_resources {
    // Plans render here, never on the event loop, so tiles keep flowing
    // while a plan is drawn. Two threads: the machine's cores are shared
    // with the loop and the database.
    boost::asio::thread_pool render_pool{2};
};

inline constexpr std::size_t plan_body_limit = 8 * 1024 * 1024;

void register_host_routes(application& app, host_resources& resources);

}  // namespace host
