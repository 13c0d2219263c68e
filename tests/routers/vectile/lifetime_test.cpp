// Work that outlives the call that started it holds the service it works on:
// each case drops the test's own share while the work is in flight, and the
// work still ends as it should (and, under ASan, without touching freed memory).

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "endpoint_fixture.hpp"
#include "routers/vectile/invalidation.hpp"
#include "routers/vectile/miss.hpp"
#include "routers/vectile/seeding.hpp"
#include "support/black_hole.hpp"
#include "support/log_capture.hpp"

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

class outliving_work : public vtest::endpoint_test {
protected:
    // Drops every share the test holds; true when the work kept the service
    // alive and then let it go within `limit`.
    bool kept_while_working(std::chrono::steady_clock::duration limit) {
        std::weak_ptr<vectile::service> alive = svc;
        app.reset();
        svc.reset();
        if (alive.expired()) return false;
        for (auto until = std::chrono::steady_clock::now() + limit; !alive.expired() && std::chrono::steady_clock::now() < until;) {
            test_support::run_for(ioc, 20ms);
        }
        return alive.expired();
    }

    bool logged(const std::string& part) const {
        const auto lines = logs.lines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }

    test_support::log_capture logs;
};

TEST_F(outliving_work, a_background_invalidation_on_a_redis_that_never_answers) {
    test_support::black_hole hole;
    start(test_support::database_url(), vectile::redis_settings{"127.0.0.1", hole.port(), 0});
    vectile::invalidate_all_cache(*svc);
    test_support::run_for(ioc, 50ms);
    EXPECT_TRUE(kept_while_working(15s));
    EXPECT_TRUE(logged("Background task failed to invalidate all cache")) << "the worker ran to its end";
}

TEST_F(outliving_work, a_shared_miss_that_renews_its_lock) {
    start_shared();
    const std::string key = "lifetime:" + app_name;
    own_key("mvt_v8:" + key);
    // Longer than a renewal period, so the renewal runs while nobody holds the service.
    vectile::tile_job job{.cache_key = key,
                          .ttl = 60,
                          .sql = "SELECT convert_to('tile', 'UTF8') FROM pg_sleep(1.5)",
                          .limit = 10s,
                          .texts = vectile::statement_texts::alike("timed out", "timed out", "failed", "failed")};
    auto db = pool->make_session();
    auto generation = vectile::generate_tile(*svc, std::move(job), *db);
    asio::co_spawn(ioc, std::move(generation), asio::detached);
    test_support::run_for(ioc, 100ms);
    EXPECT_TRUE(kept_while_working(15s));
    EXPECT_EQ(redis_get("mvt_v8:" + key).value_or(""), "tile");
    EXPECT_FALSE(redis_exists("lock:mvt_v8:" + key)) << "released by its owner";
}

TEST_F(outliving_work, a_seed_run) {
    start_shared();
    // About a hundred tiles one at a time: still running when the test lets go.
    vectile::seed_request request{.layers = {"plots"}, .zoom_min = 15, .zoom_max = 17,
                                  .bbox = vectile::degree_box{7.46, 9.05, 7.47, 9.06}, .concurrency = 1, .force = true};
    std::optional<vectile::seed_summary> summary;
    auto seeding = vectile::seed_tiles(*svc, request, {});
    asio::co_spawn(ioc, std::move(seeding), [&](std::exception_ptr, vectile::seed_summary s) { summary = s; });
    test_support::run_for(ioc, 20ms);
    EXPECT_TRUE(kept_while_working(60s));
    ASSERT_TRUE(summary);
    EXPECT_GT(summary->tiles, 0u);
    EXPECT_EQ(summary->done(), summary->tiles);
    EXPECT_EQ(summary->failed, 0u);
}

}  // namespace
