// Sessions and the pool against a real PostgreSQL (DATABASE_URL).

#include "database/database.hpp"

#include <gtest/gtest.h>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>

#include "common/deadline.hpp"
#include "support/env.hpp"
#include "support/redis_child.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using database::value;
using test_support::seconds_since;

class database_test : public testing::Test {
protected:
    void SetUp() override { m_url = test_support::database_url(); }

    void TearDown() override {
        if (!m_table.empty()) {
            try {
                exec(*admin(), "DROP TABLE IF EXISTS " + m_table);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "could not drop " << m_table << ": " << e.what();
            }
        }
    }

    std::unique_ptr<database::pool> make_pool(std::size_t size = 2, std::chrono::milliseconds acquire = 5000ms) {
        return std::make_unique<database::pool>(ioc.get_executor(),
                                                database::pool_options{.url = m_url, .size = size, .acquire_timeout = acquire});
    }

    // A second pool for observing the server from outside the sessions under test.
    database::pool* admin() {
        if (!m_admin) m_admin = make_pool(1);
        return m_admin.get();
    }

    // A scratch table for this test, dropped at the end.
    const std::string& scratch_table() {
        if (m_table.empty()) {
            m_table = "dbtest_" + test_support::unique_suffix();
            exec(*admin(), "CREATE TABLE " + m_table + " (id integer, data bytea)");
        }
        return m_table;
    }

    template <class T>
    T run(asio::awaitable<T> op) {
        return test_support::run(ioc, std::move(op));
    }
    void run(asio::awaitable<void> op) { test_support::run(ioc, std::move(op)); }

    // One statement in its own session, committed and closed.
    database::result exec(database::pool& pool, const std::string& sql, database::params params = {}) {
        auto s = pool.make_session();
        database::result r;
        try {
            r = run(s->execute(sql, std::move(params)));
            run(s->commit());
        } catch (...) {
            run(s->close());
            throw;
        }
        run(s->close());
        return r;
    }

    value scalar(database::session& s, const std::string& sql, database::params params = {}) {
        auto v = run(s.execute(sql, std::move(params))).scalar_one_or_none();
        if (!v) throw std::runtime_error("no row for: " + sql);
        return *v;
    }

    std::int64_t count_rows() {
        return std::get<std::int64_t>(*exec(*admin(), "SELECT count(*) FROM " + scratch_table()).scalar_one_or_none());
    }

    // Statements whose text contains `tag` that are running now, seen from the admin pool.
    std::int64_t running_with(const std::string& tag) {
        auto r = exec(*admin(), "SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE :pattern AND pid <> pg_backend_pid()",
                      {{"pattern", "%" + tag + "%"}});
        return std::get<std::int64_t>(*r.scalar_one_or_none());
    }

    // Polls `running_with(tag)` until it is 0; true when that happened within `limit`.
    bool gone_within(const std::string& tag, std::chrono::steady_clock::duration limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (running_with(tag) == 0) return true;
            test_support::run_for(ioc, 50ms);
        }
        return running_with(tag) == 0;
    }

    // Ends backend `pid` from outside and waits until it has gone.
    void terminate_backend(const value& pid) {
        exec(*admin(), "SELECT pg_terminate_backend(CAST(:pid AS integer))", {{"pid", pid}});
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::get<std::int64_t>(
                   *exec(*admin(), "SELECT count(*) FROM pg_stat_activity WHERE pid = CAST(:pid AS integer)", {{"pid", pid}}).scalar_one_or_none()) != 0) {
            if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the terminated backend did not go away");
            test_support::run_for(ioc, 20ms);
        }
        test_support::run_for(ioc, 50ms);  // let the end of stream reach the client socket
    }

    asio::io_context ioc;
    std::string m_url;

private:
    std::unique_ptr<database::pool> m_admin;
    std::string m_table;
};

std::string every_byte_value() {
    std::string out;
    for (int i = 0; i < 256; ++i) out.push_back(static_cast<char>(i));
    for (int i = 255; i >= 0; --i) out.push_back(static_cast<char>(i));
    return out + std::string("\0\0", 2);
}

// ------------------------------------------------------------------ values

