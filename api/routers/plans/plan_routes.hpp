#pragma once
// The plans' HTTP adapter: POST /plans renders the survey plan of a request,
// GET /plans/{plot_no}.png and .json that of a plot of the cadastre, each on
// a thread pool, never on the event loop.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <utility>

#include <boost/asio/thread_pool.hpp>

#include "plots/cadastre/plan_source.hpp"
#include "common/route.hpp"

namespace plans {

namespace cadastre = plots::cadastre;

struct plan_limits {
    std::size_t threads = 2;     // render threads; the machine's cores are shared with the loop and the database
    std::size_t queue = 4;       // plans admitted per render thread, drawing or waiting
    std::chrono::seconds timeout{30};  // a plan not drawn by then is answered 503
};

// What the plan routes share; owned by the host for the life of the loop.
class plan_resources {
public:
    explicit plan_resources(plan_limits limits = {}, cadastre::source_options source = {})
        : limits(limits), source(std::move(source)), render_pool(limits.threads) {}

    const plan_limits limits;
    // Where plans by number read the cadastre (roads table, deadline).
    const cadastre::source_options source;
    // The counts that admitted plans and render tasks keep; shared with them,
    // as either may end after these resources.
    struct counts {
        // Plans admitted (from before their bodies are read) and not yet
        // finished on the pool (only the loop's thread touches it).
        std::size_t in_flight = 0;
        // Tasks posted to the pool and not yet ended (the render threads count themselves out).
        std::atomic<std::size_t> rendering{0};
    };
    std::shared_ptr<counts> shared = std::make_shared<counts>();
    std::size_t in_flight() const noexcept { return shared->in_flight; }
    // Plans render here, never on the event loop, so tiles keep flowing while a
    // plan is drawn. Declared last, so it is destroyed first: its destructor
    // joins the tasks while everything else here still exists.
    boost::asio::thread_pool render_pool;
};

inline constexpr std::size_t plan_body_limit = 8 * 1024 * 1024;

// Render threads per worker when none are asked for: the cores that the
// workers' event loops leave, shared among the workers, at least one and at
// most four (each plan in flight takes tens of megabytes). A render thread on
// the loop's core takes turns from the tiles even in the idle scheduling class.
std::size_t default_render_threads(unsigned cores, unsigned workers);

// The router of POST /plans and GET /plans/{plot_no}.png|.json (no prefix,
// tag "Survey plans"); `resources` must outlive its routes.
common::router plan_router(plan_resources& resources);

}  // namespace plans
