#include "database/database.hpp"

#include <poll.h>

#include <algorithm>
#include <arpa/inet.h>
#include <bit>
#include <cmath>
#include <cstring>
#include <deque>
#include <optional>
#include <utility>
#include <unordered_map>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <libpq-fe.h>

#include "database/named_params.hpp"
#include "logger/logger.hpp"
#include "server/errors.hpp"

namespace database {

using namespace boost::asio::experimental::awaitable_operators;
using clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- rows and results

const value& row::operator[](std::string_view column) const {
    for (std::size_t i = 0; i < m_columns->size(); ++i) {
        if ((*m_columns)[i] == column) return m_values[i];
    }
    throw error("no column named " + std::string(column));
}

double row::real(std::string_view column) const {
    const value& v = (*this)[column];
    if (auto* d = std::get_if<double>(&v)) return *d;
    if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    throw error("column " + std::string(column) + " is not a number");
}

std::optional<value> result::scalar_one_or_none() const {
    if (m_rows.empty()) return std::nullopt;
    if (m_rows.size() > 1) throw error("Multiple rows were found when one or none was required");
    if (m_rows.front().size() == 0) throw error("the result has no columns");
    return m_rows.front().at(0);
}

std::optional<row> result::first() const {
    if (m_rows.empty()) return std::nullopt;
    return m_rows.front();
}

namespace {

// ---------------------------------------------------------------- binary decoding

struct result_deleter {
    void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using result_ptr = std::unique_ptr<PGresult, result_deleter>;

template <class T>
T read_be(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) {
        if constexpr (sizeof(T) == 2) v = static_cast<T>(__builtin_bswap16(static_cast<std::uint16_t>(v)));
        if constexpr (sizeof(T) == 4) v = static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
        if constexpr (sizeof(T) == 8) v = static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(v)));
    }
    return v;
}

double decode_numeric(const char* p, int len) {
    if (len < 8) throw error("malformed numeric value");
    auto ndigits = read_be<std::int16_t>(p);
    auto weight = read_be<std::int16_t>(p + 2);
    auto sign = read_be<std::uint16_t>(p + 4);
    if (sign == 0xC000) return std::nan("");
    if (len < 8 + 2 * ndigits) throw error("malformed numeric value");
    double v = 0;
    for (int i = 0; i < ndigits; ++i) {
        v += read_be<std::int16_t>(p + 8 + 2 * i) * std::pow(10000.0, weight - i);
    }
    return sign == 0x4000 ? -v : v;
}

value decode(Oid type, const char* p, int len) {
    switch (type) {
        case 16: return len >= 1 && p[0] != 0;
        case 21: return static_cast<std::int64_t>(read_be<std::int16_t>(p));
        case 23: return static_cast<std::int64_t>(read_be<std::int32_t>(p));
        case 20: return read_be<std::int64_t>(p);
        case 700: return static_cast<double>(std::bit_cast<float>(read_be<std::uint32_t>(p)));
        case 701: return std::bit_cast<double>(read_be<std::uint64_t>(p));
        case 1700: return decode_numeric(p, len);
        case 25: case 1043: case 1042: case 19: case 114: return std::string(p, static_cast<std::size_t>(len));
        case 3802: return len > 0 ? std::string(p + 1, static_cast<std::size_t>(len - 1)) : std::string();
        default: return bytes{std::string(p, static_cast<std::size_t>(len))};
    }
}

result to_result(PGresult* r) {
    auto columns = std::make_shared<std::vector<std::string>>();
    int ncols = PQnfields(r);
    for (int c = 0; c < ncols; ++c) columns->emplace_back(PQfname(r, c));
    std::vector<row> rows;
    int nrows = PQntuples(r);
    rows.reserve(static_cast<std::size_t>(nrows));
    for (int i = 0; i < nrows; ++i) {
        std::vector<value> values;
        values.reserve(static_cast<std::size_t>(ncols));
        for (int c = 0; c < ncols; ++c) {
            if (PQgetisnull(r, i, c)) {
                values.emplace_back(std::monostate{});
            } else {
                values.push_back(decode(PQftype(r, c), PQgetvalue(r, i, c), PQgetlength(r, i, c)));
            }
        }
        rows.emplace_back(columns, std::move(values));
    }
    return result(std::move(columns), std::move(rows));
}

