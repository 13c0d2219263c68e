#pragma once
// The plans' HTTP adapter: POST /plans renders a survey plan on a thread
// pool, never on the event loop.

#include <boost/asio/thread_pool.hpp>

#include "common/route.hpp"

namespace plots::http {

// What the plan routes share; owned by the host for the life of the loop.
struct plan_resources {
    // Plans render here, never on the event loop, so tiles keep flowing
    // while a plan is drawn. Two threads: the machine's cores are shared
    // with the loop and the database.
    boost::asio::thread_pool render_pool{2};
};

inline constexpr std::size_t plan_body_limit = 8 * 1024 * 1024;

// The router of POST /plans (no prefix, tag "Survey plans"); `resources`
// must outlive its routes.
common::router plan_router(plan_resources& resources);

}  // namespace plots::http
