// Session settings of the tile service's pool: what a pooled session reports,
// what each new connection ran before serving, and gisd opening connections
// at start-up, all observed on the PostgreSQL server.

#include <gtest/gtest.h>

#include <thread>

#include "endpoint_fixture.hpp"
#include "routers/vectile/sessions.hpp"
#include "support/gisd_process.hpp"
#include "support/run.hpp"

namespace {

using namespace std::chrono_literals;

struct jit_case {
    const char* name;
    bool jit;
    bool with_postgis;  // false: a database where the warm-up fails
};

class pool_sessions : public testing::TestWithParam<jit_case> {};

TEST_P(pool_sessions, report_the_service_jit_setting_and_survive_a_failed_warm_up) {
    const auto& c = GetParam();
    std::optional<vtest::scratch_database> bare;
    if (!c.with_postgis) bare.emplace();
    const std::string url = c.with_postgis ? test_support::database_url() : bare->conninfo();
    vtest::pg_connection plain(url);
    const std::string expected = c.jit ? plain.scalar("SHOW jit") : "off";

    boost::asio::io_context ioc;
    database::pool pool(ioc.get_executor(),
                        {.url = url, .size = 2, .setup = vectile::session_setup({.jit = c.jit, .warm_up = true})});
    auto show = [&]() -> boost::asio::awaitable<std::string> {
        auto session = pool.make_session();
        auto r = co_await session->execute("SHOW jit");
        co_await session->close();
        co_return std::get<std::string>(*r.scalar_one_or_none());
    };
    EXPECT_EQ(test_support::run(ioc, show()), expected);
    EXPECT_EQ(pool.open_connections(), 1u) << "the warm-up's failure must not cost the connection";
}

INSTANTIATE_TEST_SUITE_P(settings, pool_sessions,
                         testing::Values(jit_case{"jit_off_by_default", false, true}, jit_case{"jit_on_keeps_the_server_setting", true, true},
                                         jit_case{"without_postgis", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct start_case {
    const char* name;
    std::vector<std::string> args;
    const char* last_statement;  // of every connection opened at start, a prefix; "" for none
};

class gisd_pool_start : public testing::TestWithParam<start_case> {};

// The last statement of an idle connection is the last one of its set-up:
// the warm-up, else the JIT setting, else nothing.
TEST_P(gisd_pool_start, opens_the_minimum_in_the_background_each_set_up) {
    const auto& c = GetParam();
    const std::string app = "gisd_pool_" + test_support::unique_suffix();
    auto args = c.args;
    args.insert(args.end(), {"--db-pool-min", "3"});
    test_support::gisd_process gisd(args, {{"DATABASE_URL", vtest::conninfo_with(test_support::database_url(), {{"application_name", app}})},
                                           {"REDIS_HOST", test_support::redis_host()},
                                           {"REDIS_PORT", std::to_string(test_support::redis_port())}});
    ASSERT_TRUE(gisd.wait_listening()) << gisd.process().err();
    vtest::pg_connection observer(test_support::database_url());
    const std::string idle = "FROM pg_stat_activity WHERE application_name = " + vtest::literal(app) + " AND state = 'idle'";
    for (auto until = std::chrono::steady_clock::now() + 10s;
         observer.scalar("SELECT count(*) " + idle) != "3" && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(observer.scalar("SELECT count(*) " + idle), "3");
    for (const auto& row : observer.rows("SELECT query " + idle)) {
        EXPECT_TRUE(row[0].value_or("").starts_with(c.last_statement)) << row[0].value_or("");
        if (*c.last_statement == '\0') {
            EXPECT_EQ(row[0].value_or(""), "");
        }
    }
    EXPECT_TRUE(gisd.stop());
}

INSTANTIATE_TEST_SUITE_P(flags, gisd_pool_start,
                         testing::Values(start_case{"defaults", {}, "SELECT ST_AsMVT(t, 'warm_up'"},
                                         start_case{"no_warm_up", {"--db-warm-up", "off"}, "SET jit = off"},
                                         start_case{"server_jit_no_warm_up", {"--db-jit", "on", "--db-warm-up", "off"}, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
