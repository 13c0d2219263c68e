// GET /gis/{layer}/{z}/{x}/{y}.pbf through the host application, against the
// demo cadastre and Redis: decoded tiles, the cache, the order of the checks,
// and failures injected with a held lock, a scratch database and a stopped
// Redis.
//
// Each test uses tiles of its own: ctest runs test processes side by side
// against the same shared Redis.

#include <gtest/gtest.h>

#include <csignal>
#include <ostream>

#include <algorithm>
#include <set>

#include <future>

#include <boost/asio/co_spawn.hpp>
#include <thread>

#include "endpoint_fixture.hpp"
#include "support/black_hole.hpp"
#include "support/gisd_process.hpp"
#include "support/http_client.hpp"
#include "support/log_capture.hpp"
#include "support/redis_child.hpp"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::ordered_json;
using test_support::log_capture;
using test_support::seconds_since;
using vtest::endpoint_test;

std::string detail(const std::string& text) { return json({{"detail", text}}).dump(); }

struct tile_id {
    const char* layer;
    int z, x, y;
    std::string path() const {
        return std::string("/gis/") + layer + "/" + std::to_string(z) + "/" + std::to_string(x) + "/" + std::to_string(y) + ".pbf";
    }
    std::string key() const {
        return std::string("mvt_v8:") + layer + ":" + std::to_string(z) + ":" + std::to_string(x) + ":" + std::to_string(y);
    }
    std::string slashed() const {
        return std::string(layer) + "/" + std::to_string(z) + "/" + std::to_string(x) + "/" + std::to_string(y);
    }
};

struct layer_sql {
    const char* table;
    const char* id_col;
    const char* geom_col;
};

layer_sql sql_names(const std::string& layer) {
    if (layer == "plots") return {"\"PLOT\"", "\"ID\"", "\"GEOMETRY_3857\""};
    if (layer == "beacons") return {"\"BEACON\"", "\"ID\"", "\"GEOMETRY_3857\""};
    if (layer == "cadzones") return {"\"CadZones\"", "\"id\"", "\"geometry_3857\""};
    if (layer == "districts") return {"\"Districts\"", "\"id\"", "\"geometry_3857\""};
    return {"\"LGAs\"", "\"id\"", "\"geometry_3857\""};
}

class xyz_tiles : public endpoint_test {
protected:
    // Ids of the layer's rows that the tile's filter selects (exact intersection above zoom 6).
    std::set<long long> ids_in_tile(const tile_id& t, const std::string& order_and_limit = "") {
        auto n = sql_names(t.layer);
        const std::string env = "ST_TileEnvelope(" + std::to_string(t.z) + ", " + std::to_string(t.x) + ", " + std::to_string(t.y) + ")";
        std::string filter = std::string(n.geom_col) + " && " + env;
        if (t.z > 6) filter += std::string(" AND ST_Intersects(") + n.geom_col + ", " + env + ")";
        vtest::pg_connection pg(test_support::database_url());
        std::set<long long> out;
        for (const auto& row : pg.rows(std::string("SELECT ") + n.id_col + " FROM " + n.table + " WHERE " + filter + " " + order_and_limit)) {
            out.insert(std::stoll(*row[0]));
        }
        return out;
    }
};

// ------------------------------------------------------------------ tile contents

struct content_case {
    tile_id tile;
    std::vector<std::string> properties;  // unquoted column names
    const char* id_property;
    int buffer;
    std::size_t limit;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const content_case& c, std::ostream* os) { *os << c.tile.slashed(); }

class xyz_tile_content : public xyz_tiles, public testing::WithParamInterface<content_case> {};