TEST_F(database_test, bytea_with_every_byte_value_round_trips_unchanged) {
    auto pool = make_pool();
    const database::bytes payload{every_byte_value()};
    auto s = pool->make_session();
    auto row = run(s->execute("SELECT CAST(:b AS bytea) AS b, octet_length(:b) AS n", {{"b", payload}})).first();
    ASSERT_TRUE(row);
    EXPECT_EQ((*row)["n"], value(std::int64_t(payload.data.size())));
    ASSERT_TRUE(std::holds_alternative<database::bytes>((*row)["b"]));
    EXPECT_EQ(std::get<database::bytes>((*row)["b"]), payload);
    run(s->close());

    // Stored and read back by another session.
    exec(*pool, "INSERT INTO " + scratch_table() + " (id, data) VALUES (1, :b)", {{"b", payload}});
    auto stored = exec(*pool, "SELECT data FROM " + scratch_table() + " WHERE id = 1").scalar_one_or_none();
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, value(payload));
}

struct decode_case {
    const char* name;
    const char* sql;
    value expected;
};

// Names the case in test listings.
void PrintTo(const decode_case& c, std::ostream* os) { *os << c.name; }

class decoding : public database_test, public testing::WithParamInterface<decode_case> {};

TEST_P(decoding, gives_the_expected_value) {
    auto pool = make_pool();
    auto got = exec(*pool, GetParam().sql).scalar_one_or_none();
    ASSERT_TRUE(got);
    const auto& expected = GetParam().expected;
    if (auto* d = std::get_if<double>(&expected)) {
        ASSERT_TRUE(std::holds_alternative<double>(*got)) << "index " << got->index();
        if (std::isnan(*d)) {
            EXPECT_TRUE(std::isnan(std::get<double>(*got)));
        } else {
            EXPECT_NEAR(std::get<double>(*got), *d, std::abs(*d) * 1e-12);
        }
    } else {
        EXPECT_EQ(*got, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    types, decoding,
    testing::Values(decode_case{"int2", "SELECT 42::int2", value(std::int64_t{42})},
                    decode_case{"int4", "SELECT (-7)::int4", value(std::int64_t{-7})},
                    decode_case{"int8_min", "SELECT (-9223372036854775808)::int8", value(std::numeric_limits<std::int64_t>::min())},
                    decode_case{"float8", "SELECT 1.5::float8", value(1.5)}, decode_case{"float4", "SELECT 0.25::float4", value(0.25)},
                    decode_case{"float8_negative_small", "SELECT (-0.001)::float8", value(-0.001)},
                    decode_case{"numeric", "SELECT 12345.678::numeric", value(12345.678)},
                    decode_case{"numeric_negative_fraction", "SELECT (-0.5)::numeric", value(-0.5)},
                    decode_case{"numeric_zero", "SELECT 0::numeric", value(0.0)},
                    decode_case{"numeric_large", "SELECT 1e20::numeric", value(1e20)},
                    decode_case{"numeric_nan", "SELECT 'NaN'::numeric", value(std::nan(""))},
                    decode_case{"text", "SELECT 'h\u00e9llo'::text", value(std::string("h\u00e9llo"))},
                    decode_case{"empty_text_is_not_null", "SELECT ''::text", value(std::string())},
                    decode_case{"varchar", "SELECT 'abc'::varchar(10)", value(std::string("abc"))},
                    decode_case{"bool_true", "SELECT true", value(true)}, decode_case{"bool_false", "SELECT 1 > 2", value(false)},
                    decode_case{"null_integer", "SELECT NULL::integer", value(std::monostate{})},
                    decode_case{"null_text", "SELECT NULL::text", value(std::monostate{})},
                    decode_case{"jsonb", "SELECT '{\"a\":1}'::jsonb", value(std::string("{\"a\": 1}"))},
                    decode_case{"json", "SELECT '{\"a\":1}'::json", value(std::string("{\"a\":1}"))},
                    decode_case{"bytea", "SELECT '\\x00ff41'::bytea", value(database::bytes{std::string("\0\xff" "A", 3)})}),
    [](const testing::TestParamInfo<decode_case>& info) { return std::string(info.param.name); });

struct bind_case {
    const char* name;
    const char* sql_type;
    value bound;
};

// Names the case in test listings.
void PrintTo(const bind_case& c, std::ostream* os) { *os << c.name; }

class binding : public database_test, public testing::WithParamInterface<bind_case> {};

TEST_P(binding, round_trips_the_bound_value) {
    auto pool = make_pool();
    auto got = exec(*pool, std::string("SELECT CAST(:v AS ") + GetParam().sql_type + ") AS v", {{"v", GetParam().bound}}).scalar_one_or_none();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, GetParam().bound);
}

INSTANTIATE_TEST_SUITE_P(
    types, binding,
    testing::Values(bind_case{"int64_max", "bigint", value(std::numeric_limits<std::int64_t>::max())},
                    bind_case{"negative", "bigint", value(std::int64_t{-1})},
                    // Reals are sent with enough digits to come back bit for bit.
                    bind_case{"tenth", "float8", value(0.1)}, bind_case{"third", "float8", value(1.0 / 3.0)},
                    bind_case{"huge", "float8", value(1e300)}, bind_case{"bool_true", "boolean", value(true)},
                    bind_case{"bool_false", "boolean", value(false)},
                    bind_case{"text", "text", value(std::string("it's \"quoted\" :x \\ \u00e9"))},
                    bind_case{"null", "integer", value(std::monostate{})},
                    bind_case{"bytes", "bytea", value(database::bytes{std::string("\0\x01\xff", 3)})}),
    [](const testing::TestParamInfo<bind_case>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ results

TEST_F(database_test, scalar_one_or_none_gives_none_one_or_an_error) {
    auto pool = make_pool();
    EXPECT_FALSE(exec(*pool, "SELECT 1 WHERE false").scalar_one_or_none());
    EXPECT_EQ(exec(*pool, "SELECT 7, 8").scalar_one_or_none(), value(std::int64_t{7}));
    auto many = exec(*pool, "SELECT generate_series(1, 2)");
    EXPECT_THROW(many.scalar_one_or_none(), database::error);
    // A statement without rows.
    EXPECT_FALSE(exec(*pool, "SET LOCAL statement_timeout = 0").scalar_one_or_none());
}

TEST_F(database_test, first_gives_the_first_row_with_columns_by_name) {
    auto pool = make_pool();
    EXPECT_FALSE(exec(*pool, "SELECT 1 AS a WHERE false").first());
    auto r = exec(*pool, "SELECT * FROM (VALUES (2, 'y'), (1, 'x')) AS v(a, b) ORDER BY a");
    EXPECT_EQ(r.rows().size(), 2u);
    auto row = r.first();
    ASSERT_TRUE(row);
    EXPECT_EQ((*row)["a"], value(std::int64_t{1}));
    EXPECT_EQ((*row)["b"], value(std::string("x")));
    EXPECT_DOUBLE_EQ(row->real("a"), 1.0);
    EXPECT_THROW((*row)["missing"], database::error);
    EXPECT_THROW(row->real("b"), database::error);
}

// ------------------------------------------------------------------ transactions

TEST_F(database_test, commit_persists) {
    auto pool = make_pool();
    const auto& table = scratch_table();
    auto s = pool->make_session();
    run(s->execute("INSERT INTO " + table + " (id) VALUES (1)"));
    run(s->commit());
    run(s->close());
    EXPECT_EQ(count_rows(), 1);
}

TEST_F(database_test, rollback_discards_and_the_session_goes_on) {
    auto pool = make_pool();
    const auto& table = scratch_table();
    auto s = pool->make_session();
    run(s->execute("INSERT INTO " + table + " (id) VALUES (1)"));
    run(s->rollback());
    run(s->execute("INSERT INTO " + table + " (id) VALUES (2)"));
    run(s->commit());
    run(s->close());
    auto ids = exec(*pool, "SELECT id FROM " + table).rows();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0]["id"], value(std::int64_t{2}));
}

TEST_F(database_test, close_without_commit_discards_and_returns_the_connection_clean) {
    auto pool = make_pool(1);
    const auto& table = scratch_table();
    auto s = pool->make_session();
    auto pid = scalar(*s, "SELECT pg_backend_pid()");
    auto xid = scalar(*s, "SELECT txid_current()");
    run(s->execute("INSERT INTO " + table + " (id) VALUES (1)"));
    run(s->close());
    run(s->close());  // twice is harmless
    EXPECT_EQ(pool->open_connections(), 1u);
    EXPECT_EQ(pool->idle_connections(), 1u);

    // The same connection, in a new transaction (the old one did not leak into it).
    auto next = pool->make_session();
    EXPECT_EQ(scalar(*next, "SELECT pg_backend_pid()"), pid);
    EXPECT_NE(scalar(*next, "SELECT txid_current()"), xid);
    EXPECT_EQ(scalar(*next, "SELECT count(*) FROM " + table), value(std::int64_t{0}));
    run(next->close());
    EXPECT_EQ(count_rows(), 0);
}

TEST_F(database_test, abandoned_session_is_rolled_back_before_its_connection_is_reused) {
    auto pool = make_pool(1);
    const auto& table = scratch_table();
    {
        auto s = pool->make_session();
        run(s->execute("INSERT INTO " + table + " (id) VALUES (1)"));
    }  // destroyed without close, as when a request is abandoned
    auto next = pool->make_session();
    EXPECT_EQ(scalar(*next, "SELECT count(*) FROM " + table), value(std::int64_t{0}));
    run(next->close());
    EXPECT_EQ(count_rows(), 0);
}

TEST_F(database_test, closed_session_refuses_statements) {
    auto pool = make_pool();
    auto s = pool->make_session();
    run(s->close());
    EXPECT_THROW(run(s->execute("SELECT 1")), database::error);
}

// ------------------------------------------------------------------ a last statement with its COMMIT

struct last_case {
    const char* name;
    const char* before;     // run first in the same transaction, or empty
    const char* last;       // "T" stands for the scratch table
    const char* statement_sqlstate;  // the last statement's error, or empty
    const char* commit_sqlstate;     // commit's error, or empty
    std::int64_t rows;      // in the table at the end
};

void PrintTo(const last_case& c, std::ostream* os) { *os << c.name; }

class last_statement : public database_test, public testing::WithParamInterface<last_case> {
protected:
    std::string with_table(const char* sql) {
        std::string out = sql;
        if (auto at = out.find(" T "); at != std::string::npos) out.replace(at + 1, 1, scratch_table());
        return out;
    }
};

TEST_P(last_statement, commits_with_the_statement_and_reports_each_failure_where_it_happened) {
    const auto& c = GetParam();
    auto pool = make_pool(1);
    // Duplicates are refused only at COMMIT.
    exec(*admin(), "ALTER TABLE " + scratch_table() + " ADD UNIQUE (id) DEFERRABLE INITIALLY DEFERRED");
    auto s = pool->make_session();
    auto pid = scalar(*s, "SELECT pg_backend_pid()");
    if (*c.before) run(s->execute(with_table(c.before)));
    try {
        auto r = run(s->execute_last(with_table(c.last)));
        EXPECT_STREQ(c.statement_sqlstate, "") << "the statement succeeded";
        EXPECT_EQ(r.scalar_one_or_none(), value(std::int64_t{1}));
        if (!*c.commit_sqlstate) {
            EXPECT_EQ(count_rows(), c.rows) << "committed before commit() was awaited";
        }
    } catch (const database::error& e) {
        EXPECT_EQ(e.sqlstate(), c.statement_sqlstate) << e.what();
    }
    try {
        run(s->commit());
        EXPECT_STREQ(c.commit_sqlstate, "") << "commit succeeded";
    } catch (const database::error& e) {
        EXPECT_EQ(e.sqlstate(), c.commit_sqlstate) << e.what();
    }
    // Whatever happened, commit() ended the transaction: the session goes on.
    EXPECT_EQ(scalar(*s, "SELECT 1"), value(std::int64_t{1}));
    run(s->rollback());
    run(s->close());
    EXPECT_EQ(count_rows(), c.rows);

    // The same connection serves the next session, outside any transaction.
    auto next = pool->make_session();
    EXPECT_EQ(scalar(*next, "SELECT pg_backend_pid()"), pid);
    EXPECT_EQ(scalar(*next, "SELECT count(*) FROM " + scratch_table()), value(c.rows));
    run(next->close());
}

INSTANTIATE_TEST_SUITE_P(
    outcomes, last_statement,
    testing::Values(last_case{"success", "", "INSERT INTO T (id) VALUES (1) RETURNING id", "", "", 1},
                    last_case{"after_other_statements", "INSERT INTO T (id) VALUES (2)", "INSERT INTO T (id) VALUES (1) RETURNING id", "", "", 2},
                    last_case{"statement_fails", "INSERT INTO T (id) VALUES (2)", "INSERT INTO T (id) VALUES (1 / 0) RETURNING id", "22012", "", 0},
                    last_case{"commit_fails", "INSERT INTO T (id) VALUES (1)", "INSERT INTO T (id) VALUES (1) RETURNING id", "", "23505", 0}),
    [](const testing::TestParamInfo<last_case>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ failures

struct failure_case {
    const char* name;
    const char* sql;
    database::params params;
    const char* sqlstate;  // empty: raised before the statement reaches the server
};

// Names the case in test listings.
void PrintTo(const failure_case& c, std::ostream* os) { *os << c.name; }

class failures : public database_test, public testing::WithParamInterface<failure_case> {};

TEST_P(failures, are_database_errors_and_the_session_recovers_after_rollback) {
    auto pool = make_pool();
    auto s = pool->make_session();
    try {
        run(s->execute(GetParam().sql, GetParam().params));
        FAIL() << "no error for " << GetParam().sql;
    } catch (const database::error& e) {
        EXPECT_EQ(e.sqlstate(), GetParam().sqlstate);
        EXPECT_STRNE(e.what(), "");
    }
    run(s->rollback());
    EXPECT_EQ(scalar(*s, "SELECT 1"), value(std::int64_t{1}));
    run(s->close());
}

INSTANTIATE_TEST_SUITE_P(
    kinds, failures,
    testing::Values(failure_case{"syntax", "SELEC 1", {}, "42601"},
                    failure_case{"missing_table", "SELECT * FROM no_such_table_for_tests", {}, "42P01"},
                    failure_case{"bad_parameter", "SELECT CAST(:v AS integer)", {{"v", std::string("abc")}}, "22P02"},
                    failure_case{"division_by_zero", "SELECT 1 / (2 - 2)", {}, "22012"},
                    failure_case{"missing_parameter", "SELECT CAST(:v AS integer)", {}, ""}),
    [](const testing::TestParamInfo<failure_case>& info) { return std::string(info.param.name); });

TEST_F(database_test, unreachable_server_is_a_database_error) {
    for (const std::string& url : {"postgresql://postgres@127.0.0.1:" + std::to_string(test_support::free_port()) + "/gis",
                                  std::string("postgresql://[not a url")}) {
        database::pool pool(ioc.get_executor(), database::pool_options{.url = url, .size = 1});
        auto s = pool.make_session();
        EXPECT_THROW(run(s->execute("SELECT 1")), database::error) << url;
        run(s->close());
        EXPECT_EQ(pool.open_connections(), 0u) << url;
    }
}

// ------------------------------------------------------------------ broken connections

TEST_F(database_test, connection_killed_while_idle_is_not_reused) {
    auto pool = make_pool(1);
    auto s = pool->make_session();
    auto pid = std::get<std::int64_t>(scalar(*s, "SELECT pg_backend_pid()"));
    run(s->close());
    ASSERT_EQ(pool->idle_connections(), 1u);

    terminate_backend(value(pid));

    auto next = pool->make_session();
    auto new_pid = std::get<std::int64_t>(scalar(*next, "SELECT pg_backend_pid()"));
    EXPECT_NE(new_pid, pid);
    run(next->close());
    EXPECT_EQ(pool->open_connections(), 1u);
}

TEST_F(database_test, connection_killed_during_a_session_fails_it_and_is_dropped) {
    auto pool = make_pool(1);
    auto s = pool->make_session();
    auto pid = scalar(*s, "SELECT pg_backend_pid()");
    terminate_backend(pid);
    EXPECT_THROW(run(s->execute("SELECT 1")), database::error);
    run(s->close());
    EXPECT_EQ(pool->open_connections(), 0u);

    auto next = pool->make_session();
    EXPECT_NE(scalar(*next, "SELECT pg_backend_pid()"), pid);
    run(next->close());
}

// A write refused because the transaction or the server is read-only (a
// standby, or a primary demoted by a failover) fails the session and the
// connection is replaced, not handed out again.
TEST_F(database_test, refused_write_fails_and_replaces_the_connection) {
    struct read_only_case {
        const char* name;
        bool session_read_only;   // session::read_only() before the write
        bool server_read_only;    // the connection's server refuses writes by default
    };
    for (const auto& c : {read_only_case{"read-only transaction", true, false}, read_only_case{"read-only server", false, true}}) {
        SCOPED_TRACE(c.name);
        auto pool = make_pool(1);
        const auto& table = scratch_table();
        auto s = pool->make_session();
        if (c.server_read_only) {
            run(s->execute("SET default_transaction_read_only = on"));
            run(s->commit());
        }
        auto pid = scalar(*s, "SELECT pg_backend_pid()");
        run(s->commit());
        if (c.session_read_only) s->read_only();
        try {
            run(s->execute("INSERT INTO " + table + " (id) VALUES (1)"));
            ADD_FAILURE() << "the write was not refused";
        } catch (const database::error& e) {
            EXPECT_EQ(e.sqlstate(), "25006") << e.what();
        }
        run(s->close());
        EXPECT_EQ(pool->open_connections(), 0u);

        auto next = pool->make_session();
        EXPECT_NE(scalar(*next, "SELECT pg_backend_pid()"), pid);
        EXPECT_EQ(scalar(*next, "SHOW transaction_read_only"), value(std::string("off")));  // read_only() lasts one transaction
        run(next->close());
    }
    EXPECT_EQ(count_rows(), 0);
}

// ------------------------------------------------------------------ pool limits

TEST_F(database_test, exhausted_pool_gives_up_after_the_acquire_time_out) {
    auto pool = make_pool(1, 300ms);
    auto holder = pool->make_session();
    scalar(*holder, "SELECT 1");

    auto waiting = pool->make_session();
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(run(waiting->execute("SELECT 1")), database::pool_timeout);
    EXPECT_GE(seconds_since(start), 0.25);
    EXPECT_LT(seconds_since(start), 5.0);
    run(waiting->close());

    run(holder->close());
    auto after = pool->make_session();
    EXPECT_EQ(scalar(*after, "SELECT 1"), value(std::int64_t{1}));
    run(after->close());
}

TEST_F(database_test, waiting_session_gets_the_connection_when_it_is_released) {
    using namespace asio::experimental::awaitable_operators;
    auto pool = make_pool(1, 5000ms);
    auto holder = pool->make_session();
    scalar(*holder, "SELECT 1");
    auto waiting = pool->make_session();

    auto release_later = [&]() -> asio::awaitable<void> {
        asio::steady_timer t(co_await asio::this_coro::executor, 200ms);
        co_await t.async_wait(asio::use_awaitable);
        co_await holder->close();
    };
    auto start = std::chrono::steady_clock::now();
    auto r = run([&]() -> asio::awaitable<database::result> { co_return co_await (waiting->execute("SELECT 5") && release_later()); }());
    EXPECT_EQ(r.scalar_one_or_none(), value(std::int64_t{5}));
    EXPECT_LT(seconds_since(start), 4.0);  // well before the acquire time-out
    run(waiting->close());
}

// ------------------------------------------------------------------ abandoned statements

enum class ending { rollback, close, abandon };

void PrintTo(ending e, std::ostream* os) { *os << (e == ending::rollback ? "rollback" : e == ending::close ? "close" : "abandon"); }

// The ending, and whether the statement was sent as the last, with its COMMIT.
class abandoned_statement : public database_test, public testing::WithParamInterface<std::tuple<ending, bool>> {};

TEST_P(abandoned_statement, is_cancelled_on_the_server_and_the_connection_stays_healthy) {
    auto pool = make_pool(1);
    const std::string tag = "sleep_tag_" + test_support::unique_suffix();
    const std::string sleep_sql = "SELECT pg_sleep(10) /* " + tag + " */";

    auto s = pool->make_session();
    auto pid = scalar(*s, "SELECT pg_backend_pid()");
    auto start = std::chrono::steady_clock::now();
    const auto [how, last] = GetParam();
    auto got = run(common::with_deadline(last ? s->execute_last(sleep_sql) : s->execute(sleep_sql), 300ms));
    EXPECT_FALSE(got.has_value());
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_EQ(running_with(tag), 1) << "the statement should still be running on the server";

    start = std::chrono::steady_clock::now();
    switch (how) {
        case ending::rollback: run(s->rollback()); break;
        case ending::close: run(s->close()); break;
        case ending::abandon: s.reset(); break;
    }
    EXPECT_TRUE(gone_within(tag, 3s)) << "the statement is still running on the server";
    EXPECT_LT(seconds_since(start), 5.0);

    // The connection (pool size 1) is healthy and reused for the next statement.
    if (!s) s = pool->make_session();
    if (how == ending::close) s = pool->make_session();
    EXPECT_EQ(scalar(*s, "SELECT pg_backend_pid()"), pid);
    EXPECT_EQ(scalar(*s, "SELECT 1"), value(std::int64_t{1}));
    run(s->close());
    EXPECT_EQ(pool->open_connections(), 1u);
}

INSTANTIATE_TEST_SUITE_P(endings, abandoned_statement,
                         testing::Combine(testing::Values(ending::rollback, ending::close, ending::abandon), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<ending, bool>>& info) {
                             std::ostringstream name;
                             PrintTo(std::get<0>(info.param), &name);
                             return name.str() + (std::get<1>(info.param) ? "_last" : "");
                         });

}  // namespace
