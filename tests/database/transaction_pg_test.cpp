// The transaction scope on a real PostgreSQL session whose COMMIT fails: a
// deferred unique constraint is checked only then.

#include "database/transaction.hpp"

#include "database/database.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <libpq-fe.h>

#include <stdexcept>
#include <string>

#include "support/env.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using test_support::seconds_since;

// The first value of `sql` run on a connection of its own, outside the pool under test.
std::string scalar_now(const std::string& sql) {
    PGconn* c = PQconnectdb(test_support::database_url().c_str());
    PGresult* r = PQexec(c, sql.c_str());
    const auto status = PQresultStatus(r);
    std::string out = status == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    std::string failure = status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK ? "" : PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    if (!failure.empty()) throw std::runtime_error(failure);
    return out;
}

// A table of this test with a unique constraint checked at COMMIT; dropped at the end.
class deferred_table {
public:
    deferred_table() : m_name("vtest_deferred_" + test_support::unique_suffix()) {
        scalar_now("CREATE TABLE " + m_name + " (id integer, CONSTRAINT " + m_name + "_id UNIQUE (id) DEFERRABLE INITIALLY DEFERRED)");
    }
    ~deferred_table() {
        try {
            scalar_now("DROP TABLE IF EXISTS " + m_name);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "could not drop " << m_name << ": " << e.what();
        }
    }
    const std::string& name() const noexcept { return m_name; }

private:
    std::string m_name;
};

TEST(db_transaction_on_postgres, failing_commit_rolls_back_closes_and_passes_the_commits_error_on) {
    deferred_table table;
    asio::io_context ioc;
    database::pool pool(ioc.get_executor(), database::pool_options{.url = test_support::database_url(), .size = 1});
    auto session = pool.make_session();
    bool body_finished = false;
    auto body = [&](database::session& s) -> asio::awaitable<int> {
        const std::string insert = "INSERT INTO " + table.name() + " VALUES (1)";
        co_await s.execute(insert);
        co_await s.execute(insert);  // accepted for now: the check is deferred
        body_finished = true;
        co_return 2;
    };
    try {
        (void)test_support::run(ioc, database::db_transaction(*session, body));
        ADD_FAILURE() << "the commit should have failed";
    } catch (const database::error& e) {
        EXPECT_EQ(e.sqlstate(), "23505") << e.what();
        EXPECT_NE(std::string(e.what()).find(table.name() + "_id"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(body_finished) << "the failure must come from the commit, not the body";

    EXPECT_EQ(scalar_now("SELECT count(*) FROM " + table.name()), "0");
    EXPECT_THROW(test_support::run(ioc, session->execute("SELECT 1")), database::error) << "the session should be closed";

    // The pool's only connection came back clean: the next session gets it at once.
    auto start = std::chrono::steady_clock::now();
    auto next = pool.make_session();
    auto v = test_support::run(ioc, next->execute("SELECT 41 + 1")).scalar_one_or_none();
    ASSERT_TRUE(v);
    EXPECT_EQ(std::get<std::int64_t>(*v), 42);
    test_support::run(ioc, next->close());
    EXPECT_LT(seconds_since(start), 4.0) << "waited for a connection that was never given back";
    EXPECT_EQ(pool.open_connections(), 1u);
}

}  // namespace
