#include "http/plan_routes.hpp"

#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/errors.hpp"
#include "plots.hpp"

namespace plots::http {

namespace {

namespace asio = boost::asio;
using json = nlohmann::ordered_json;

// What a refused plan's client is told to wait before it tries again.
constexpr int retry_after_seconds = 5;

// A plan may wait a few seconds more; a tile should not. A render thread runs
// only when the event loop leaves a core idle (SCHED_IDLE), or failing that at
// the lowest niceness.
bool lower_priority() {
    sched_param none{};
    if (::sched_setscheduler(0, SCHED_IDLE, &none) == 0) return true;
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19) == 0;
}

// Throws common::unavailable when the plans admitted fill every render thread's queue.
void admit(const plan_resources& resources) {
    if (resources.in_flight >= resources.limits.threads * resources.limits.queue) {
        throw common::unavailable("Too many plans are being drawn; try again shortly", retry_after_seconds);
    }
}

// The answer's JSON is made on the render thread too: the image's text runs
// to megabytes, and serialising it on the loop would hold up every tile.
common::response plan_answer(plots::plot_result plan) {
    json body;
    body["image"] = std::move(plan.image64);
    body["size_mm"] = {plan.size_mm.first, plan.size_mm.second};
    body["scale"] = plan.scale;
    return common::json_response(body);
}

asio::awaitable<common::response> create_plan(plan_resources& resources, const common::request& req) {
    // The body is parsed and the plan rendered on the pool; the loop only
    // waits for the timer that the worker cancels when it is done (posted
    // back to the loop's thread), so tiles keep flowing meanwhile.
    struct render_state {
        explicit render_state(asio::any_io_executor ex) : loop(ex), done(ex, asio::steady_timer::time_point::max()) {}
        asio::any_io_executor loop;
        asio::steady_timer done;
        std::atomic<bool> abandoned{false};  // given up: a plan not yet started is not drawn
        bool finished = false;               // the task has ended (set on the loop)
        std::optional<common::response> answer;
        bool malformed = false;
        std::exception_ptr failure;
    };
    auto state = std::make_shared<render_state>(co_await asio::this_coro::executor);
    ++resources.in_flight;
    ++resources.rendering;
    // The request may end before the pool gets to it: the task owns a copy.
    asio::post(resources.render_pool, [state, &resources, body = req.body] {
        static thread_local const bool lowered = lower_priority();
        (void)lowered;
        try {
            if (!state->abandoned) {
                auto doc = plots::parse_request(body);
                if (doc) {
                    state->answer = plan_answer(plots::generate_plot_from_request(*doc));
                } else {
                    state->malformed = true;
                }
            }
        } catch (...) {
            state->failure = std::current_exception();
        }
        // The last plan out hands the memory its bodies and documents held back
        // to the system, so a flood does not leave the worker at its peak.
        if (resources.rendering.fetch_sub(1) == 1) ::malloc_trim(0);
        asio::post(state->loop, [state, &resources] {
            --resources.in_flight;
            state->finished = true;
            state->done.cancel();
        });
    });
    state->done.expires_after(resources.limits.timeout);
    boost::system::error_code ec;
    co_await state->done.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (!state->finished) {
        // Given up (the client has gone, or the time is over): a plan not yet
        // started is never drawn; one being drawn still counts until it ends.
        state->abandoned = true;
        if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
        throw common::unavailable("The plan was not drawn within " + std::to_string(resources.limits.timeout.count()) + " s",
                                  retry_after_seconds);
    }
    if (state->malformed) {
        throw common::validation_error({{{"body"}, "Malformed JSON in the request body", "json_invalid"}});
    }
    try {
        if (state->failure) std::rethrow_exception(state->failure);
    } catch (const plots::too_deep& e) {
        throw common::validation_error({{{"body"}, e.what(), "json_too_deep"}});
    } catch (const plots::invalid_argument& e) {
        throw common::bad_request(e.what());
    } catch (const plots::invalid_record& e) {
        throw common::validation_error({{{"body"}, e.what(), "invalid_record"}});
    } catch (const plots::no_matching_parcel& e) {
        throw common::not_found(e.what());
    }
    co_return std::move(*state->answer);
}

}  // namespace

common::router plan_router(plan_resources& resources) {
    common::router r("", {"Survey plans"});
    common::route plans;
    plans.method = common::verb::post;
    plans.path = "/plans";
    plans.name = "create_plan";
    plans.description =
        "Render the survey plan of one parcel as a 300-dpi PNG. Body: {\"parcel_data\": [...], \"selected_parcel_number\": ..., "
        "\"road_data\": [...] or null, optional \"columnname\" and \"bounding_box\"}. Answer: {\"image\": base64 PNG, "
        "\"size_mm\": [w, h], \"scale\": N}.";
    plans.body_limit = plan_body_limit;
    plans.handler = [&resources](common::request_context& ctx) { return create_plan(resources, ctx.req()); };
    plans.admit = [&resources] { admit(resources); };
    r.add_api_route(std::move(plans));
    return r;
}

}  // namespace plots::http
