#include "database/detail/connection.hpp"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "database/detail/decode.hpp"
#include "metrics/metrics.hpp"

namespace database::detail {

using namespace boost::asio::experimental::awaitable_operators;

namespace {

// SQLSTATEs after which the connection's server may not serve it again:
// read_only_sql_transaction (the server is, or has become after a failover, a
// standby; in a READ ONLY transaction replacing the connection costs only a
// reconnect) and the operator-intervention class 57P (shutdown, crash, not
// accepting connections, database dropped).
bool ends_connection(const char* state) {
    if (state == nullptr) return false;
    const std::string_view s(state);
    return s == "25006" || s.starts_with("57P");
}

std::string trimmed(const char* message) {
    std::string s = message ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

void connection::cancel_blocking() {
    if (!m_busy || m_conn == nullptr) return;
    if (PGcancel* c = PQgetCancel(m_conn)) {
        char buf[256];
        PQcancel(c, buf, sizeof buf);
        PQfreeCancel(c);
    }
}

connection::~connection() {
    if (m_registry) m_registry->erase(this);
    m_sock.reset();  // release the descriptor before libpq closes the socket
    if (m_conn) PQfinish(m_conn);
}

asio::awaitable<void> connection::connect(const std::string& url, clock::time_point deadline, const char* application_name) {
    if (application_name == nullptr) {
        m_conn = PQconnectStart(url.c_str());
    } else {
        // Later keywords override what the expanded URL set.
        const char* keys[] = {"dbname", "application_name", nullptr};
        const char* values[] = {url.c_str(), application_name, nullptr};
        m_conn = PQconnectStartParams(keys, values, 1);
    }
    if (m_conn == nullptr) throw error("could not allocate a database connection");
    if (PQstatus(m_conn) == CONNECTION_BAD) throw unreachable(trimmed(PQerrorMessage(m_conn)));
    for (;;) {
        auto st = PQconnectPoll(m_conn);
        if (st == PGRES_POLLING_OK) break;
        if (st == PGRES_POLLING_FAILED) throw unreachable(trimmed(PQerrorMessage(m_conn)));
        // The socket may change between polls (another address), so watch it afresh each time.
        borrowed_descriptor once(m_ex, PQsocket(m_conn));
        co_await wait(once.d, st == PGRES_POLLING_READING ? asio::posix::stream_descriptor::wait_read
                                                          : asio::posix::stream_descriptor::wait_write,
                      deadline, "timeout expired while connecting to the database", true);
    }
    if (PQsetnonblocking(m_conn, 1) != 0) throw error(trimmed(PQerrorMessage(m_conn)));
    // A backend that is terminated while the connection is idle sends a
    // FATAL message, which libpq hands to the notice hook, before its end
    // of stream arrives: the connection is dead from that message on.
    PQsetNoticeReceiver(m_conn, on_notice, this);
    m_sock = std::make_unique<borrowed_descriptor>(m_ex, PQsocket(m_conn));
}

asio::awaitable<result> connection::run(const std::string& text, const std::vector<std::string>& names, const params& p,
                                        clock::time_point deadline, bool begin_first, bool commit_after, bool read_only) {
    if (m_busy) throw error("another statement is still running on this connection");
    std::vector<const char*> values(names.size(), nullptr);
    std::vector<int> lengths(names.size(), 0), formats(names.size(), 0);
    std::vector<Oid> types(names.size(), 0);
    std::vector<std::string> storage(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto it = std::find_if(p.begin(), p.end(), [&](const auto& kv) { return kv.first == names[i]; });
        if (it == p.end()) throw error("missing value for parameter :" + names[i]);
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::monostate>) {
                    return;
                } else if constexpr (std::is_same_v<T, bool>) {
                    storage[i] = v ? "true" : "false";
                } else if constexpr (std::is_same_v<T, std::int64_t>) {
                    storage[i] = std::to_string(v);
                } else if constexpr (std::is_same_v<T, double>) {
                    char buf[32];
                    std::snprintf(buf, sizeof buf, "%.17g", v);
                    storage[i] = buf;
                } else if constexpr (std::is_same_v<T, std::string>) {
                    storage[i] = v;
                } else {
                    storage[i] = v.data;
                    formats[i] = 1;
                    types[i] = oid::bytea;  // sent as binary so every byte value survives
                }
                values[i] = storage[i].data();
                lengths[i] = static_cast<int>(storage[i].size());
            },
            it->second);
    }
    m_commit_failure = nullptr;
    if (begin_first || commit_after) {
        if (!PQenterPipelineMode(m_conn)) throw_classified(trimmed(PQerrorMessage(m_conn)), "", PQstatus(m_conn) != CONNECTION_OK);
        m_pipeline = true;
    }
    if (begin_first) {
        if (!PQsendQueryParams(m_conn, read_only ? "BEGIN READ ONLY" : "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 1)) {
            m_broken = true;
            throw_classified(trimmed(PQerrorMessage(m_conn)), "", PQstatus(m_conn) != CONNECTION_OK);
        }
    }
    if (!PQsendQueryParams(m_conn, text.c_str(), static_cast<int>(names.size()), types.data(), values.data(), lengths.data(),
                           formats.data(), 1)) {
        if (m_pipeline) m_broken = true;  // BEGIN is queued already
        throw_classified(trimmed(PQerrorMessage(m_conn)), "", PQstatus(m_conn) != CONNECTION_OK);
    }
    if (commit_after && !PQsendQueryParams(m_conn, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 1)) {
        m_broken = true;
        throw_classified(trimmed(PQerrorMessage(m_conn)), "", PQstatus(m_conn) != CONNECTION_OK);
    }
    if (m_pipeline && !PQpipelineSync(m_conn)) {
        m_broken = true;
        throw_classified(trimmed(PQerrorMessage(m_conn)), "", PQstatus(m_conn) != CONNECTION_OK);
    }
    m_busy = true;
    co_await flush(deadline);
    co_return co_await read_results(deadline, commit_after);
}

asio::awaitable<result> connection::run_simple(const char* text, clock::time_point deadline) {
    static const std::vector<std::string> none;
    static const params no_params;
    const std::string statement(text);
    co_return co_await run(statement, none, no_params, deadline);
}

asio::awaitable<void> connection::clean(asio::thread_pool& cancel_threads, clock::time_point deadline) {
    try {
        if (m_busy) {
            if (PGcancel* c = PQgetCancel(m_conn)) {
                asio::post(cancel_threads, [c] {
                    char buf[256];
                    PQcancel(c, buf, sizeof buf);
                    PQfreeCancel(c);
                });
            }
            try {
                co_await read_results(deadline);
            } catch (const error&) {
                // The cancelled statement ends with an error; that is the expected outcome.
            }
        }
        if (!m_broken && PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
            co_await run_simple("ROLLBACK", deadline);
        }
    } catch (const std::exception&) {
        // Handled by replacing the connection: the pool closes a broken one.
        metrics::count_handled_error(metrics::component::database);
        m_broken = true;
    }
    if (m_busy) m_broken = true;
}


bool connection::alive() {
    if (broken() || m_busy) return false;
    // One read may return only the backend's last message and not yet the
    // end of stream behind it, so read while the socket has more to give
    // (bounded: a chatty server must not hold the loop here).
    for (int reads = 0; reads < 16; ++reads) {
        pollfd pfd{PQsocket(m_conn), POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0) break;
        if (!PQconsumeInput(m_conn)) return false;
        while (PGnotify* n = PQnotifies(m_conn)) PQfreemem(n);
    }
    return !broken() && PQtransactionStatus(m_conn) == PQTRANS_IDLE;
}

void connection::on_notice(void* self, const PGresult* notice) {
    const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
    if (severity != nullptr && (std::strcmp(severity, "FATAL") == 0 || std::strcmp(severity, "PANIC") == 0)) {
        static_cast<connection*>(self)->m_broken = true;
    }
}

asio::awaitable<void> connection::wait(asio::posix::stream_descriptor& d, asio::posix::stream_descriptor::wait_type w,
                                       clock::time_point deadline, const char* timeout_message, bool connecting) {
    asio::steady_timer timer(m_ex, deadline);
    // as_tuple: a failed wait completes as a value, so `||` does not wait for the timer instead.
    auto which = co_await (d.async_wait(w, asio::as_tuple(asio::use_awaitable)) || timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    if (which.index() == 1) {
        if (connecting) throw unreachable(timeout_message);
        throw timed_out(timeout_message);
    }
    if (auto [ec] = std::get<0>(which); ec) throw unreachable("database socket: " + ec.message());
}

asio::awaitable<void> connection::flush(clock::time_point deadline) {
    for (;;) {
        int r = PQflush(m_conn);
        if (r == 0) co_return;
        if (r < 0) {
            m_broken = true;
            throw unreachable(trimmed(PQerrorMessage(m_conn)));
        }
        co_await wait(m_sock->d, asio::posix::stream_descriptor::wait_write, deadline, "timeout expired while sending a statement");
    }
}

asio::awaitable<result> connection::read_results(clock::time_point deadline, bool commit_last) {
    std::vector<result_ptr> results;
    for (;;) {
        while (PQisBusy(m_conn)) {
            co_await wait(m_sock->d, asio::posix::stream_descriptor::wait_read, deadline, "timeout expired while waiting for the database");
            if (!PQconsumeInput(m_conn)) {
                m_broken = true;
                m_busy = false;
                throw unreachable(trimmed(PQerrorMessage(m_conn)));
            }
        }
        PGresult* r = PQgetResult(m_conn);
        if (r == nullptr) {
            // In a pipeline, the end of one statement's results; the sync ends them all.
            if (m_pipeline) continue;
            break;
        }
        if (m_pipeline && PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
            PQclear(r);
            PQexitPipelineMode(m_conn);
            m_pipeline = false;
            break;
        }
        results.emplace_back(r);
    }
    m_busy = false;
    if (commit_last && !results.empty()) {
        // The COMMIT's own outcome. Skipped (an earlier statement failed):
        // that statement's error is the one to report.
        result_ptr commit = std::move(results.back());
        results.pop_back();
        auto st = PQresultStatus(commit.get());
        if (st == PGRES_FATAL_ERROR || st == PGRES_BAD_RESPONSE || st == PGRES_NONFATAL_ERROR) {
            const char* state = PQresultErrorField(commit.get(), PG_DIAG_SQLSTATE);
            m_commit_failure = classified_error(trimmed(PQresultErrorMessage(commit.get())), state ? state : "",
                                                PQstatus(m_conn) != CONNECTION_OK);
        }
    }
    result_ptr data;
    for (auto& r : results) {
        auto st = PQresultStatus(r.get());
        if (st == PGRES_PIPELINE_ABORTED) throw error("the statement was skipped: an earlier one in its pipeline failed");
        if (st == PGRES_FATAL_ERROR || st == PGRES_BAD_RESPONSE || st == PGRES_NONFATAL_ERROR) {
            const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
            const bool lost = PQstatus(m_conn) != CONNECTION_OK;
            if (lost || ends_connection(state)) m_broken = true;
            throw_classified(trimmed(PQresultErrorMessage(r.get())), state ? state : "", lost);
        }
        if (st == PGRES_TUPLES_OK || st == PGRES_SINGLE_TUPLE) data = std::move(r);
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        m_broken = true;
        throw unreachable(trimmed(PQerrorMessage(m_conn)));
    }
    co_return data ? to_result(data.get()) : result();
}

}  // namespace database::detail