std::string trimmed(const char* message) {
    std::string s = message ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// ---------------------------------------------------------------- one connection

// Watches a socket that libpq owns: the descriptor is released, never closed, by us.
struct borrowed_descriptor {
    asio::posix::stream_descriptor d;
    borrowed_descriptor(asio::any_io_executor ex, int fd) : d(ex, fd) {}
    ~borrowed_descriptor() {
        if (d.is_open()) d.release();
    }
};

class connection {
public:
    explicit connection(asio::any_io_executor ex) : m_ex(ex) {}
    ~connection() {
        m_sock.reset();  // release the descriptor before libpq closes the socket
        if (m_conn) PQfinish(m_conn);
    }

    asio::awaitable<void> connect(const std::string& url, clock::time_point deadline) {
        m_conn = PQconnectStart(url.c_str());
        if (m_conn == nullptr) throw error("could not allocate a database connection");
        if (PQstatus(m_conn) == CONNECTION_BAD) throw error(trimmed(PQerrorMessage(m_conn)));
        for (;;) {
            auto st = PQconnectPoll(m_conn);
            if (st == PGRES_POLLING_OK) break;
            if (st == PGRES_POLLING_FAILED) throw error(trimmed(PQerrorMessage(m_conn)));
            // The socket may change between polls (another address), so watch it afresh each time.
            borrowed_descriptor once(m_ex, PQsocket(m_conn));
            co_await wait(once.d, st == PGRES_POLLING_READING ? asio::posix::stream_descriptor::wait_read
                                                              : asio::posix::stream_descriptor::wait_write,
                          deadline, "timeout expired while connecting to the database");
        }
        if (PQsetnonblocking(m_conn, 1) != 0) throw error(trimmed(PQerrorMessage(m_conn)));
        // A backend that is terminated while the connection is idle sends a
        // FATAL message, which libpq hands to the notice hook, before its end
        // of stream arrives: the connection is dead from that message on.
        PQsetNoticeReceiver(m_conn, on_notice, this);
        m_sock = std::make_unique<borrowed_descriptor>(m_ex, PQsocket(m_conn));
    }

    // Sends one statement and reads all of its results. When the caller
    // abandons the wait (cancellation), the statement stays marked as running,
    // and `clean` must be awaited before the connection is used again.
    // With `begin_first`, BEGIN goes out in the same pipeline as the statement,
    // and with `commit_after`, COMMIT: one round trip instead of two or three.
    // The COMMIT's failure is kept for `take_commit_failure`, not thrown.
    asio::awaitable<result> run(const std::string& text, const std::vector<std::string>& names, const params& p,
                                clock::time_point deadline, bool begin_first = false, bool commit_after = false) {
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
                        types[i] = 17;  // bytea, sent as binary so every byte value survives
                    }
                    values[i] = storage[i].data();
                    lengths[i] = static_cast<int>(storage[i].size());
                },
                it->second);
        }
        m_commit_failure.reset();
        if (begin_first || commit_after) {
            if (!PQenterPipelineMode(m_conn)) throw error(trimmed(PQerrorMessage(m_conn)));
            m_pipeline = true;
        }
        if (begin_first) {
            if (!PQsendQueryParams(m_conn, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 1)) {
                m_broken = true;
                throw error(trimmed(PQerrorMessage(m_conn)));
            }
        }
        if (!PQsendQueryParams(m_conn, text.c_str(), static_cast<int>(names.size()), types.data(), values.data(), lengths.data(),
                               formats.data(), 1)) {
            if (m_pipeline) m_broken = true;  // BEGIN is queued already
            throw error(trimmed(PQerrorMessage(m_conn)));
        }
        if (commit_after && !PQsendQueryParams(m_conn, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 1)) {
            m_broken = true;
            throw error(trimmed(PQerrorMessage(m_conn)));
        }
        if (m_pipeline && !PQpipelineSync(m_conn)) {
            m_broken = true;
            throw error(trimmed(PQerrorMessage(m_conn)));
        }
        m_busy = true;
        co_await flush(deadline);
        co_return co_await read_results(deadline, commit_after);
    }

    // The failure of the COMMIT sent with the last statement, if it failed.
    std::optional<error> take_commit_failure() { return std::exchange(m_commit_failure, std::nullopt); }

    asio::awaitable<result> run_simple(const char* text, clock::time_point deadline) {
        static const std::vector<std::string> none;
        co_return co_await run(text, none, {}, deadline);
    }

    // Brings the connection back to idle: cancels a running statement on the
    // server (off the loop thread, since PQcancel blocks), drains its results
    // and rolls back an open transaction. Marks the connection broken on failure.
    asio::awaitable<void> clean(asio::thread_pool& cancel_threads, clock::time_point deadline) {
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
            m_broken = true;
        }
        if (m_busy) m_broken = true;
    }

    bool busy() const noexcept { return m_busy; }
    bool in_transaction() const noexcept { return PQtransactionStatus(m_conn) != PQTRANS_IDLE; }
    bool broken() const noexcept { return m_broken || PQstatus(m_conn) != CONNECTION_OK; }

    // True when the connection can be handed out: not broken, idle, and the
    // server has not closed it meanwhile (a terminated backend leaves a message
    // and an end-of-file on the socket, which libpq notices when it reads).
    bool alive() {
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

private:
    static void on_notice(void* self, const PGresult* notice) {
        const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
        if (severity != nullptr && (std::strcmp(severity, "FATAL") == 0 || std::strcmp(severity, "PANIC") == 0)) {
            static_cast<connection*>(self)->m_broken = true;
        }
    }

    asio::awaitable<void> wait(asio::posix::stream_descriptor& d, asio::posix::stream_descriptor::wait_type w,
                               clock::time_point deadline, const char* timeout_message) {
        asio::steady_timer timer(m_ex, deadline);
        // as_tuple: a failed wait completes as a value, so `||` does not wait for the timer instead.
        auto which = co_await (d.async_wait(w, asio::as_tuple(asio::use_awaitable)) || timer.async_wait(asio::as_tuple(asio::use_awaitable)));
        if (which.index() == 1) throw error(timeout_message);
        if (auto [ec] = std::get<0>(which); ec) throw error("database socket: " + ec.message());
    }

    asio::awaitable<void> flush(clock::time_point deadline) {
        for (;;) {
            int r = PQflush(m_conn);
            if (r == 0) co_return;
            if (r < 0) {
                m_broken = true;
                throw error(trimmed(PQerrorMessage(m_conn)));
            }
            co_await wait(m_sock->d, asio::posix::stream_descriptor::wait_write, deadline, "timeout expired while sending a statement");
        }
    }

    asio::awaitable<result> read_results(clock::time_point deadline, bool commit_last = false) {
        std::vector<result_ptr> results;
        for (;;) {
            while (PQisBusy(m_conn)) {
                co_await wait(m_sock->d, asio::posix::stream_descriptor::wait_read, deadline, "timeout expired while waiting for the database");
                if (!PQconsumeInput(m_conn)) {
                    m_broken = true;
                    m_busy = false;
                    throw error(trimmed(PQerrorMessage(m_conn)));
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
                m_commit_failure.emplace(trimmed(PQresultErrorMessage(commit.get())), state ? state : "");
            }
        }
        result_ptr data;
        for (auto& r : results) {
            auto st = PQresultStatus(r.get());
            if (st == PGRES_PIPELINE_ABORTED) throw error("the statement was skipped: an earlier one in its pipeline failed");
            if (st == PGRES_FATAL_ERROR || st == PGRES_BAD_RESPONSE || st == PGRES_NONFATAL_ERROR) {
                if (PQstatus(m_conn) != CONNECTION_OK) m_broken = true;
                const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
                throw error(trimmed(PQresultErrorMessage(r.get())), state ? state : "");
            }
            if (st == PGRES_TUPLES_OK || st == PGRES_SINGLE_TUPLE) data = std::move(r);
        }
        if (PQstatus(m_conn) != CONNECTION_OK) {
            m_broken = true;
            throw error(trimmed(PQerrorMessage(m_conn)));
        }
        co_return data ? to_result(data.get()) : result();
    }

    asio::any_io_executor m_ex;
    PGconn* m_conn = nullptr;
    std::unique_ptr<borrowed_descriptor> m_sock;
    bool m_busy = false;
    bool m_pipeline = false;
    bool m_broken = false;
    std::optional<error> m_commit_failure;
};

}  // namespace

