#include "database/dedicated.hpp"

#include "database/detail/connection.hpp"
#include "database/named_params.hpp"

namespace database {

using clock = std::chrono::steady_clock;

dedicated::dedicated(asio::any_io_executor executor) : m_ex(std::move(executor)) {}

dedicated::~dedicated() = default;

asio::awaitable<void> dedicated::connect(std::string url, std::chrono::milliseconds timeout, std::string application_name) {
    m_conn.reset();
    // Owned by the frame as well: the connection must outlive a wait that is abandoned.
    auto conn = std::make_shared<detail::connection>(m_ex);
    co_await conn->connect(url, clock::now() + timeout, application_name.c_str());
    m_conn = std::move(conn);
}

asio::awaitable<result> dedicated::execute(std::string sql, params p, std::chrono::milliseconds timeout) {
    if (!usable()) throw error("the dedicated connection is not open");
    auto conn = m_conn;
    const auto translated = translate_named_params(sql);
    co_return co_await conn->run(translated.text, translated.names, p, clock::now() + timeout);
}

asio::awaitable<void> dedicated::run_script(std::string sql, std::chrono::milliseconds timeout) {
    if (!usable()) throw error("the dedicated connection is not open");
    auto conn = m_conn;
    co_await conn->run_script(sql, clock::now() + timeout);
}

asio::awaitable<std::vector<std::pair<std::string, std::string>>> dedicated::notifications(std::chrono::milliseconds wait) {
    if (!usable()) throw error("the dedicated connection is not open");
    auto conn = m_conn;
    co_return co_await conn->notifications(clock::now() + wait);
}

bool dedicated::usable() const { return m_conn && !m_conn->broken() && !m_conn->busy(); }

void dedicated::close() { m_conn.reset(); }

}  // namespace database
