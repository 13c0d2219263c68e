#include "redis/connection.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include "redis/detail/adapter.hpp"
#include "redis/detail/reply.hpp"
#include "redis/sentinel.hpp"
#include "metrics/metrics.hpp"

namespace redis {

using clock = std::chrono::steady_clock;

using detail::on_reply;
using detail::pending;

class connection_impl : public std::enable_shared_from_this<connection_impl> {
public:
    connection_impl(asio::any_io_executor ex, options opts) : m_ex(ex), m_opts(std::move(opts)) {}
    ~connection_impl() {
        if (m_ac != nullptr) {
            m_ac->data = nullptr;
            redisAsyncFree(m_ac);
        }
    }

    asio::awaitable<reply> command(std::vector<std::string_view> argv) {
        auto self = shared_from_this();
        const std::string_view op = argv.empty() ? std::string_view() : argv.front();
        try {
            co_await ensure_connected();
        } catch (const error&) {
            metrics::count_redis_error(op);
            throw;
        }
        auto p = std::make_shared<pending>(m_ex);
        p->timer.expires_after(m_opts.socket_timeout);
        std::vector<const char*> args;
        std::vector<std::size_t> lens;
        for (auto a : argv) {
            args.push_back(a.data());
            lens.push_back(a.size());
        }
        auto* holder = new std::shared_ptr<pending>(p);
        if (redisAsyncCommandArgv(m_ac, on_reply, holder, static_cast<int>(args.size()), args.data(), lens.data()) != REDIS_OK) {
            delete holder;
            metrics::count_redis_error(op);
            throw error("Could not send the command: the connection is closing");
        }
        auto generation = m_generation;
        boost::system::error_code ec;
        co_await p->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (p->done) {
            if (!p->error.empty()) {
                metrics::count_redis_error(op);
                // The server became a replica under us: the sentinels name the new primary.
                if (m_opts.sentinel && p->error.starts_with("READONLY")) drop(generation);
                throw error(p->error);
            }
            co_return std::move(p->result);
        }
        if (!ec) {
            // No reply within the socket time-out: this connection can no longer be trusted.
            drop(generation);
            metrics::count_redis_error(op);
            throw error("Timeout reading from socket");
        }
        // The caller stopped waiting. The reply is discarded when it comes, and
        // a server that never answers still loses the connection after the socket time-out.
        asio::co_spawn(m_ex, watchdog(self, p, generation), asio::detached);
        throw boost::system::system_error(ec);
    }

    const options& settings() const noexcept { return m_opts; }

private:
    enum class state { disconnected, connecting, connected };

    struct connect_waiter {
        explicit connect_waiter(asio::any_io_executor ex) : timer(ex) {}
        asio::steady_timer timer;
        bool notified = false;
    };

    static asio::awaitable<void> watchdog(std::shared_ptr<connection_impl> self, std::shared_ptr<pending> p, std::uint64_t generation) {
        boost::system::error_code ec;
        co_await p->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (!p->done) self->drop(generation);
    }

    asio::awaitable<void> ensure_connected() {
        if (m_state == state::connected && m_ac != nullptr) {
            if (!moved()) co_return;
            drop(m_generation);  // the sentinels announced another primary
        }
        if (m_state == state::disconnected) begin_connect();
        auto w = std::make_shared<connect_waiter>(m_ex);
        w->timer.expires_at(m_connect_deadline);
        m_connect_waiters.push_back(w);
        auto generation = m_generation;
        boost::system::error_code ec;
        co_await w->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        std::erase(m_connect_waiters, w);
        if (m_state == state::connected && m_ac != nullptr) co_return;
        if (!w->notified) {
            if (ec) throw boost::system::system_error(ec);  // the caller stopped waiting
            m_last_error = "Timeout connecting to server";
            drop(generation);
        }
        throw error(m_last_error.empty() ? "Connection failed" : m_last_error);
    }

    // True when the sentinels name a primary other than the one connected to.
    bool moved() const {
        if (!m_opts.sentinel) return false;
        auto known = m_opts.sentinel->known();
        return known && *known != m_address;
    }