// ---------------------------------------------------------------- the pool

class pool_impl : public std::enable_shared_from_this<pool_impl> {
public:
    pool_impl(asio::any_io_executor ex, pool_options options) : m_ex(ex), m_options(std::move(options)) {}
    ~pool_impl() { m_cancel_threads.join(); }

    struct waiter {
        explicit waiter(asio::any_io_executor ex) : timer(ex, clock::time_point::max()) {}
        asio::steady_timer timer;
        std::unique_ptr<connection> conn;
        bool woken = false;
    };

    asio::awaitable<std::unique_ptr<connection>> acquire() {
        auto self = shared_from_this();
        auto deadline = clock::now() + m_options.acquire_timeout;
        for (;;) {
            while (!m_idle.empty()) {
                auto c = std::move(m_idle.back());
                m_idle.pop_back();
                if (c->alive()) co_return c;
                --m_open;  // closed by the server meanwhile: drop it and try the next
            }
            if (m_open < m_options.size) {
                ++m_open;
                auto c = std::make_unique<connection>(m_ex);
                std::exception_ptr failure;
                try {
                    co_await c->connect(m_options.url, std::min(deadline, clock::now() + m_options.connect_timeout));
                } catch (...) {
                    failure = std::current_exception();
                }
                if (failure) {
                    --m_open;
                    wake_one();
                    std::rethrow_exception(failure);
                }
                co_return c;
            }
            auto w = std::make_shared<waiter>(m_ex);
            w->timer.expires_at(deadline);
            m_waiters.push_back(w);
            boost::system::error_code ec;
            co_await w->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            std::erase(m_waiters, w);
            if (w->conn) co_return std::move(w->conn);
            if (!w->woken) {
                if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
                throw host::http_error(503, "Database unavailable: no free connection");
            }
        }
    }

