#include <utility>

#include <boost/asio/awaitable.hpp>

#include "database/detail/pool_impl.hpp"

namespace database::detail {

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

    void read_only() override { m_read_only = true; }

    asio::awaitable<void> commit() override {
        if (m_commit_sent && m_conn) {
            // The COMMIT went with the last statement; only its outcome is left.
            m_commit_sent = false;
            m_in_transaction = false;
            if (auto failure = m_conn->take_commit_failure()) std::rethrow_exception(failure);
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
        if (m_conn->broken()) throw unreachable("the connection was lost during rollback");
    }

    asio::awaitable<bool> renew() override {
        if (m_closed || !m_conn || !m_conn->broken()) co_return false;
        m_in_transaction = false;
        m_commit_sent = false;
        m_pool->release(std::move(m_conn));  // a broken connection is closed, not kept
        co_return true;
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
        const auto positional = m_pool->translate(sql);
        const bool begin_first = !m_in_transaction;
        const bool read_only = begin_first && std::exchange(m_read_only, false);
        m_in_transaction = true;
        m_commit_sent = false;
        auto r = co_await m_conn->run(positional->text, positional->names, p, clock::now() + opts.statement_backstop, begin_first,
                                      commit_after, read_only);
        // A failed statement skips the COMMIT behind it: commit() then ends the transaction as usual.
        m_commit_sent = commit_after;
        co_return r;
    }

    std::shared_ptr<pool_impl> m_pool;
    std::unique_ptr<connection> m_conn;
    bool m_in_transaction = false;
    bool m_commit_sent = false;  // by execute_last, with the statement
    bool m_closed = false;
    bool m_read_only = false;  // for the transaction begun next
};

}  // namespace

std::unique_ptr<session> make_session(std::shared_ptr<pool_impl> pool) { return std::make_unique<pg_session>(std::move(pool)); }

}  // namespace database::detail