TEST_P(xyz_tile_content, is_one_layer_named_after_the_registry_key_with_its_properties_and_clipped_geometry) {
    const auto& c = GetParam();
    start_shared();
    own_key(c.tile.key());
    auto r = get(c.tile.path());
    ASSERT_EQ(r.status, 200u) << r.body;
    EXPECT_EQ(r.media_type, "application/vnd.mapbox-vector-tile");

    auto layers = vtest::decode_tile(r.body);
    ASSERT_EQ(layers.size(), 1u);
    const auto& layer = layers[0];
    EXPECT_EQ(layer.name, c.tile.layer);
    EXPECT_EQ(layer.extent, 4096u);
    EXPECT_EQ(layer.version, 2u);

    std::set<std::string> expected_keys(c.properties.begin(), c.properties.end());
    expected_keys.insert("feature_id");
    EXPECT_EQ(std::set<std::string>(layer.keys.begin(), layer.keys.end()), expected_keys);

    const auto selected = ids_in_tile(c.tile);
    ASSERT_FALSE(layer.features.empty());
    EXPECT_LE(layer.features.size(), c.limit);
    EXPECT_LE(layer.features.size(), selected.size());
    std::int64_t lowest = 0, highest = 4096;
    for (const auto& f : layer.features) {
        ASSERT_TRUE(f.attributes.count("feature_id"));
        ASSERT_TRUE(f.attributes.count(c.id_property));
        EXPECT_EQ(f.attributes.at("feature_id").text, f.attributes.at(c.id_property).text) << "feature_id repeats the identifier";
        EXPECT_TRUE(selected.count(std::stoll(f.attributes.at("feature_id").text))) << "feature " << f.attributes.at("feature_id").text
                                                                                      << " does not touch the tile";
        ASSERT_FALSE(f.vertices.empty());
        for (const auto& p : f.vertices) {
            lowest = std::min({lowest, p.x, p.y});
            highest = std::max({highest, p.x, p.y});
        }
    }
    EXPECT_GE(lowest, -c.buffer) << "geometry reaches beyond the buffer";
    EXPECT_LE(highest, 4096 + c.buffer) << "geometry reaches beyond the buffer";
}

const std::vector<std::string> plot_properties{"ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no"};

INSTANTIATE_TEST_SUITE_P(
    layers, xyz_tile_content,
    testing::Values(content_case{{"plots", 14, 8531, 7778}, plot_properties, "ID", 16, 1500},
                    content_case{{"beacons", 16, 34128, 31111}, {"ID", "BEACON_NO", "STATUS", "REMARK"}, "ID", 8, 3000},
                    content_case{{"cadzones", 7, 66, 60}, {"id", "name", "district_id"}, "id", 256, 3000},
                    content_case{{"districts", 7, 66, 60}, {"id", "name", "lga_id"}, "id", 256, 3000},
                    // The demo areas are a few kilometres wide: coarser zooms simplify them away.
                    content_case{{"lgas", 6, 33, 30}, {"id", "name"}, "id", 256, 2000}),
    [](const testing::TestParamInfo<content_case>& info) { return std::string(info.param.tile.layer); });

TEST_F(xyz_tiles, features_crossing_the_edge_are_cut_at_the_zooms_buffer) {
    // At zoom 14 plots straddle the tile edges; clipping cuts them exactly at -16 or 4096 + 16.
    start_shared();
    const tile_id t{"plots", 14, 8532, 7777};
    own_key(t.key());
    auto r = get(t.path());
    ASSERT_EQ(r.status, 200u);
    auto layers = vtest::decode_tile(r.body);
    ASSERT_EQ(layers.size(), 1u);
    int on_buffer_edge = 0;
    for (const auto& f : layers[0].features) {
        for (const auto& p : f.vertices) {
            EXPECT_TRUE(p.x >= -16 && p.x <= 4112 && p.y >= -16 && p.y <= 4112) << p.x << "," << p.y;
            if (p.x == -16 || p.x == 4112 || p.y == -16 || p.y == 4112) ++on_buffer_edge;
        }
    }
    EXPECT_GT(on_buffer_edge, 0) << "no geometry was cut at the buffer";
}

struct limit_case {
    tile_id tile;
    std::size_t limit;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const limit_case& c, std::ostream* os) { *os << c.tile.slashed(); }

class xyz_feature_limit : public xyz_tiles, public testing::WithParamInterface<limit_case> {};