    // Takes a connection back. A clean one goes to a waiter or the idle list;
    // one that still runs a statement or holds a transaction is cleaned first,
    // in the background; a broken one is closed.
    void release(std::unique_ptr<connection> c) {
        if (!c) return;
        if (c->broken()) {
            --m_open;
            c.reset();
            wake_one();
            return;
        }
        if (c->busy() || c->in_transaction()) {
            // A named coroutine, not a capturing lambda: its arguments live in its own frame.
            asio::co_spawn(m_ex, clean_and_release(shared_from_this(), std::move(c)), asio::detached);
            return;
        }
        while (!m_waiters.empty()) {
            auto w = m_waiters.front();
            m_waiters.pop_front();
            if (w->conn || w->woken) continue;
            w->conn = std::move(c);
            w->timer.cancel();
            return;
        }
        m_idle.push_back(std::move(c));
    }

    static asio::awaitable<void> clean_and_release(std::shared_ptr<pool_impl> self, std::unique_ptr<connection> c) {
        co_await c->clean(self->m_cancel_threads, clock::now() + self->m_options.control_timeout);
        self->release(std::move(c));
    }

    const positional_sql& translate(std::string_view sql) {
        auto it = m_translations.find(std::string(sql));
        if (it != m_translations.end()) return it->second;
        // The service uses a few hundred distinct statements; the bound keeps a
        // caller that builds statements dynamically from growing this forever.
        if (m_translations.size() > 4096) m_translations.clear();
        return m_translations.emplace(std::string(sql), translate_named_params(sql)).first->second;
    }

