// The transaction scope on a real PostgreSQL session whose COMMIT fails: a
// deferred unique constraint is checked only then.

#include "routers/vectile/transaction.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "endpoint_fixture.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using test_support::seconds_since;

// A table of this test with a unique constraint checked at COMMIT; dropped at the end.
class deferred_table {
public:
    deferred_table() : m_name("vtest_deferred_" + test_support::unique_suffix()) {
        vtest::pg_connection(test_support::database_url())
            .exec("CREATE TABLE " + m_name + " (id integer, CONSTRAINT " + m_name + "_id UNIQUE (id) DEFERRABLE INITIALLY DEFERRED)");
    }
    ~deferred_table() {
        try {
            vtest::pg_connection(test_support::database_url()).exec("DROP TABLE IF EXISTS " + m_name);
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
        co_await s.execute("INSERT INTO " + table.name() + " VALUES (1)");
        co_await s.execute("INSERT INTO " + table.name() + " VALUES (1)");  // accepted for now: the check is deferred
        body_finished = true;
        co_return 2;
    };
    try {
        (void)test_support::run(ioc, vectile::db_transaction(*session, body));
        ADD_FAILURE() << "the commit should have failed";
    } catch (const database::error& e) {
        EXPECT_EQ(e.sqlstate(), "23505") << e.what();
        EXPECT_NE(std::string(e.what()).find(table.name() + "_id"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(body_finished) << "the failure must come from the commit, not the body";

    EXPECT_EQ(vtest::pg_connection(test_support::database_url()).scalar("SELECT count(*) FROM " + table.name()), "0");
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