TEST_P(xyz_feature_limit, keeps_only_the_largest_features) {
    const auto& c = GetParam();
    start_shared();
    const auto all = ids_in_tile(c.tile);
    ASSERT_GT(all.size(), c.limit) << "the demo cadastre should overflow this tile";
    const auto largest = ids_in_tile(c.tile, "ORDER BY ST_Area(\"GEOMETRY_3857\") DESC LIMIT " + std::to_string(c.limit));

    own_key(c.tile.key());
    auto r = get(c.tile.path());
    ASSERT_EQ(r.status, 200u);
    auto layers = vtest::decode_tile(r.body);
    ASSERT_EQ(layers.size(), 1u);
    const auto& features = layers[0].features;
    EXPECT_LE(features.size(), c.limit);
    // Rows whose clipped geometry collapses are dropped after the limit, so a few may be missing.
    EXPECT_GE(features.size(), c.limit * 9 / 10);
    int outside = 0;
    for (const auto& f : features) {
        if (!largest.count(std::stoll(f.attributes.at("feature_id").text))) ++outside;
    }
    EXPECT_EQ(outside, 0) << "features other than the " << c.limit << " largest were kept";
}

INSTANTIATE_TEST_SUITE_P(zooms, xyz_feature_limit,
                         testing::Values(limit_case{{"plots", 9, 266, 243}, 1200}, limit_case{{"plots", 11, 1066, 972}, 1500}),
                         [](const testing::TestParamInfo<limit_case>& info) { return "zoom_" + std::to_string(info.param.tile.z); });

// ------------------------------------------------------------------ cache

struct cache_case {
    tile_id tile;
    int ttl;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const cache_case& c, std::ostream* os) { *os << c.tile.slashed(); }

class xyz_cache : public xyz_tiles, public testing::WithParamInterface<cache_case> {};

TEST_P(xyz_cache, miss_stores_the_tile_for_the_zooms_lifetime_and_hit_serves_it) {
    const auto& c = GetParam();
    start_shared();
    own_key(c.tile.key());

    auto miss = get(c.tile.path());
    ASSERT_EQ(miss.status, 200u) << miss.body;
    EXPECT_EQ(miss.media_type, "application/vnd.mapbox-vector-tile");
    EXPECT_TRUE(miss.headers.empty()) << "a generated tile has no X-Cache and no Cache-Control";
    EXPECT_EQ(counts.statements, 1);
    EXPECT_TRUE(redis_get(c.tile.key()) == miss.body) << "the stored bytes are the tile's bytes";
    const auto ttl = redis_ttl(c.tile.key());
    EXPECT_GT(ttl, c.ttl - 30);
    EXPECT_LE(ttl, c.ttl);

    auto hit = get(c.tile.path());
    ASSERT_EQ(hit.status, 200u);
    EXPECT_EQ(hit.media_type, "application/vnd.mapbox-vector-tile");
    EXPECT_EQ(header(hit, "X-Cache"), "HIT");
    EXPECT_EQ(header(hit, "Cache-Control"), "public, max-age=" + std::to_string(c.ttl));
    EXPECT_EQ(hit.headers.size(), 2u);
    EXPECT_TRUE(hit.body == miss.body);
    EXPECT_EQ(counts.statements, 1) << "a hit does not touch the database";
}

INSTANTIATE_TEST_SUITE_P(lifetimes, xyz_cache,
                         testing::Values(cache_case{{"cadzones", 8, 133, 121}, 7200}, cache_case{{"plots", 10, 533, 486}, 7200},
                                         cache_case{{"districts", 11, 1066, 972}, 1800}, cache_case{{"plots", 12, 2132, 1944}, 1800},
                                         cache_case{{"beacons", 13, 4265, 3889}, 1800}),
                         [](const testing::TestParamInfo<cache_case>& info) {
                             return std::string(info.param.tile.layer) + "_" + std::to_string(info.param.tile.z);
                         });

struct cached_value_case {
    const char* name;
    tile_id tile;
    std::optional<std::string> cached;  // nothing: no entry
    bool served_from_cache;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const cached_value_case& c, std::ostream* os) { *os << c.name; }

class xyz_cached_value : public xyz_tiles, public testing::WithParamInterface<cached_value_case> {};