    void begin_connect() {
        m_state = state::connecting;
        ++m_generation;
        m_last_error.clear();
        m_connect_deadline = clock::now() + m_opts.connect_timeout;
        if (m_opts.sentinel) {
            asio::co_spawn(m_ex, locate_and_connect(shared_from_this(), m_generation), asio::detached);
            return;
        }
        try {
            start_connect(address{m_opts.host, m_opts.port});
        } catch (...) {
            m_state = state::disconnected;
            throw;
        }
    }

    // Asks the sentinels (each within their time-out) and connects to the
    // primary they name; waiters hear of a failure.
    static asio::awaitable<void> locate_and_connect(std::shared_ptr<connection_impl> self, std::uint64_t generation) {
        std::optional<address> at;
        std::string failure;
        try {
            at = co_await self->m_opts.sentinel->primary();
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (self->m_generation != generation || self->m_state != state::connecting || self->m_ac != nullptr) co_return;
        if (at) {
            try {
                self->start_connect(*at);
                co_return;
            } catch (const std::exception& e) {
                failure = e.what();
            }
        }
        self->m_last_error = failure;
        self->m_state = state::disconnected;
        self->notify_connect_waiters();
    }

    void start_connect(const address& at) {
        redisAsyncContext* ac = redisAsyncConnect(at.host.c_str(), at.port);
        if (ac == nullptr) throw error("Could not allocate a Redis context");
        if (ac->err != 0) {
            std::string message = ac->errstr;
            redisAsyncFree(ac);
            throw error(message);
        }
        ac->data = this;
        detail::attach_adapter(m_ex, ac);
        redisAsyncSetConnectCallback(ac, on_connect);
        redisAsyncSetDisconnectCallback(ac, on_disconnect);
        m_ac = ac;
        m_address = at;
        m_setup_failed = false;
        m_connect_deadline = clock::now() + m_opts.connect_timeout;
        // hiredis learns that a non-blocking connect finished from the first write event.
        ac->ev.addWrite(ac->ev.data);
    }

    // The server at m_address failed us: with sentinels, ask them again next time.
    void forget_server() {
        if (m_opts.sentinel) m_opts.sentinel->forget(m_address);
    }

    static void on_connect(const redisAsyncContext* ac, int status) {
        auto* self = static_cast<connection_impl*>(ac->data);
        if (self == nullptr || self->m_ac != ac) return;
        if (status != REDIS_OK) {
            self->m_last_error = ac->errstr;
            self->m_ac = nullptr;  // hiredis frees the context after this callback
            self->m_state = state::disconnected;
            self->forget_server();
            self->notify_connect_waiters();
            return;
        }
        // Set-up commands, pipelined; the last reply makes the connection usable.
        std::vector<std::vector<std::string>> setup;
        if (!self->m_opts.password.empty()) setup.push_back({"AUTH", self->m_opts.password});
        if (self->m_opts.db != 0) setup.push_back({"SELECT", std::to_string(self->m_opts.db)});
        // The sentinels' answer may be stale (an old primary restarted as a replica).
        if (self->m_opts.sentinel) setup.push_back({"ROLE"});
        if (setup.empty()) {
            self->m_state = state::connected;
            self->notify_connect_waiters();
            return;
        }
        self->m_setup_left = setup.size();
        for (const auto& command : setup) {
            std::vector<const char*> args;
            std::vector<std::size_t> lens;
            for (const auto& a : command) {
                args.push_back(a.c_str());
                lens.push_back(a.size());
            }
            void* is_role = command[0] == "ROLE" ? const_cast<connection_impl*>(self) : nullptr;
            redisAsyncCommandArgv(const_cast<redisAsyncContext*>(ac), on_setup, is_role, static_cast<int>(args.size()), args.data(),
                                  lens.data());
        }
    }

    static void on_setup(redisAsyncContext* ac, void* r, void* is_role) {
        auto* self = static_cast<connection_impl*>(ac->data);
        if (self == nullptr || self->m_ac != ac || self->m_setup_failed) return;
        auto* rr = static_cast<redisReply*>(r);
        if (rr == nullptr || rr->type == REDIS_REPLY_ERROR) {
            self->m_last_error = rr != nullptr ? std::string(rr->str, rr->len) : "Connection closed";
        } else if (is_role != nullptr && !(rr->type == REDIS_REPLY_ARRAY && rr->elements > 0 && rr->element[0]->type == REDIS_REPLY_STRING &&
                                            std::string_view(rr->element[0]->str, rr->element[0]->len) == "master")) {
            self->m_last_error = "The server the sentinels named is not the primary";
        } else {
            if (--self->m_setup_left == 0) {
                self->m_state = state::connected;
                self->notify_connect_waiters();
            }
            return;
        }
        self->m_setup_failed = true;
        // Not from inside hiredis's own callback: drop the context from the loop.
        asio::post(self->m_ex, [weak = self->weak_from_this(), generation = self->m_generation] {
            if (auto s = weak.lock()) s->drop(generation);
        });
        self->notify_connect_waiters();
    }

    static void on_disconnect(const redisAsyncContext* ac, int status) {
        auto* self = static_cast<connection_impl*>(ac->data);
        if (self == nullptr || self->m_ac != ac) return;
        if (status != REDIS_OK) self->m_last_error = ac->errstr;
        self->m_ac = nullptr;  // hiredis frees the context after this callback
        self->m_state = state::disconnected;
        self->forget_server();
        self->notify_connect_waiters();
    }

    void notify_connect_waiters() {
        for (auto& w : m_connect_waiters) {
            w->notified = true;
            w->timer.cancel();
        }
    }

    // Closes the current context if it is still the one of `generation`. Every
    // command waiting on it fails; the next command connects again. Never
    // called from inside a hiredis callback.
    void drop(std::uint64_t generation) {
        if (m_ac == nullptr || generation != m_generation) return;
        redisAsyncContext* ac = m_ac;
        m_ac = nullptr;
        m_state = state::disconnected;
        ac->data = nullptr;
        forget_server();
        notify_connect_waiters();
        redisAsyncFree(ac);
    }

    asio::any_io_executor m_ex;
    options m_opts;
    redisAsyncContext* m_ac = nullptr;
    state m_state = state::disconnected;
    std::uint64_t m_generation = 0;
    std::string m_last_error;
    clock::time_point m_connect_deadline;
    std::vector<std::shared_ptr<connect_waiter>> m_connect_waiters;
    address m_address;  // of the current context
    std::size_t m_setup_left = 0;
    bool m_setup_failed = false;
};

connection::connection(asio::any_io_executor executor, options opts)
    : m_impl(std::make_shared<connection_impl>(executor, std::move(opts))) {}

connection::~connection() = default;

asio::awaitable<reply> connection::command(std::vector<std::string_view> argv) { return m_impl->command(std::move(argv)); }

asio::awaitable<std::optional<std::string>> connection::get(std::string_view key) {
    // Built outside the co_await: GCC 12 mishandles braced lists inside coroutine expressions.
    std::vector<std::string_view> argv{std::string_view("GET"), key};
    auto r = co_await command(std::move(argv));
    if (r.type == reply::kind::nil) co_return std::nullopt;
    co_return std::move(r.str);
}

asio::awaitable<void> connection::set(std::string_view key, std::string_view value, std::int64_t ttl_seconds) {
    std::string ttl = std::to_string(ttl_seconds);
    std::vector<std::string_view> argv{std::string_view("SET"), key, value, std::string_view("EX"), std::string_view(ttl)};
    co_await command(std::move(argv));
}

asio::awaitable<long long> connection::del(std::string_view key) {
    std::vector<std::string_view> argv{std::string_view("DEL"), key};
    auto r = co_await command(std::move(argv));
    co_return r.integer;
}

const options& connection::settings() const noexcept { return m_impl->settings(); }

}  // namespace redis
