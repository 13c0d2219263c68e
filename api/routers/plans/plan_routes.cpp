#include "routers/plans/plan_routes.hpp"

#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <functional>
#include <memory>
#include <tuple>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/errors.hpp"
#include "database/database.hpp"
#include "helpers/utils/utf8.hpp"
#include "logger/logger.hpp"
#include "metrics/metrics.hpp"
#include "plots/plots.hpp"

namespace plans {

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

// A place among the plans in flight, taken at admission (before the body is
// read) and given back when the plan has ended, drawn or not. Created and
// destroyed on the loop's thread only.
class plan_slot {
public:
    explicit plan_slot(std::shared_ptr<plan_resources::counts> counts) : m_counts(std::move(counts)) {
        metrics::set_plan_queue(++m_counts->in_flight);
    }
    ~plan_slot() { metrics::set_plan_queue(--m_counts->in_flight); }
    plan_slot(const plan_slot&) = delete;
    plan_slot& operator=(const plan_slot&) = delete;

private:
    std::shared_ptr<plan_resources::counts> m_counts;
};

// A place for one more plan; throws common::unavailable when the plans
// admitted fill every render thread's queue.
std::shared_ptr<void> admit(plan_resources& resources) {
    if (resources.in_flight() >= resources.limits.threads * resources.limits.queue) {
        metrics::count_plan(metrics::plan_status::refused);
        throw common::unavailable("Too many plans are being drawn; try again shortly", retry_after_seconds);
    }
    return std::make_shared<plan_slot>(resources.shared);
}

// A request body that is not JSON, found on the render thread.
struct malformed_body {};

// How a drawn plan ended: the caller's mistakes apart from the server's failures.
metrics::plan_status outcome_of(const std::exception_ptr& failure) {
    if (!failure) return metrics::plan_status::ok;
    try {
        std::rethrow_exception(failure);
    } catch (const malformed_body&) {
    } catch (const plots::too_deep&) {
    } catch (const plots::invalid_argument&) {
    } catch (const plots::invalid_record&) {
    } catch (const plots::no_matching_parcel&) {
    } catch (...) {
        return metrics::plan_status::failed;
    }
    return metrics::plan_status::invalid;
}

// Runs `work` on the render pool and waits for it on the loop; the loop only
// waits for the timer that the worker cancels when it is done (posted back to
// the loop's thread), so tiles keep flowing meanwhile. Throws the common
// error of whatever the work threw. The work makes the whole answer: a plan's
// image runs to megabytes, and serialising it on the loop would hold up every tile.
asio::awaitable<common::response> render_on_pool(plan_resources& resources, std::shared_ptr<void> slot,
                                                 std::function<common::response()> work) {
    struct render_state {
        explicit render_state(asio::any_io_executor ex) : loop(ex), done(ex, asio::steady_timer::time_point::max()) {}
        asio::any_io_executor loop;
        asio::steady_timer done;
        std::atomic<bool> abandoned{false};  // given up: a plan not yet started is not drawn
        bool finished = false;               // the task has ended (set on the loop)
        std::optional<common::response> answer;
        std::exception_ptr failure;
        std::shared_ptr<void> slot;  // given back with the state, on the loop, when the task has ended
    };
    auto state = std::make_shared<render_state>(co_await asio::this_coro::executor);
    state->slot = slot ? std::move(slot) : admit(resources);
    ++resources.shared->rendering;
    // The request may end before the pool gets to it: the task owns its work
    // and its share of the counter.
    asio::post(resources.render_pool, [state, counts = resources.shared, work = std::move(work)]() mutable {
        static thread_local const bool lowered = lower_priority();
        (void)lowered;
        const auto started = metrics::clock::now();
        try {
            if (!state->abandoned) state->answer = work();
        } catch (...) {
            state->failure = std::current_exception();
        }
        if (!state->abandoned) metrics::observe_plan_render(metrics::clock::now() - started);
        // The last plan out hands the memory its bodies and documents held back
        // to the system, so a flood does not leave the worker at its peak.
        if (counts->rendering.fetch_sub(1) == 1) ::malloc_trim(0);
        // The state goes with the notice: the last reference must not be
        // dropped on this thread, where its timer's loop may already be gone.
        auto loop = state->loop;
        asio::post(loop, [state = std::move(state)] {
            state->slot.reset();
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
    metrics::count_plan(outcome_of(state->failure));
    try {
        if (state->failure) std::rethrow_exception(state->failure);
    } catch (const malformed_body&) {
        throw common::validation_error({{{"body"}, "Malformed JSON in the request body", "json_invalid"}});
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

// The POST /plans answer of a plan.
json plan_json(plots::plot_result plan) {
    json body;
    body["image"] = std::move(plan.image64);
    body["size_mm"] = {plan.size_mm.first, plan.size_mm.second};
    body["scale"] = plan.scale;
    return body;
}

// A PDF answer, and whether a request asks for one (defined below).
common::response pdf_response(std::string pdf, const std::string& plot_no);
bool accepts_pdf(const common::request& req);
bool wants_pdf(const json& doc);

asio::awaitable<common::response> create_plan(plan_resources& resources, common::request_context& ctx) {
    // The body is parsed on the pool too: a large one takes a while.
    // A named function, not a temporary inside the co_await: GCC 12 destroys
    // such a temporary's captures twice.
    std::function<common::response()> work = [body = ctx.take_body(), pdf = accepts_pdf(ctx.req())] {
        auto doc = plots::parse_request(body);
        if (!doc) throw malformed_body{};
        if (pdf || wants_pdf(*doc)) {
            const plots::plan_caption caption = plots::caption_of_request(*doc);
            return pdf_response(plots::generate_pdf_from_request(*doc, caption).bytes, caption.plot_no);
        }
        return common::json_response(plan_json(plots::generate_plot_from_request(*doc)));
    };
    co_return co_await render_on_pool(resources, ctx.req().admission, std::move(work));
}

// A name for the saved file: the plot number with anything a file system or
// a header might mind replaced.
std::string file_name_of(const std::string& plot_no, const char* extension = ".png") {
    std::string out = "plan-";
    for (const char c : plot_no) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        out.push_back(plain ? c : (c == ' ' ? ' ' : '_'));
    }
    return out + extension;
}

// The same name percent-encoded in UTF-8 (RFC 6266 filename*), for clients that read it.
std::string encoded_file_name_of(const std::string& plot_no, const char* extension = ".png") {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "plan-";
    for (const char c : plot_no) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_') {
            out.push_back(c);
        } else {
            out += {'%', hex[u >> 4], hex[u & 15]};
        }
    }
    return out + extension;
}

// Out of the coroutines below: GCC 12 mistranslates braced lists of string literals in them.
[[noreturn]] void throw_validation_error(const char* where, const char* name, const std::string& message, const char* type) {
    throw common::validation_error({{{where, name}, message, type}});
}

common::response png_response(const plots::plot_result& plan, const std::string& plot_no) {
    return common::response::raw(plots::png_bytes(plan), "image/png",
                                 {{"Content-Disposition", "inline; filename=\"" + file_name_of(plot_no) + "\"; filename*=UTF-8''" +
                                                              encoded_file_name_of(plot_no)}});
}

common::response pdf_response(std::string pdf, const std::string& plot_no) {
    return common::response::raw(std::move(pdf), "application/pdf",
                                 {{"Content-Disposition", "inline; filename=\"" + file_name_of(plot_no, ".pdf") + "\"; filename*=UTF-8''" +
                                                              encoded_file_name_of(plot_no, ".pdf")}});
}

// Whether the client asks for a PDF in its Accept header (application/pdf
// named with a weight above zero).
bool accepts_pdf(const common::request& req) {
    for (const auto& [name, value] : req.headers) {
        if (name.size() != 6 || !std::equal(name.begin(), name.end(), "accept", [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
            continue;
        }
        std::string_view rest = value;
        while (!rest.empty()) {
            const auto comma = rest.find(',');
            std::string_view item = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            const auto semicolon = item.find(';');
            std::string_view type = item.substr(0, semicolon);
            while (!type.empty() && type.front() == ' ') type.remove_prefix(1);
            while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
            if (type.size() != 15 || !std::equal(type.begin(), type.end(), "application/pdf",
                                                 [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
                continue;
            }
            const std::string params(semicolon == std::string_view::npos ? std::string_view() : item.substr(semicolon + 1));
            const auto q = params.find("q=");
            if (q == std::string::npos || std::strtod(params.c_str() + q + 2, nullptr) > 0) return true;
        }
    }
    return false;
}

// Whether a request document asks for a PDF ("format": "pdf").
bool wants_pdf(const json& doc) {
    if (!doc.is_object()) return false;
    const auto format = doc.find("format");
    return format != doc.end() && format->is_string() && *format == "pdf";
}

// The plot's request from the cadastre, its failures as the common errors.
asio::awaitable<cadastre::assembled_request> read_cadastre(const plan_resources& resources, database::session& db,
                                                          const cadastre::plot_key& key) {
    const auto log = logger::get_logger();
    try {
        co_return co_await cadastre::assemble_request(db, key, resources.source);
    } catch (const cadastre::unknown_plot& e) {
        throw common::not_found(e.what());
    } catch (const cadastre::ambiguous_plot& e) {
        throw_validation_error("query", "zone", e.what(), "ambiguous_plot");
    } catch (const cadastre::not_simple_polygon& e) {
        throw_validation_error("path", "plot_no", e.what(), "not_simple_polygon");
    } catch (const cadastre::read_timeout& e) {
        log->error("Plan of plot '{}': {}", key.plot_no, e.what());
        throw common::timed_out("Reading the plot's data timed out");
    }
    // Database failures pass on as they are: the server answers them (503 when unreachable).
}

enum class plan_form { png, json, pdf };

asio::awaitable<common::response> plan_of_plot(plan_resources& resources, common::request_context& ctx, plan_form form) {
    cadastre::plot_key key{ctx.text("plot_no"), std::nullopt};
    if (const auto& zone = ctx.text("zone"); !zone.empty()) key.zone = zone;
    // The database refuses malformed UTF-8 and cuts text at a NUL: the caller's error.
    if (!helpers::utils::is_database_text(key.plot_no)) throw_validation_error("path", "plot_no", "Not valid UTF-8 text", "string_unicode");
    if (key.zone && !helpers::utils::is_database_text(*key.zone)) throw_validation_error("query", "zone", "Not valid UTF-8 text", "string_unicode");
    auto assembled = co_await read_cadastre(resources, ctx.db(), key);
    for (const auto& warning : assembled.warnings) logger::get_logger()->warn("Plan of plot '{}': {}", key.plot_no, warning);
    auto source = std::make_shared<const cadastre::assembled_request>(std::move(assembled));
    std::function<common::response()> work = [source, form, plot_no = key.plot_no] {
        if (form == plan_form::pdf) {
            plots::plan_caption caption = plots::caption_of_request(source->request);
            caption.zone = source->zone;
            return pdf_response(plots::generate_pdf_from_request(source->request, caption).bytes, plot_no);
        }
        auto plan = plots::generate_plot_from_request(source->request);
        if (form == plan_form::png) return png_response(plan, plot_no);
        json body = plan_json(std::move(plan));
        body["request"] = source->request;
        body["warnings"] = source->warnings;
        return common::json_response(body);
    };
    co_return co_await render_on_pool(resources, ctx.req().admission, std::move(work));
}

}  // namespace

std::size_t default_render_threads(unsigned cores, unsigned workers) {
    workers = std::max(workers, 1U);
    const unsigned free_cores = cores > workers ? cores - workers : 0;
    return std::clamp<std::size_t>(free_cores / workers, 1, 4);
}

common::router plan_router(plan_resources& resources) {
    common::router r("", {"Survey plans"});
    common::route plans;
    plans.method = common::verb::post;
    plans.path = "/plans";
    plans.name = "create_plan";
    plans.description =
        "Render the survey plan of one parcel as a 300-dpi PNG. Body: {\"parcel_data\": [...], \"selected_parcel_number\": ..., "
        "\"road_data\": [...] or null, optional \"columnname\" and \"bounding_box\"}. Answer: {\"image\": base64 PNG, "
        "\"size_mm\": [w, h], \"scale\": N}. With \"format\": \"pdf\" in the body or Accept: application/pdf, the "
        "answer is the plan as a one-page A4 landscape PDF at true scale.";
    plans.body_limit = plan_body_limit;
    plans.handler = [&resources](common::request_context& ctx) { return create_plan(resources, ctx); };
    plans.admit = [&resources] { return admit(resources); };
    r.add_api_route(std::move(plans));

    const std::string by_number =
        " of the plot numbered plot_no (its PLOT_NO, percent-encoded), read from the cadastre: the plot, its beacons, the "
        "plots around it and the roads. A number used in several zones needs zone (its CADZONE).";
    for (const auto& [form, suffix, text] :
         {std::tuple{plan_form::png, ".png", "The survey plan as a 300-dpi PNG" + by_number},
          std::tuple{plan_form::json, ".json", "The survey plan" + by_number +
                                                   " Answer: as POST /plans, with the request it was drawn from under "
                                                   "\"request\" and corners without a beacon under \"warnings\"."},
          std::tuple{plan_form::pdf, ".pdf",
                     "The survey plan as a one-page A4 landscape PDF at true scale, with a caption" + by_number}}) {
        common::route plan;
        plan.method = common::verb::get;
        plan.path = std::string("/plans/{plot_no}") + suffix;
        plan.name = form == plan_form::png ? "get_plot_plan_png" : form == plan_form::json ? "get_plot_plan_json" : "get_plot_plan_pdf";
        plan.description = text;
        plan.params = {common::path_param("plot_no", common::param_type::text, "The plot's number"),
                       common::query_param("zone", common::param_type::text, std::string(), "The plot's cadastral zone")};
        plan.uses_db = true;
        plan.handler = [&resources, form](common::request_context& ctx) { return plan_of_plot(resources, ctx, form); };
        plan.admit = [&resources] { return admit(resources); };
        r.add_api_route(std::move(plan));
    }
    return r;
}

}  // namespace plans
