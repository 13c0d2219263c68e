#pragma once
// What the endpoint tests share: the tile router mounted on a host
// application with a small database pool and a Redis of the test's choice,
// synchronous libpq helpers for arranging and watching the server from
// outside the pool under test, scratch schemas and databases, and a tiny
// vector-tile decoder.

#include <libpq-fe.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database/database.hpp"
#include "redis/connection.hpp"
#include "routers/vectile/service.hpp"
#include "server/application.hpp"
#include "support/env.hpp"

namespace vtest {

namespace asio = boost::asio;

// ------------------------------------------------------------------ libpq, synchronous

// The connection string `url` (URI or key=value) with some keywords replaced
// or added, e.g. {{"dbname", "x"}, {"options", "-c search_path=s,public"}}.
std::string conninfo_with(const std::string& url, const std::map<std::string, std::string>& changes);

// One blocking libpq connection, for setting things up and for observing the
// server (locks, pg_stat_activity) independently of the pool under test.
class pg_connection {
public:
    explicit pg_connection(const std::string& conninfo);
    ~pg_connection();
    pg_connection(const pg_connection&) = delete;
    pg_connection& operator=(const pg_connection&) = delete;

    // Runs one or more statements; throws std::runtime_error with the server's message.
    void exec(const std::string& sql);
    // The rows of one query as text (NULL as nothing).
    std::vector<std::vector<std::optional<std::string>>> rows(const std::string& sql);
    // The first column of the first row; throws when there is no row or it is NULL.
    std::string scalar(const std::string& sql);

private:
    PGconn* m_conn = nullptr;
};

// SQL string literal.
std::string literal(std::string_view text);

// A schema of this test with copies of some cadastre tables. Connections
// that put it first on their search_path see the copies instead of the
// shared tables, so a test may lock or empty them without disturbing tests
// that run at the same time. Dropped with everything in it at the end.
class scratch_schema {
public:
    // `copies`: table names copied with their rows; `empty`: copied without rows (and never analysed).
    scratch_schema(const std::vector<std::string>& copies, const std::vector<std::string>& empty = {});
    ~scratch_schema();
    scratch_schema(const scratch_schema&) = delete;
    scratch_schema& operator=(const scratch_schema&) = delete;

    const std::string& name() const noexcept { return m_name; }
    // DATABASE_URL with this schema first on the search path.
    std::string conninfo() const;

private:
    std::string m_name;
};

// An empty database of this test (no PostGIS, no tables), dropped at the end
// even while connections to it are open.
class scratch_database {
public:
    scratch_database();
    ~scratch_database();
    scratch_database(const scratch_database&) = delete;
    scratch_database& operator=(const scratch_database&) = delete;
    std::string conninfo() const;

private:
    std::string m_name;
};

// ------------------------------------------------------------------ vector tiles

struct mvt_value {
    std::string text;             // strings as they are, numbers in decimal
    std::optional<double> number;  // set for numeric values
};

struct mvt_point {
    std::int64_t x, y;
};

struct mvt_feature {
    std::uint32_t type = 0;  // 1 point, 2 line, 3 polygon
    std::map<std::string, mvt_value> attributes;
    std::vector<mvt_point> vertices;  // every vertex of every part, in tile units
};

struct mvt_layer {
    std::string name;
    std::vector<std::string> keys;
    std::uint32_t extent = 4096;
    std::uint32_t version = 1;
    std::vector<mvt_feature> features;
};

// Decodes Tile{layers=3} with Layer{name=1, features=2, keys=3, values=4,
// extent=5, version=15} and Feature{tags=2, type=3, geometry=4}; throws on
// a malformed tile or an unknown geometry command.
std::vector<mvt_layer> decode_tile(std::string_view bytes);

// ------------------------------------------------------------------ the router under test

// What the sessions that the host obtained were asked to do.
struct session_counts {
    int sessions = 0;
    int statements = 0;
};

class endpoint_test : public testing::Test {
protected:
    ~endpoint_test() override;

    // Mounts a fresh service: its database pool (size 2) on `db_conninfo`
    // (tagged with this test's application_name) and its Redis at `redis`.
    void start(const std::string& db_conninfo, const vectile::redis_settings& redis);
    // DATABASE_URL and the shared Redis.
    void start_shared();
    void stop();

    common::response get(const std::string& target);
    common::response post(const std::string& target);
    common::response request(boost::beast::http::verb method, const std::string& target);
    common::response request(const common::request& req);
    // A GET whose statement should wait for a lock held elsewhere: two seconds
    // in, exactly one statement of this test's pool must be waiting for a
    // lock; then the answer is awaited. Returns it with the seconds it took.
    std::pair<common::response, double> get_blocked(const std::string& target, std::chrono::steady_clock::duration limit);

    template <class T>
    T run(asio::awaitable<T> op, std::chrono::steady_clock::duration limit = std::chrono::seconds(60));
    void run(asio::awaitable<void> op, std::chrono::steady_clock::duration limit = std::chrono::seconds(60));

    // Commands on the service's Redis through a connection of the test's own.
    redis::connection& redis_side();
    std::optional<std::string> redis_get(const std::string& key);
    long long redis_ttl(const std::string& key);  // -2 absent, -1 no expiry
    void redis_set(const std::string& key, const std::string& value, int ttl = 600);
    void redis_del(const std::string& key);
    bool redis_exists(const std::string& key) { return redis_ttl(key) != -2; }
    // Deletes `key` now and again when the test ends, however it ends.
    const std::string& own_key(const std::string& key);
    void TearDown() override;

    // Active statements of this test's pool, seen from outside it.
    long long active_statements(const std::string& extra_condition = "true");
    // Polls (while the loop keeps turning) until no statement of this test's
    // pool is active; true when that happened within `limit`.
    bool statements_gone_within(std::chrono::steady_clock::duration limit);

    static std::optional<std::string> header(const common::response& r, const std::string& name);
    // The answer with bytes shared with a cache moved into `body`, as the server would send them.
    static common::response flattened(common::response r);

    asio::io_context ioc;
    const std::string app_name = "vtest_" + test_support::unique_suffix();
    session_counts counts;
    std::unique_ptr<database::pool> pool;
    std::shared_ptr<vectile::service> svc;
    std::unique_ptr<server::application> app;

private:
    vectile::redis_settings m_redis;
    std::unique_ptr<redis::connection> m_redis_side;
    std::unique_ptr<pg_connection> m_observer;
    std::vector<std::string> m_owned_keys;
};

}  // namespace vtest

#include "support/run.hpp"

template <class T>
T vtest::endpoint_test::run(asio::awaitable<T> op, std::chrono::steady_clock::duration limit) {
    return test_support::run(ioc, std::move(op), limit);
}
