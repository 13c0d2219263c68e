// Concurrent misses of one tile share one statement: in a worker, and across
// gisd processes on one Redis. Statements are counted on the PostgreSQL
// server: the table is locked elsewhere, so every statement sent for the tile
// stays visible in pg_stat_activity, waiting for the lock.

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <thread>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>

#include "endpoint_fixture.hpp"
#include "support/gisd_process.hpp"
#include "support/http_client.hpp"
#include "support/redis_child.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::seconds_since;

struct shared_tile {
    const char* name;
    const char* table;
    std::string path;
    std::string key;
};

// Tiles of their own per test: other test processes share the Redis, and with it the tiles' locks.
shared_tile plots_tile(int x, int y) {
    const std::string id = "15/" + std::to_string(x) + "/" + std::to_string(y);
    return {"xyz", "PLOT", "/gis/plots/" + id + ".pbf", "mvt_v8:plots:15:" + std::to_string(x) + ":" + std::to_string(y)};
}
shared_tile box_tile(int minx) {
    const std::string x0 = std::to_string(minx), x1 = std::to_string(minx + 1000);
    return {"bbox", "PLOT", "/gis/plots/bbox/?minx=" + x0 + "&miny=1011000&maxx=" + x1 + "&maxy=1012000&srid=3857",
            "mvt_v8:bbox:plots:" + x0 + ":1011000:" + x1 + ":1012000:5000:True"};
}
const shared_tile xyz = plots_tile(17063, 15555);
const shared_tile bbox = box_tile(830500);
const shared_tile low_zoom{"low_zoom", "LGAs", "/gis/lgas/6/33/31.pbf", "mvt_v8:lgas:6:33:31"};

void PrintTo(const shared_tile& t, std::ostream* os) { *os << t.name; }

// Requests handled by the application at once, each of which can be abandoned.
class coalescing : public vtest::endpoint_test {
protected:
    struct pending {
        common::request req;  // borrowed by the handler while it runs
        boost::asio::cancellation_signal cancel;
        bool done = false;
        std::exception_ptr failure;
        common::response answer;
    };

    // Sets up a scratch copy of the tile's table, locked by `holder`, and the service on it.
    void start_locked(const shared_tile& t, const vectile::redis_settings& redis) {
        schema.emplace(std::vector<std::string>{t.table});
        holder.emplace(schema->conninfo());
        holder->exec(std::string("BEGIN; LOCK TABLE \"") + t.table + "\" IN ACCESS EXCLUSIVE MODE");
        start(schema->conninfo(), redis);
    }

    void spawn(const std::string& target, int n) {
        for (int i = 0; i < n; ++i) {
            auto& p = *requests.emplace_back(std::make_unique<pending>());
            p.req.target = target;
            boost::asio::co_spawn(ioc, app->handle(p.req), boost::asio::bind_cancellation_slot(p.cancel.slot(), [&p](std::exception_ptr e, common::response r) {
                                      p.done = true;
                                      p.failure = e;
                                      p.answer = flattened(std::move(r));
                                  }));
        }
    }

    void wait_all(std::chrono::steady_clock::duration limit) {
        for (auto& p : requests) test_support::run_until(ioc, p->done, limit);
    }

    long long waiting_for_lock() { return active_statements("wait_event_type = 'Lock'"); }

    std::optional<vtest::scratch_schema> schema;
    std::optional<vtest::pg_connection> holder;
    std::vector<std::unique_ptr<pending>> requests;
};

class coalesced_tile : public coalescing, public testing::WithParamInterface<shared_tile> {};

TEST_P(coalesced_tile, concurrent_misses_run_one_statement_and_share_its_bytes) {
    const auto& t = GetParam();
    start_locked(t, {test_support::redis_host(), test_support::redis_port(), 0});
    own_key(t.key);
    spawn(t.path, 5);
    test_support::run_for(ioc, 1500ms);
    EXPECT_EQ(waiting_for_lock(), 1);
    holder->exec("ROLLBACK");
    wait_all(20s);
    for (auto& p : requests) {
        ASSERT_FALSE(p->failure);
        EXPECT_EQ(p->answer.status, 200u);
        EXPECT_FALSE(p->answer.body.empty());
        EXPECT_TRUE(p->answer.body == requests[0]->answer.body);
    }
    EXPECT_TRUE(redis_get(t.key) == requests[0]->answer.body);
    EXPECT_EQ(svc->flights.in_flight(), 0u);
}