TEST_P(xyz_cached_value, is_served_verbatim_unless_absent_or_empty) {
    const auto& c = GetParam();
    start_shared();
    own_key(c.tile.key());
    if (c.cached) redis_set(c.tile.key(), *c.cached);
    auto r = get(c.tile.path());
    ASSERT_EQ(r.status, 200u);
    if (c.served_from_cache) {
        EXPECT_TRUE(r.body == *c.cached) << "cached bytes must pass unchanged";
        EXPECT_EQ(header(r, "X-Cache"), "HIT");
        EXPECT_EQ(counts.statements, 0);
    } else {
        EXPECT_EQ(vtest::decode_tile(r.body).at(0).name, "plots");
        EXPECT_EQ(header(r, "X-Cache"), std::nullopt);
        EXPECT_EQ(counts.statements, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    entries, xyz_cached_value,
    testing::Values(cached_value_case{"absent", {"plots", 13, 4265, 3888}, std::nullopt, false},
                    cached_value_case{"empty_counts_as_a_miss", {"plots", 13, 4266, 3888}, std::string(), false},
                    cached_value_case{"binary_bytes", {"plots", 13, 4266, 3889}, std::string("\x00\xff\x1a\r\nnot a tile\xc3", 17), true}),
    [](const testing::TestParamInfo<cached_value_case>& info) { return std::string(info.param.name); });

TEST_F(xyz_tiles, empty_tile_is_204_every_time_and_never_cached) {
    start_shared();
    const tile_id t{"plots", 14, 0, 0};
    own_key(t.key());
    log_capture log;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        auto r = get(t.path());
        EXPECT_EQ(r.status, 204u);
        EXPECT_TRUE(r.body.empty());
        EXPECT_TRUE(r.headers.empty());
        EXPECT_FALSE(redis_exists(t.key()));
        EXPECT_EQ(counts.statements, attempt) << "nothing cached, so the statement runs again";
    }
    auto lines = log.lines_starting("info [vectile] Empty tile generated for plots/14/0/0 - bbox: {");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"minx\":-20037508.34"), std::string::npos) << lines[0];
}

// ------------------------------------------------------------------ checks before any work

struct refusal_case {
    const char* name;
    const char* target;
    unsigned status;
    const char* detail;  // nullptr: no body
    std::vector<std::string> info_lines;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const refusal_case& c, std::ostream* os) { *os << c.name; }

class xyz_refusal : public xyz_tiles, public testing::WithParamInterface<refusal_case> {};

