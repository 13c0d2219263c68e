#include "database/pool.hpp"

#include <algorithm>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "database/detail/pool_impl.hpp"
#include "logger/logger.hpp"
#include "metrics/metrics.hpp"

namespace database {

namespace detail {

asio::awaitable<std::unique_ptr<connection>> pool_impl::acquire() {
    const auto started = clock::now();
    std::unique_ptr<connection> c;
    std::exception_ptr failure;
    try {
        c = co_await take();
    } catch (...) {
        failure = std::current_exception();
    }
    publish();
    if (failure) std::rethrow_exception(failure);
    metrics::observe_pool_wait(clock::now() - started);
    co_return c;
}

void pool_impl::publish() const { metrics::set_pool(m_idle.size(), m_open - m_idle.size()); }

asio::awaitable<std::unique_ptr<connection>> pool_impl::take() {
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
            std::unique_ptr<connection> c;
            std::exception_ptr failure;
            try {
                c = co_await open_connection(std::min(deadline, clock::now() + m_options.connect_timeout));
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
            throw pool_timeout();
        }
    }
}

asio::awaitable<std::unique_ptr<connection>> pool_impl::open_connection(clock::time_point deadline) {
    auto c = std::make_unique<connection>(m_ex, m_registry);
    co_await c->connect(m_options.url, deadline);
    for (const auto& statement : m_options.setup) {
        try {
            co_await c->run_simple(statement.c_str(), deadline);
        } catch (const error& e) {
            if (c->broken()) throw;
            // A setting the server refuses leaves the connection usable as the server has it.
            logger::get_logger("database")->warn("Session set-up statement '{}' failed: {}", statement, e.what());
            metrics::count_handled_error(metrics::component::database);
        }
    }
    co_return c;
}

void pool_impl::fill(std::size_t count) { asio::co_spawn(m_ex, fill_to(shared_from_this(), count), asio::detached); }

asio::awaitable<void> pool_impl::fill_to(std::shared_ptr<pool_impl> self, std::size_t count) {
    count = std::min(count, self->m_options.size);
    while (self->m_open < count) {
        ++self->m_open;
        try {
            auto c = co_await self->open_connection(clock::now() + self->m_options.connect_timeout);
            self->release(std::move(c));
        } catch (const error& e) {
            // The first request that needs a connection tries again, and reports its failure.
            logger::get_logger("database")->warn("Opening a database connection in the background failed: {}", e.what());
            metrics::count_handled_error(metrics::component::database);
            --self->m_open;
            self->wake_one();
            co_return;
        }
    }
}

void pool_impl::release(std::unique_ptr<connection> c) {
    if (!c) return;
    if (c->broken()) {
        --m_open;
        c.reset();
        wake_one();
        publish();
        return;
    }
    if (c->busy() || c->in_transaction()) {
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
    publish();
}

asio::awaitable<void> pool_impl::clean_and_release(std::shared_ptr<pool_impl> self, std::unique_ptr<connection> c) {
    co_await c->clean(self->m_cancel_threads, clock::now() + self->m_options.control_timeout);
    self->release(std::move(c));
}

std::shared_ptr<const positional_sql> pool_impl::translate(std::string_view sql) {
    auto it = m_translations.find(std::string(sql));
    if (it != m_translations.end()) return it->second;
    // The service uses a few hundred distinct statements; the bound keeps a
    // caller that builds statements dynamically from growing this forever.
    if (m_translations.size() > 4096) m_translations.clear();
    auto translated = std::make_shared<const positional_sql>(translate_named_params(sql));
    m_translations.emplace(std::string(sql), translated);
    return translated;
}

void pool_impl::wake_one() {
    while (!m_waiters.empty()) {
        auto w = m_waiters.front();
        m_waiters.pop_front();
        if (w->conn || w->woken) continue;
        w->woken = true;
        w->timer.cancel();
        return;
    }
}

}  // namespace detail

pool::pool(asio::any_io_executor executor, pool_options options)
    : m_impl(std::make_shared<detail::pool_impl>(executor, std::move(options))) {}

pool::~pool() = default;

void detail::pool_impl::cancel_running() {
    for (connection* c : *m_registry) c->cancel_blocking();
}

void pool::cancel_running() { m_impl->cancel_running(); }

void pool::fill(std::size_t count) { m_impl->fill(count); }

std::unique_ptr<session> pool::make_session() { return detail::make_session(m_impl); }

std::size_t pool::open_connections() const { return m_impl->open(); }
std::size_t pool::idle_connections() const { return m_impl->idle(); }

}  // namespace database
