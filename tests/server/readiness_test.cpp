// GET /ready against the test database, an unreachable one, and while stopping.

#include "server/readiness.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "database/database.hpp"
#include "server/application.hpp"
#include "support/env.hpp"
#include "support/run.hpp"

namespace {

TEST(readiness, says_whether_the_database_answers_and_the_process_goes_on) {
    struct row {
        const char* name;
        std::string url;
        bool stopping;
        unsigned status;
        const char* body;
    };
    const row table[] = {
        {"ready", test_support::database_url(), false, 200, R"({"status":"ready"})"},
        {"stopping", test_support::database_url(), true, 503, R"({"detail":"Not ready: shutting down"})"},
        {"database unreachable", "postgresql://postgres@127.0.0.1:1/gis", false, 503, R"({"detail":"Not ready: the database is unreachable"})"},
    };
    for (const auto& r : table) {
        boost::asio::io_context ioc;
        database::pool pool(ioc.get_executor(), {.url = r.url, .size = 1});
        server::application app;
        app.include_router(server::readiness_router(pool, [&] { return r.stopping; }));
        common::request req;
        req.target = "/ready";
        auto a = test_support::run(ioc, app.handle(req));
        EXPECT_EQ(a.status, r.status) << r.name;
        EXPECT_EQ(a.body, r.body) << r.name;
    }
}

}  // namespace
