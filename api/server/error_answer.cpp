#include "server/error_answer.hpp"

#include <string>

#include "common/cancellation.hpp"
#include "common/errors.hpp"
#include "database/pool.hpp"
#include "logger/logger.hpp"

namespace server {

namespace {

// Long enough for a restart or a failover; short enough that a client retries soon.
constexpr int database_retry_after_seconds = 5;

}  // namespace

common::response detail_answer(unsigned status, std::string_view detail) {
    return common::json_response({{"detail", detail}}, status);
}

std::optional<common::response> error_answer(const std::exception_ptr& failure, std::string_view method, std::string_view path) {
    try {
        std::rethrow_exception(failure);
    } catch (const common::not_found& e) {
        return detail_answer(404, e.detail());
    } catch (const common::bad_request& e) {
        return detail_answer(400, e.detail());
    } catch (const common::method_not_allowed& e) {
        return detail_answer(405, e.detail());
    } catch (const common::unauthorized& e) {
        auto r = detail_answer(401, e.detail());
        r.headers.emplace_back("WWW-Authenticate", "Bearer");
        return r;
    } catch (const common::timed_out& e) {
        return detail_answer(408, e.detail());
    } catch (const common::internal_error& e) {
        return detail_answer(500, e.detail());
    } catch (const common::unavailable& e) {
        auto r = detail_answer(503, e.detail());
        if (e.retry_after_seconds() > 0) r.headers.emplace_back("Retry-After", std::to_string(e.retry_after_seconds()));
        return r;
    } catch (const common::validation_error& e) {
        return common::json_response(e.body(), 422);
    } catch (const database::pool_timeout&) {
        return detail_answer(503, "Database unavailable: no free connection");
    } catch (const database::unreachable& e) {
        logger::get_logger()->error("Database unavailable in {} {}: {}", method, path, e.what());
        auto r = detail_answer(503, "Database unavailable");
        r.headers.emplace_back("Retry-After", std::to_string(database_retry_after_seconds));
        return r;
    } catch (const database::timed_out& e) {
        logger::get_logger()->error("Database time-out in {} {}: {}", method, path, e.what());
        return detail_answer(408, "The database did not answer in time");
    } catch (const database::error& e) {
        logger::get_logger()->error("Database error in {} {}: {}", method, path, e.what());
        return detail_answer(500, "Database error");
    } catch (const std::exception& e) {
        if (common::is_cancellation(e)) return std::nullopt;
        logger::get_logger()->error("Unhandled error in {} {}: {}", method, path, e.what());
    } catch (...) {
        logger::get_logger()->error("Unhandled error in {} {}", method, path);
    }
    return detail_answer(500, "Internal Server Error");
}

}  // namespace server