INSTANTIATE_TEST_SUITE_P(kinds, coalesced_tile, testing::Values(xyz, bbox), [](const auto& info) { return std::string(info.param.name); });

struct failure_case {
    const char* name;
    shared_tile tile;
    bool cancel_on_server;  // else the deadline passes
    unsigned status;
};

void PrintTo(const failure_case& c, std::ostream* os) { *os << c.name; }

class coalesced_failure : public coalescing, public testing::WithParamInterface<failure_case> {};

TEST_P(coalesced_failure, reaches_every_waiter_alike) {
    const auto& c = GetParam();
    start_locked(c.tile, {test_support::redis_host(), test_support::redis_port(), 0});
    own_key(c.tile.key);
    const auto started = std::chrono::steady_clock::now();
    spawn(c.tile.path, 3);
    test_support::run_for(ioc, 1500ms);
    ASSERT_EQ(waiting_for_lock(), 1);
    if (c.cancel_on_server) {
        vtest::pg_connection admin(test_support::database_url());
        admin.exec("SELECT pg_cancel_backend(pid) FROM pg_stat_activity WHERE application_name = " + vtest::literal(app_name) +
                   " AND wait_event_type = 'Lock'");
    }
    wait_all(20s);
    for (auto& p : requests) {
        ASSERT_FALSE(p->failure);
        EXPECT_EQ(p->answer.status, c.status);
        EXPECT_EQ(p->answer.body, requests[0]->answer.body);
    }
    if (!c.cancel_on_server) {
        EXPECT_LT(seconds_since(started), 11.0) << "the waiters share the first one's deadline";
    }
    EXPECT_TRUE(statements_gone_within(5s));
    holder->exec("ROLLBACK");
}