    const pool_options& options() const { return m_options; }
    asio::thread_pool& cancel_threads() { return m_cancel_threads; }
    asio::any_io_executor executor() const { return m_ex; }
    std::size_t open() const { return m_open; }
    std::size_t idle() const { return m_idle.size(); }

private:
    void wake_one() {
        while (!m_waiters.empty()) {
            auto w = m_waiters.front();
            m_waiters.pop_front();
            if (w->conn || w->woken) continue;
            w->woken = true;
            w->timer.cancel();
            return;
        }
    }

    asio::any_io_executor m_ex;
    pool_options m_options;
    std::size_t m_open = 0;
    std::vector<std::unique_ptr<connection>> m_idle;
    std::deque<std::shared_ptr<waiter>> m_waiters;
    std::unordered_map<std::string, positional_sql> m_translations;
    asio::thread_pool m_cancel_threads{1};
};

namespace {

class pg_session final : public session {
public:
    explicit pg_session(std::shared_ptr<pool_impl> pool) : m_pool(std::move(pool)) {}
    ~pg_session() override {
        // Not closed (the request was abandoned): the pool cleans the connection in the background.
        m_pool->release(std::move(m_conn));
    }

    asio::awaitable<result> execute(std::string_view sql, params p) override { return run(sql, std::move(p), false); }

    asio::awaitable<result> execute_last(std::string_view sql, params p) override { return run(sql, std::move(p), true); }

    asio::awaitable<void> commit() override {
        if (m_commit_sent && m_conn) {
            // The COMMIT went with the last statement; only its outcome is left.
            m_commit_sent = false;
            m_in_transaction = false;
            if (auto failure = m_conn->take_commit_failure()) throw *failure;
            co_return;
        }
        if (!m_conn || !m_in_transaction) co_return;
        m_in_transaction = false;
        co_await m_conn->run_simple("COMMIT", clock::now() + m_pool->options().control_timeout);
    }

    asio::awaitable<void> rollback() override {
        m_in_transaction = false;
        m_commit_sent = false;
        if (!m_conn) co_return;
        co_await m_conn->clean(m_pool->cancel_threads(), clock::now() + m_pool->options().control_timeout);
        if (m_conn->broken()) throw error("the connection was lost during rollback");
    }

    asio::awaitable<void> close() override {
        m_closed = true;
        m_in_transaction = false;
        if (!m_conn) co_return;
        if (m_conn->busy() || m_conn->in_transaction()) {
            co_await m_conn->clean(m_pool->cancel_threads(), clock::now() + m_pool->options().control_timeout);
        }
        m_pool->release(std::move(m_conn));
    }

private:
    asio::awaitable<result> run(std::string_view sql, params p, bool commit_after) {
        if (m_closed) throw error("This session is closed");
        if (!m_conn) m_conn = co_await m_pool->acquire();
        const auto& opts = m_pool->options();
        const auto& positional = m_pool->translate(sql);
        const bool begin_first = !m_in_transaction;
        m_in_transaction = true;
        m_commit_sent = false;
        auto r = co_await m_conn->run(positional.text, positional.names, p, clock::now() + opts.statement_backstop, begin_first, commit_after);
        // A failed statement skips the COMMIT behind it: commit() then ends the transaction as usual.
        m_commit_sent = commit_after;
        co_return r;
    }

    std::shared_ptr<pool_impl> m_pool;
    std::unique_ptr<connection> m_conn;
    bool m_in_transaction = false;
    bool m_commit_sent = false;  // by execute_last, with the statement
    bool m_closed = false;
};

}  // namespace

pool::pool(asio::any_io_executor executor, pool_options options)
    : m_impl(std::make_shared<pool_impl>(executor, std::move(options))) {}

pool::~pool() = default;

std::unique_ptr<session> pool::make_session() { return std::make_unique<pg_session>(m_impl); }

std::size_t pool::open_connections() const { return m_impl->open(); }
std::size_t pool::idle_connections() const { return m_impl->idle(); }

}  // namespace database