TEST_P(xyz_refusal, answers_without_cache_or_database) {
    const auto& c = GetParam();
    test_support::black_hole redis;  // any cache access would connect here
    start(test_support::database_url(), vectile::redis_settings{"127.0.0.1", redis.port(), 0});
    log_capture log;
    auto r = get(c.target);
    EXPECT_EQ(r.status, c.status);
    if (c.detail != nullptr) {
        EXPECT_EQ(r.body, detail(c.detail));
    } else {
        EXPECT_TRUE(r.body.empty());
        EXPECT_TRUE(r.headers.empty());
    }
    EXPECT_EQ(log.lines(), c.info_lines);
    EXPECT_EQ(counts.statements, 0);
    EXPECT_EQ(redis.accepted(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    order_of_checks, xyz_refusal,
    testing::Values(
        refusal_case{"unknown_layer", "/gis/roads/10/0/0.pbf", 404, "Layer 'roads' not found", {}},
        refusal_case{"unknown_layer_before_coordinates", "/gis/roads/0/0/0.pbf", 404, "Layer 'roads' not found", {}},
        refusal_case{"layer_names_are_case_sensitive", "/gis/Plots/14/8531/7778.pbf", 404, "Layer 'Plots' not found", {}},
        refusal_case{"zoom_0", "/gis/plots/0/0/0.pbf", 400, "Invalid tile coordinates: z=0, x=0, y=0", {}},
        refusal_case{"zoom_21", "/gis/plots/21/0/0.pbf", 400, "Invalid tile coordinates: z=21, x=0, y=0", {}},
        refusal_case{"x_is_two_to_the_zoom", "/gis/plots/3/8/0.pbf", 400, "Invalid tile coordinates: z=3, x=8, y=0", {}},
        refusal_case{"y_is_two_to_the_zoom", "/gis/plots/14/0/16384.pbf", 400, "Invalid tile coordinates: z=14, x=0, y=16384", {}},
        refusal_case{"negative_x", "/gis/plots/14/-1/0.pbf", 400, "Invalid tile coordinates: z=14, x=-1, y=0", {}},
        refusal_case{"coordinates_checked_before_the_minimum_zoom", "/gis/beacons/3/8/0.pbf", 400,
                     "Invalid tile coordinates: z=3, x=8, y=0", {}},
        refusal_case{"below_minimum_with_suggestions",
                     "/gis/plots/5/10/15.pbf",
                     204,
                     nullptr,
                     {"info [vectile] Layer plots not available at zoom 5: Layer plots not available at zoom level 5",
                      "info [vectile] Try these layers at zoom 5: ['cadzones', 'districts', 'lgas']"}},
        refusal_case{"highest_valid_x_y_pass_the_check",
                     "/gis/plots/3/7/7.pbf",
                     204,
                     nullptr,
                     {"info [vectile] Layer plots not available at zoom 3: Layer plots not available at zoom level 3",
                      "info [vectile] Try these layers at zoom 3: ['districts', 'lgas']"}},
        refusal_case{"below_minimum_above_zoom_6_has_no_suggestions",
                     "/gis/beacons/10/500/500.pbf",
                     204,
                     nullptr,
                     {"info [vectile] Layer beacons not available at zoom 10: Layer beacons not available at zoom level 10"}},
        refusal_case{"below_minimum_with_no_layer_to_suggest",
                     "/gis/cadzones/1/0/0.pbf",
                     204,
                     nullptr,
                     {"info [vectile] Layer cadzones not available at zoom 1: Layer cadzones not available at zoom level 1"}},
        refusal_case{"below_minimum_at_zoom_6",
                     "/gis/beacons/6/33/30.pbf",
                     204,
                     nullptr,
                     {"info [vectile] Layer beacons not available at zoom 6: Layer beacons not available at zoom level 6",
                      "info [vectile] Try these layers at zoom 6: ['cadzones', 'districts', 'lgas']"}}),
    [](const testing::TestParamInfo<refusal_case>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ failures

TEST_F(xyz_tiles, statement_held_by_a_lock_times_out_is_cancelled_and_leaves_the_pool_usable) {
    // A copy of LGAs in a schema of this test, so that the lock disturbs nobody else.
    vtest::scratch_schema schema({"LGAs"});
    start(schema.conninfo(), vectile::redis_settings{test_support::redis_host(), test_support::redis_port(), 0});
    const tile_id t{"lgas", 5, 16, 15};
    own_key(t.key());
    vtest::pg_connection holder(schema.conninfo());
    holder.exec("BEGIN; LOCK TABLE \"LGAs\" IN ACCESS EXCLUSIVE MODE");

    log_capture log;
    auto [answer, elapsed] = get_blocked(t.path(), 40s);

    EXPECT_EQ(answer.status, 408u);
    EXPECT_EQ(answer.body, detail("Tile generation timeout at zoom 5"));
    EXPECT_GE(elapsed, 9.5);
    EXPECT_LT(elapsed, 20.0);
    EXPECT_TRUE(statements_gone_within(1s)) << "the abandoned statement is still running";
    EXPECT_EQ(log.lines_starting("error [vectile]"), std::vector<std::string>{"error [vectile] Timeout generating tile lgas/5/16/15"});
    EXPECT_FALSE(redis_exists(t.key())) << "nothing is cached after a time-out";

    holder.exec("ROLLBACK");
    auto start_next = std::chrono::steady_clock::now();
    auto next = get(t.path());
    EXPECT_EQ(next.status, 200u);
    EXPECT_LT(seconds_since(start_next), 9.0);
    EXPECT_EQ(vtest::decode_tile(next.body).at(0).name, "lgas");
    EXPECT_LE(pool->open_connections(), 2u);
}

// A backend terminated while its statement waits (an administrator, a failover)
// loses only that connection: the statement runs again on a fresh one.
TEST_F(xyz_tiles, a_statement_whose_backend_is_terminated_runs_again_on_a_fresh_connection) {
    vtest::scratch_schema schema({"LGAs"});
    start(schema.conninfo(), vectile::redis_settings{test_support::redis_host(), test_support::redis_port(), 0});
    const tile_id t{"lgas", 7, 66, 60};
    own_key(t.key());
    vtest::pg_connection holder(schema.conninfo());
    holder.exec("BEGIN; LOCK TABLE \"LGAs\" IN ACCESS EXCLUSIVE MODE");
    common::request req;
    req.method = boost::beast::http::verb::get;
    req.target = t.path();
    std::optional<common::response> answer;
    boost::asio::co_spawn(ioc, app->handle(req), [&](std::exception_ptr, common::response r) { answer = flattened(std::move(r)); });
    for (auto until = std::chrono::steady_clock::now() + 5s;
         active_statements("wait_event_type = 'Lock'") == 0 && std::chrono::steady_clock::now() < until;) {
        test_support::run_for(ioc, 20ms);
    }
    vtest::pg_connection(test_support::database_url())
        .exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = " + vtest::literal(app_name) +
              " AND wait_event_type = 'Lock'");
    test_support::run_for(ioc, 300ms);
    holder.exec("ROLLBACK");
    for (auto until = std::chrono::steady_clock::now() + 20s; !answer && std::chrono::steady_clock::now() < until;) {
        test_support::run_for(ioc, 20ms);
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200u) << answer->body;
    EXPECT_EQ(vtest::decode_tile(answer->body).at(0).name, "lgas");
}

// gisd stopped while a statement waits for a lock: past the grace, the
// statement is cancelled on the server before the process exits. A tile no
// other test asks for: processes on one Redis share a tile's statement.
TEST_F(xyz_tiles, a_stop_past_its_grace_leaves_no_statement_running) {
    vtest::scratch_schema schema({"LGAs"});
    vtest::pg_connection holder(schema.conninfo());
    holder.exec("BEGIN; LOCK TABLE \"LGAs\" IN ACCESS EXCLUSIVE MODE");
    const std::string app = "gisd_stop_" + test_support::unique_suffix();
    test_support::gisd_process gisd({"--shutdown-grace", "1"},
                                    {{"DATABASE_URL", vtest::conninfo_with(schema.conninfo(), {{"application_name", app}})},
                                     {"REDIS_HOST", test_support::redis_host()},
                                     {"REDIS_PORT", std::to_string(test_support::redis_port())}});
    auto port = gisd.wait_listening();
    ASSERT_TRUE(port) << gisd.process().err();
    auto reply = std::async(std::launch::async, [p = *port] {
        try {
            return test_support::http_request(p, boost::beast::http::verb::get, "/gis/lgas/5/17/15.pbf").status;
        } catch (const std::exception&) {
            return 0u;  // the connection closes without an answer
        }
    });
    vtest::pg_connection observer(test_support::database_url());
    // Waiting for the lock: the pool's connections opened at start may be setting up meanwhile.
    const std::string waiting = "SELECT count(*) FROM pg_stat_activity WHERE application_name = " + vtest::literal(app) +
                                " AND state = 'active' AND wait_event_type = 'Lock'";
    for (auto until = std::chrono::steady_clock::now() + 5s; observer.scalar(waiting) == "0" && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(observer.scalar(waiting), "1") << "the tile's statement should be waiting for the lock";
    auto status = gisd.stop(10s);
    ASSERT_TRUE(status.has_value());
    reply.get();
    // Still holding the lock: a statement left running would still be waiting for it.
    for (auto until = std::chrono::steady_clock::now() + 2s; observer.scalar(waiting) != "0" && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(observer.scalar(waiting), "0");
    holder.exec("ROLLBACK");
}

TEST_F(xyz_tiles, database_failure_is_500_logged_and_not_cached) {
    vtest::scratch_database empty;  // no PLOT table there
    start(empty.conninfo(), vectile::redis_settings{test_support::redis_host(), test_support::redis_port(), 0});
    const tile_id t{"plots", 14, 8532, 7778};
    own_key(t.key());
    log_capture log;
    for (int attempt = 1; attempt <= 2; ++attempt) {  // the second proves the pool survived the first
        auto r = get(t.path());
        EXPECT_EQ(r.status, 500u);
        EXPECT_EQ(r.body, detail("Database error"));
    }
    auto errors = log.lines_starting("error [vectile]");
    ASSERT_EQ(errors.size(), 2u);
    for (const auto& line : errors) {
        EXPECT_TRUE(line.starts_with("error [vectile] Database error for tile plots/14/8532/7778: ")) << line;
        EXPECT_NE(line.find("does not exist"), std::string::npos) << line;
    }
    EXPECT_FALSE(redis_exists(t.key()));
}

TEST_F(xyz_tiles, redis_stopped_tiles_still_come_from_the_database_with_a_warning_per_cache_call) {
    test_support::redis_child redis;
    redis.stop();
    start(test_support::database_url(), vectile::redis_settings{"127.0.0.1", redis.port(), 0});
    log_capture log;
    const tile_id t{"plots", 14, 8531, 7777};
    for (int attempt = 1; attempt <= 2; ++attempt) {
        auto r = get(t.path());
        ASSERT_EQ(r.status, 200u);
        EXPECT_TRUE(r.headers.empty()) << "no X-Cache header without a cache";
        EXPECT_EQ(vtest::decode_tile(r.body).at(0).name, "plots");
    }
    EXPECT_EQ(counts.statements, 2);
    EXPECT_EQ(log.lines_starting("warning [vectile] Cache get failed for plots:14:8531:7777: ").size(), 2u);
    EXPECT_EQ(log.lines_starting("warning [vectile] Cache set failed for plots:14:8531:7777: ").size(), 2u);
    EXPECT_EQ(log.lines_starting("warning").size(), 4u);
}

TEST_F(xyz_tiles, redis_frozen_holds_a_miss_no_longer_than_its_bounded_read_and_write) {
    test_support::redis_child redis;
    vectile::redis_settings settings{"127.0.0.1", redis.port(), 0};
    settings.memory_cache_mb = 0;
    start(test_support::database_url(), settings);
    get("/gis/plots/14/8531/7778.pbf");  // connected before the freeze
    ::kill(redis.pid(), SIGSTOP);
    struct resume {
        pid_t pid;
        ~resume() { ::kill(pid, SIGCONT); }
    } resume_redis{redis.pid()};
    log_capture log;
    const auto start_time = std::chrono::steady_clock::now();
    auto r = get("/gis/plots/14/8532/7777.pbf");
    const double elapsed = seconds_since(start_time);
    EXPECT_EQ(r.status, 200u);
    // One second for the read, one for the write, and the statement: well
    // under the five-second socket time-out that used to hold the answer.
    EXPECT_GE(elapsed, 2.0);
    EXPECT_LT(elapsed, 4.0);
    EXPECT_EQ(log.lines_starting("warning [vectile] Cache set failed for plots:14:8532:7777: ").size(), 1u);
}

}  // namespace

namespace {

// ------------------------------------------------------------------ the worker's copies of hot tiles

class xyz_tile_copies : public xyz_tiles {
protected:
    // GET calls the Redis server has answered so far.
    long long redis_gets() {
        std::vector<std::string_view> argv{"INFO", "commandstats"};
        auto info = run(redis_side().command(std::move(argv))).str;
        auto at = info.find("cmdstat_get:calls=");
        return at == std::string::npos ? 0 : std::stoll(info.substr(at + 18));
    }
    // Redis reports a change a moment after it answers the client that made
    // it: lets the loop turn until the copy of `key` is gone.
    bool copy_dropped_within(const std::string& key, std::chrono::steady_clock::duration limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (svc->memory->find(key) && std::chrono::steady_clock::now() < deadline) {
            svc->tracking.live();
            test_support::run_for(ioc, 1ms);
        }
        return !svc->memory->find(key);
    }
    bool feed_live_within(std::chrono::steady_clock::duration limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!svc->tracking.live() && std::chrono::steady_clock::now() < deadline) test_support::run_for(ioc, 20ms);
        return svc->tracking.live();
    }
};

TEST_F(xyz_tile_copies, are_served_without_redis_only_while_redis_holds_the_same_bytes) {
    test_support::redis_child redis;
    start(test_support::database_url(), vectile::redis_settings{"127.0.0.1", redis.port(), 0});
    const tile_id t{"plots", 14, 8531, 7777};  // a private Redis: no other test shares its keys
    ASSERT_TRUE(feed_live_within(5s));

    redis_set(t.key(), "first");
    EXPECT_EQ(get(t.path()).body, "first");
    const auto gets = redis_gets();
    for (int i = 0; i < 3; ++i) {
        auto r = get(t.path());
        EXPECT_EQ(r.body, "first");
        EXPECT_EQ(header(r, "X-Cache"), "HIT");
        EXPECT_EQ(header(r, "Cache-Control"), "public, max-age=1800");
    }
    EXPECT_EQ(redis_gets(), gets) << "a kept copy costs no Redis read";

    // Another writer replaces the bytes: the next answer has the new ones.
    redis_set(t.key(), "second");
    ASSERT_TRUE(copy_dropped_within(t.key(), 2s));
    EXPECT_EQ(get(t.path()).body, "second");

    // Another client deletes the tile: the next request generates it.
    redis_del(t.key());
    ASSERT_TRUE(copy_dropped_within(t.key(), 2s));
    auto miss = get(t.path());
    ASSERT_EQ(miss.status, 200u);
    EXPECT_EQ(header(miss, "X-Cache"), std::nullopt);
    EXPECT_EQ(vtest::decode_tile(miss.body).at(0).name, "plots");
    EXPECT_EQ(counts.statements, 1);
    auto hit = get(t.path());
    EXPECT_EQ(header(hit, "X-Cache"), "HIT");
    EXPECT_TRUE(hit.body == miss.body);

    // A flush drops every copy.
    std::vector<std::string_view> flush{"FLUSHALL"};
    run(redis_side().command(std::move(flush)));
    ASSERT_TRUE(copy_dropped_within(t.key(), 2s));
    EXPECT_EQ(header(get(t.path()), "X-Cache"), std::nullopt);
    EXPECT_EQ(counts.statements, 2);
}

TEST_F(xyz_tile_copies, are_dropped_with_the_feed_and_not_served_while_redis_is_gone) {
    test_support::redis_child redis;
    start(test_support::database_url(), vectile::redis_settings{"127.0.0.1", redis.port(), 0});
    const tile_id t{"plots", 14, 8532, 7777};
    ASSERT_TRUE(feed_live_within(5s));
    redis_set(t.key(), "cached");
    EXPECT_EQ(get(t.path()).body, "cached");
    EXPECT_EQ(svc->memory->size(), 1u);

    redis.stop();
    auto r = get(t.path());
    ASSERT_EQ(r.status, 200u);
    EXPECT_EQ(header(r, "X-Cache"), std::nullopt) << "without Redis there is no cache, kept copies included";
    EXPECT_EQ(vtest::decode_tile(r.body).at(0).name, "plots");
    EXPECT_EQ(svc->memory->size(), 0u);
}

TEST_F(xyz_tile_copies, a_read_still_out_when_the_service_goes_leaves_nothing_behind) {
    test_support::redis_child redis;
    start(test_support::database_url(), vectile::redis_settings{"127.0.0.1", redis.port(), 0});
    const tile_id t{"plots", 14, 8532, 7778};
    ASSERT_TRUE(feed_live_within(5s));
    ::kill(redis.pid(), SIGSTOP);  // the read below gets no answer
    struct resume {
        pid_t pid;
        ~resume() { ::kill(pid, SIGCONT); }
    } resume_redis{redis.pid()};
    common::request req;
    req.target = t.path();
    bool done = false;
    boost::asio::co_spawn(ioc, app->handle(req), [&](std::exception_ptr, common::response) { done = true; });
    test_support::run_for(ioc, 100ms);
    ASSERT_FALSE(done) << "the request should be waiting for Redis";
    // The service goes while the request is suspended in its cache read; the
    // read's frame is destroyed with the loop, after the service (under the
    // sanitizers, a touch of the freed copies fails here).
    stop();
}

TEST_F(xyz_tile_copies, are_not_kept_when_turned_off) {
    test_support::redis_child redis;
    vectile::redis_settings settings{"127.0.0.1", redis.port(), 0};
    settings.memory_cache_mb = 0;
    start(test_support::database_url(), settings);
    const tile_id t{"plots", 14, 8531, 7778};
    redis_set(t.key(), "cached");
    const auto gets = redis_gets();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(get(t.path()).body, "cached");
    EXPECT_EQ(redis_gets(), gets + 3);
    EXPECT_EQ(svc->memory->size(), 0u);
}

}  // namespace