INSTANTIATE_TEST_SUITE_P(kinds, coalesced_failure,
                         testing::Values(failure_case{"database_error", plots_tile(17064, 15555), true, 500},
                                         failure_case{"bbox_database_error", box_tile(831500), true, 500},
                                         failure_case{"deadline", low_zoom, false, 408}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(coalescing, an_abandoned_waiter_leaves_and_the_last_one_leaving_cancels_the_statement) {
    const auto t = plots_tile(17063, 15556);
    start_locked(t, {test_support::redis_host(), test_support::redis_port(), 0});
    own_key(t.key);
    spawn(t.path, 2);
    test_support::run_for(ioc, 1500ms);
    ASSERT_EQ(waiting_for_lock(), 1);
    requests[0]->cancel.emit(boost::asio::cancellation_type::all);
    test_support::run_until(ioc, requests[0]->done, 5s);
    test_support::run_for(ioc, 500ms);
    EXPECT_FALSE(requests[1]->done);
    EXPECT_EQ(waiting_for_lock(), 1) << "the other waiter still wants the tile";
    requests[1]->cancel.emit(boost::asio::cancellation_type::all);
    test_support::run_until(ioc, requests[1]->done, 5s);
    EXPECT_TRUE(statements_gone_within(5s));
    EXPECT_EQ(svc->flights.in_flight(), 0u);
    holder->exec("ROLLBACK");
    auto r = get(t.path);
    EXPECT_EQ(r.status, 200u) << "a new request starts afresh";
}

// A request's read takes the lock of a missing tile for its generation; the
// generation may be dropped unstarted (one of the key was already in flight)
// or never asked for, and the lock must not then wait for its expiry.
TEST_F(coalescing, a_lock_taken_by_a_requests_read_is_given_up_unless_its_generation_takes_it) {
    const auto t = plots_tile(17065, 15557);
    start_locked(t, {test_support::redis_host(), test_support::redis_port(), 0});
    const std::string lock_key = own_key("lock:" + t.key);
    using kind = vectile::tile_lock::first_look::kind;
    for (const bool generation_takes_it : {false, true}) {
        auto lock = std::make_shared<vectile::tile_lock>(std::shared_ptr<redis::connection>(svc, &svc->redis_client), t.key);
        ASSERT_EQ(run(lock->read_or_take()).what, kind::taken);
        {
            vectile::miss_start start(ioc.get_executor(), lock, kind::taken);
            vectile::miss_start moved = std::move(start);
            if (generation_takes_it) {
                EXPECT_EQ(moved.take(), lock);
            }
        }
        test_support::run_for(ioc, 300ms);
        EXPECT_EQ(redis_exists(lock_key), generation_takes_it) << generation_takes_it;
        redis_del(lock_key);
    }
}

// A generation here waits for another process's lock; the moment that lock
// goes, a new request of the same tile reads. Were its read to take the lock,
// it would then join the waiting generation while holding it, and both would
// wait for its expiry.
TEST_F(coalescing, a_request_joining_a_waiting_generation_leaves_the_lock_to_it) {
    const auto t = plots_tile(17064, 15556);
    start_locked(t, {test_support::redis_host(), test_support::redis_port(), 0});
    holder->exec("ROLLBACK");
    own_key(t.key);
    const std::string lock_key = own_key("lock:" + t.key);
    redis_set(lock_key, "another-process", 10);
    // The change feed's first connection forgets every flight: open it first.
    for (int i = 0; i < 100 && !svc->tracking.live(); ++i) test_support::run_for(ioc, 20ms);
    spawn(t.path, 1);
    test_support::run_for(ioc, 450ms);  // waiting, between two polls 100 ms apart
    ASSERT_FALSE(requests[0]->done);
    redis_del(lock_key);
    const auto freed = std::chrono::steady_clock::now();
    spawn(t.path, 1);
    wait_all(10s);
    EXPECT_LT(seconds_since(freed), 1.5) << "the generation waited for a lock's expiry";
    for (auto& p : requests) {
        ASSERT_FALSE(p->failure);
        EXPECT_EQ(p->answer.status, 200u);
    }
}

TEST_F(coalescing, with_redis_stopped_concurrent_misses_still_share_one_statement) {
    test_support::redis_child redis;
    redis.stop();
    start_locked(xyz, {"127.0.0.1", redis.port(), 0});
    spawn(xyz.path, 3);
    test_support::run_for(ioc, 1500ms);
    EXPECT_EQ(waiting_for_lock(), 1);
    holder->exec("ROLLBACK");
    wait_all(20s);
    for (auto& p : requests) EXPECT_EQ(p->answer.status, 200u);
}

// ------------------------------------------------------------------ gisd processes sharing one Redis

class processes : public testing::Test {
protected:
    processes() : schema(std::vector<std::string>{"PLOT"}), holder(schema.conninfo()) {
        holder.exec("BEGIN; LOCK TABLE \"PLOT\" IN ACCESS EXCLUSIVE MODE");
    }

    std::unique_ptr<test_support::gisd_process> start_gisd(const std::string& app) {
        auto g = std::make_unique<test_support::gisd_process>(
            std::vector<std::string>{"--db-pool-min", "0"},
            std::map<std::string, std::optional<std::string>>{
                {"DATABASE_URL", vtest::conninfo_with(schema.conninfo(), {{"application_name", app}})},
                {"REDIS_HOST", "127.0.0.1"},
                {"REDIS_PORT", std::to_string(redis.port())}});
        auto port = g->wait_listening();
        if (!port) throw std::runtime_error("gisd did not start: " + g->process().err());
        ports.push_back(*port);
        return g;
    }

    std::future<test_support::http_reply> fetch(std::uint16_t port, std::string path = xyz.path) {
        return std::async(std::launch::async, [port, path] {
            test_support::http_client client(port, 30s);
            return client.get(path);
        });
    }

    long long waiting(const std::string& app) {
        return std::stoll(observer.scalar("SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND wait_event_type = 'Lock' AND "
                                          "application_name = " + vtest::literal(app)));
    }

    // Polls until `app` has `n` statements waiting; true when that happened within `limit`.
    bool waiting_within(const std::string& app, long long n, std::chrono::steady_clock::duration limit) {
        for (auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(20ms)) {
            if (waiting(app) == n) return true;
        }
        return waiting(app) == n;
    }

    test_support::redis_child redis;
    vtest::scratch_schema schema;
    vtest::pg_connection holder;
    vtest::pg_connection observer{test_support::database_url()};
    std::vector<std::uint16_t> ports;
    const std::string a = "gisd_a_" + test_support::unique_suffix(), b = "gisd_b_" + test_support::unique_suffix();
};

TEST_F(processes, two_on_one_redis_run_one_statement_for_one_tile) {
    auto first = start_gisd(a);
    auto second = start_gisd(b);
    // An empty tile is never stored: its waiters learn it from the lock, and
    // a request after the statement has ended runs the statement again.
    const struct {
        const char* name;
        std::string path;
        unsigned status;
    } table[] = {{"content", xyz.path, 200u}, {"empty", "/gis/plots/15/3/5.pbf", 204u}};
    for (const auto& t : table) {
        SCOPED_TRACE(t.name);
        std::vector<std::future<test_support::http_reply>> replies;
        for (int i = 0; i < 4; ++i) replies.push_back(fetch(ports[static_cast<std::size_t>(i % 2)], t.path));
        for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until && waiting(a) + waiting(b) == 0;
             std::this_thread::sleep_for(20ms)) {
        }
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(waiting(a) + waiting(b), 1);
        // A lock queued behind the statement catches any second statement
        // that starts once the first has ended.
        vtest::pg_connection queued(schema.conninfo());
        auto behind = std::async(std::launch::async, [&queued] { queued.exec("BEGIN; LOCK TABLE \"PLOT\" IN ACCESS EXCLUSIVE MODE"); });
        for (auto until = std::chrono::steady_clock::now() + 5s;
             std::chrono::steady_clock::now() < until && observer.scalar("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                                                                          "AND query LIKE 'BEGIN; LOCK%'") == "0";
             std::this_thread::sleep_for(20ms)) {
        }
        holder.exec("ROLLBACK");
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(waiting(a) + waiting(b), 0) << "a second statement after the first";
        behind.get();
        queued.exec("ROLLBACK");
        std::string body;
        for (auto& r : replies) {
            auto reply = r.get();
            EXPECT_EQ(reply.status, t.status);
            if (body.empty()) body = reply.body;
            EXPECT_TRUE(reply.body == body);
        }
        holder.exec("BEGIN; LOCK TABLE \"PLOT\" IN ACCESS EXCLUSIVE MODE");
    }
    auto again = fetch(ports[1], table[1].path);
    EXPECT_TRUE(waiting_within(b, 1, 5s)) << "an empty tile's statement runs again for a later request";
    holder.exec("ROLLBACK");
    EXPECT_EQ(again.get().status, 204u);
}

TEST_F(processes, a_lock_owner_killed_leaves_the_others_to_generate_after_the_lock_expires) {
    auto owner = start_gisd(a);
    auto other = start_gisd(b);
    auto lost = fetch(ports[0]);
    ASSERT_TRUE(waiting_within(a, 1, 5s));
    const auto asked = std::chrono::steady_clock::now();
    auto reply = fetch(ports[1]);
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(waiting(b), 0) << "the owner is alive: the other waits for its tile";
    owner->process().signal(SIGKILL);
    owner->process().wait(5s);
    EXPECT_TRUE(waiting_within(b, 1, 5s)) << "the lock expired: the other generates";
    EXPECT_GE(seconds_since(asked), 1.5);
    holder.exec("ROLLBACK");
    auto r = reply.get();
    EXPECT_EQ(r.status, 200u);
    EXPECT_LT(seconds_since(asked), 10.0);
    try {
        lost.get();
    } catch (const std::exception&) {
    }
}

}  // namespace
