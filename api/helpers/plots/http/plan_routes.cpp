#include "http/plan_routes.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/errors.hpp"
#include "metrics/metrics.hpp"
#include "plots.hpp"

namespace plots::http {

namespace {

namespace asio = boost::asio;
using json = nlohmann::ordered_json;

// What a refused plan's client is told to wait before it tries again.
constexpr int retry_after_seconds = 5;

// Throws common::unavailable when the plans admitted fill every render thread's queue.
void admit(const plan_resources& resources) {
    if (resources.in_flight >= resources.limits.threads * resources.limits.queue) {
        metrics::count_plan(metrics::plan_status::refused);
        throw common::unavailable("Too many plans are being drawn; try again shortly", retry_after_seconds);
    }
}

// How a drawn plan ended: the caller's mistakes apart from the server's failures.
metrics::plan_status outcome_of(bool malformed, const std::exception_ptr& failure) {
    if (malformed) return metrics::plan_status::invalid;
    if (!failure) return metrics::plan_status::ok;
    try {
        std::rethrow_exception(failure);
    } catch (const plots::too_deep&) {
    } catch (const plots::invalid_argument&) {
    } catch (const plots::invalid_record&) {
    } catch (const plots::no_matching_parcel&) {
    } catch (...) {
        return metrics::plan_status::failed;
    }
    return metrics::plan_status::invalid;
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
        std::optional<plots::plot_result> plan;
        bool malformed = false;
        std::exception_ptr failure;
    };
    auto state = std::make_shared<render_state>(co_await asio::this_coro::executor);
    metrics::set_plan_queue(++resources.in_flight);
    // The request may end before the pool gets to it: the task owns a copy.
    asio::post(resources.render_pool, [state, &resources, body = req.body] {
        // A plan may wait a few seconds more; a tile should not. The render
        // threads yield the cores to the event loop whenever it has work.
        static thread_local const bool lowered = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10) == 0;
        (void)lowered;
        const auto started = metrics::clock::now();
        try {
            if (!state->abandoned) {
                auto doc = plots::parse_request(body);
                if (doc) {
                    state->plan = plots::generate_plot_from_request(*doc);
                } else {
                    state->malformed = true;
                }
            }
        } catch (...) {
            state->failure = std::current_exception();
        }
        if (!state->abandoned) metrics::observe_plan_render(metrics::clock::now() - started);
        asio::post(state->loop, [state, &resources] {
            metrics::set_plan_queue(--resources.in_flight);
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
        metrics::count_plan(metrics::plan_status::timeout);
        throw common::unavailable("The plan was not drawn within " + std::to_string(resources.limits.timeout.count()) + " s",
                                  retry_after_seconds);
    }
    metrics::count_plan(outcome_of(state->malformed, state->failure));
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
    plots::plot_result plan = std::move(*state->plan);
    json body;
    body["image"] = std::move(plan.image64);
    body["size_mm"] = {plan.size_mm.first, plan.size_mm.second};
    body["scale"] = plan.scale;
    co_return common::json_response(body);
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
