// GET /gis/{layer}/bbox/ through the host application, against the demo
// cadastre (around lon 7.44-7.51, lat 9.04-9.08; in metres about
// x 829956-833607, y 1010904-1014020) and Redis.
//
// Every test that may store a tile uses a box of its own: ctest runs test
// processes side by side against the same shared Redis.

#include "routers/vectile/bbox.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <cmath>
#include <set>

#include "endpoint_fixture.hpp"
#include "common/errors.hpp"
#include "support/black_hole.hpp"
#include "support/log_capture.hpp"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::ordered_json;
using test_support::log_capture;
using vtest::endpoint_test;

std::string detail(const std::string& text) { return json({{"detail", text}}).dump(); }

class bbox_tiles : public endpoint_test {
protected:
    void SetUp() override { start_shared(); }

    std::string own_key(const std::string& logical) { return endpoint_test::own_key("mvt_v8:" + logical); }

    static std::size_t vertex_count(const std::string& tile) {
        std::size_t n = 0;
        for (const auto& layer : vtest::decode_tile(tile)) {
            for (const auto& f : layer.features) n += f.vertices.size();
        }
        return n;
    }
};

// ------------------------------------------------------------------ validation

struct refusal_case {
    const char* name;
    const char* target;
    unsigned status;
    const char* detail;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const refusal_case& c, std::ostream* os) { *os << c.name; }

class bbox_refusal : public endpoint_test, public testing::WithParamInterface<refusal_case> {};

TEST_P(bbox_refusal, comes_before_any_cache_or_database_access) {
    const auto& c = GetParam();
    test_support::black_hole redis;  // any cache access would connect here
    start(test_support::database_url(), vectile::redis_settings{"127.0.0.1", redis.port(), 0});
    log_capture log;
    auto r = get(c.target);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, detail(c.detail));
    EXPECT_EQ(counts.statements, 0);
    EXPECT_EQ(redis.accepted(), 0);
    EXPECT_TRUE(log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    order_of_checks, bbox_refusal,
    testing::Values(
        refusal_case{"unknown_layer_before_srid", "/gis/roads/bbox/?minx=0&miny=0&maxx=1&maxy=1&srid=2100", 404, "Layer 'roads' not found"},
        refusal_case{"wrong_case_layer", "/gis/Plots/bbox/?minx=0&miny=0&maxx=1&maxy=1", 404, "Layer 'Plots' not found"},
        refusal_case{"srid_2100", "/gis/plots/bbox/?minx=0&miny=0&maxx=1&maxy=1&srid=2100", 400,
                     "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"},
        refusal_case{"srid_before_longitude", "/gis/plots/bbox/?minx=-500&miny=0&maxx=1&maxy=1&srid=0", 400,
                     "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"},
        refusal_case{"maxx_above_180", "/gis/plots/bbox/?minx=180&miny=0&maxx=180.0001&maxy=0.001", 400, "Invalid longitude values"},
        refusal_case{"minx_below_minus_180", "/gis/plots/bbox/?minx=-180.0001&miny=0&maxx=-180&maxy=0.001", 400,
                     "Invalid longitude values"},
        refusal_case{"longitude_before_latitude", "/gis/plots/bbox/?minx=200&miny=100&maxx=201&maxy=101", 400,
                     "Invalid longitude values"},
        refusal_case{"maxy_above_90", "/gis/plots/bbox/?minx=0&miny=89.9&maxx=0.001&maxy=90.0001", 400, "Invalid latitude values"},
        refusal_case{"miny_below_minus_90", "/gis/plots/bbox/?minx=0&miny=-91&maxx=0.001&maxy=-90", 400, "Invalid latitude values"},
        refusal_case{"latitude_before_area", "/gis/plots/bbox/?minx=-100&miny=-95&maxx=100&maxy=95", 400, "Invalid latitude values"},
        refusal_case{"area_above_one_square_degree", "/gis/plots/bbox/?minx=3&miny=7&maxx=4.01&maxy=8", 400,
                     "Bounding box too large. Maximum area: 1.0 square degrees"},
        refusal_case{"swapped_large_box", "/gis/plots/bbox/?minx=10&miny=10&maxx=8&maxy=8", 400,
                     "Bounding box too large. Maximum area: 1.0 square degrees"},
        refusal_case{"negative_max_features", "/gis/plots/bbox/?minx=7.45&miny=9.04&maxx=7.5&maxy=9.08&max_features=-1", 400,
                     "max_features must not be negative"},
        refusal_case{"negative_max_features_in_metres",
                     "/gis/plots/bbox/?minx=829000&miny=1010000&maxx=834000&maxy=1015000&srid=3857&max_features=-5000", 400,
                     "max_features must not be negative"}),
    [](const testing::TestParamInfo<refusal_case>& info) { return std::string(info.param.name); });

// The box in degrees needs the database to be transformed; the database
// failing is the server's fault, not the caller's.
TEST_F(bbox_tiles, database_failure_during_the_transformation_is_500) {
    vtest::scratch_database without_postgis;
    const std::string unreachable = vtest::conninfo_with(test_support::database_url(), {{"host", "127.0.0.1"}, {"port", "1"}});
    for (const auto& conninfo : {unreachable, without_postgis.conninfo()}) {
        start(conninfo, vectile::redis_settings{test_support::redis_host(), test_support::redis_port(), 0});
        log_capture log;
        auto r = get("/gis/plots/bbox/?minx=7.46&miny=9.05&maxx=7.47&maxy=9.06");
        EXPECT_EQ(r.status, 500u) << conninfo;
        EXPECT_EQ(r.body, detail("Database error")) << conninfo;
        EXPECT_EQ(log.lines_starting("error ").size(), 1u) << conninfo;
        stop();
    }
}

TEST_F(bbox_tiles, not_a_number_fails_the_range_checks) {
    // The host already refuses "nan" in a query; the handler's own check must hold too.
    auto session = pool->make_session();
    const double nan = std::nan("");
    struct row {
        vectile::bbox_request req;
        const char* detail;
    };
    const row table[] = {{{"plots", nan, 0, 1, 1}, "Invalid longitude values"},
                         {{"plots", 0, 0, nan, 1}, "Invalid longitude values"},
                         {{"plots", 0, nan, 1, 1}, "Invalid latitude values"},
                         {{"plots", 0, 0, 1, nan}, "Invalid latitude values"}};
    for (const auto& r : table) {
        try {
            (void)run(vectile::get_tile_bbox(*svc, r.req, *session));
            ADD_FAILURE() << "accepted: " << r.detail;
        } catch (const common::bad_request& e) {
            EXPECT_STREQ(e.detail(), r.detail);
        }
    }
    run(session->close());
}

struct accepted_case {
    const char* name;
    const char* target;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const accepted_case& c, std::ostream* os) { *os << c.name; }

class bbox_accepted : public endpoint_test, public testing::WithParamInterface<accepted_case> {};

TEST_P(bbox_accepted, passes_the_checks_and_answers_204_for_a_box_without_data) {
    start_shared();
    auto r = get(GetParam().target);
    EXPECT_EQ(r.status, 204u) << r.body;
    EXPECT_TRUE(r.body.empty());
    EXPECT_TRUE(r.headers.empty());
    EXPECT_GE(counts.statements, 1) << "the database was asked";
}

INSTANTIATE_TEST_SUITE_P(inclusive_bounds, bbox_accepted,
                         testing::Values(accepted_case{"area_exactly_one", "/gis/plots/bbox/?minx=3&miny=7&maxx=4&maxy=8"},
                                         accepted_case{"swapped_area_exactly_one", "/gis/plots/bbox/?minx=4&miny=8&maxx=3&maxy=7"},
                                         accepted_case{"whole_longitude_range", "/gis/plots/bbox/?minx=-180&miny=0&maxx=180&maxy=0.002"},
                                         accepted_case{"latitude_90", "/gis/plots/bbox/?minx=0&miny=89.5&maxx=1&maxy=90"},
                                         accepted_case{"latitude_minus_90", "/gis/plots/bbox/?minx=0&miny=-90&maxx=1&maxy=-89.5"},
                                         accepted_case{"zero_features_pass_through",
                                                       "/gis/plots/bbox/?minx=7.45&miny=9.04&maxx=7.5&maxy=9.08&max_features=0"}),
                         [](const testing::TestParamInfo<accepted_case>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ transformation, cache key, cache

TEST_F(bbox_tiles, degree_box_is_transformed_by_postgis_and_shares_its_entry_with_the_same_box_in_metres) {
    vtest::pg_connection pg(test_support::database_url());
    auto m = pg.rows(
        "SELECT round(ST_XMin(b)::numeric), round(ST_YMin(b)::numeric), round(ST_XMax(b)::numeric), round(ST_YMax(b)::numeric), "
        "ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b) "
        "FROM (SELECT ST_Transform(ST_MakeEnvelope(7.451, 9.041, 7.501, 9.079, 4326), 3857) AS b) s")[0];
    const std::string key = own_key("bbox:plots:" + *m[0] + ":" + *m[1] + ":" + *m[2] + ":" + *m[3] + ":5000:True");

    auto miss = get("/gis/plots/bbox/?minx=7.451&miny=9.041&maxx=7.501&maxy=9.079");
    ASSERT_EQ(miss.status, 200u) << miss.body;
    EXPECT_EQ(miss.media_type, "application/vnd.mapbox-vector-tile");
    EXPECT_EQ(header(miss, "X-Cache"), "MISS");
    EXPECT_EQ(header(miss, "Cache-Control"), "public, max-age=1800");
    EXPECT_EQ(counts.statements, 2) << "the transformation, then the tile";
    ASSERT_TRUE(redis_get(key) == miss.body) << "no entry under " << key;
    const auto ttl = redis_ttl(key);
    EXPECT_GT(ttl, 1770);
    EXPECT_LE(ttl, 1800);

    auto hit = get("/gis/plots/bbox/?minx=7.451&miny=9.041&maxx=7.501&maxy=9.079");
    EXPECT_EQ(hit.status, 200u);
    EXPECT_EQ(header(hit, "X-Cache"), "HIT");
    EXPECT_EQ(header(hit, "Cache-Control"), "public, max-age=1800");
    EXPECT_TRUE(hit.body == miss.body);
    EXPECT_EQ(counts.statements, 3) << "a degree box is transformed before the cache is read";

    // The same box given in metres: no transformation and the same entry.
    auto metres = get("/gis/plots/bbox/?srid=3857&minx=" + *m[4] + "&miny=" + *m[5] + "&maxx=" + *m[6] + "&maxy=" + *m[7]);
    EXPECT_EQ(metres.status, 200u);
    EXPECT_EQ(header(metres, "X-Cache"), "HIT");
    EXPECT_EQ(counts.statements, 3);

    auto layers = vtest::decode_tile(miss.body);
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_EQ(layers[0].name, "plots");
    ASSERT_FALSE(layers[0].features.empty());
    for (const auto& f : layers[0].features) {
        for (const auto& p : f.vertices) EXPECT_TRUE(p.x >= -32 && p.x <= 4128 && p.y >= -32 && p.y <= 4128) << p.x << "," << p.y;
    }
}

TEST_F(bbox_tiles, metre_box_skips_every_check_and_is_keyed_by_whole_metres_halves_to_even) {
    // Far outside ±180/±90 and many "square degrees": a box in metres has no limits.
    const std::string key = own_key("bbox:plots:829500:1010002:833500:1014000:5000:True");
    auto r = get("/gis/plots/bbox/?minx=829500.5&miny=1010001.5&maxx=833500.5&maxy=1013999.5&srid=3857");
    ASSERT_EQ(r.status, 200u) << r.body;
    EXPECT_EQ(header(r, "X-Cache"), "MISS");
    EXPECT_EQ(counts.statements, 1) << "no transformation for a box in metres";
    EXPECT_TRUE(redis_get(key) == r.body) << "no entry under " << key;
}

TEST_F(bbox_tiles, max_features_is_capped_at_15000_in_the_query_and_the_key) {
    const std::string key = own_key("bbox:plots:829000:1010000:834000:1015000:15000:True");
    auto r = get("/gis/plots/bbox/?minx=829000&miny=1010000&maxx=834000&maxy=1015000&srid=3857&max_features=100000");
    ASSERT_EQ(r.status, 200u) << r.body;
    EXPECT_TRUE(redis_get(key) == r.body) << "no entry under " << key;
    EXPECT_EQ(vtest::decode_tile(r.body).at(0).features.size(), 3000u) << "every plot of the demo cadastre";
}

TEST_F(bbox_tiles, small_max_features_keeps_that_many_of_the_largest) {
    own_key("bbox:plots:829100:1010100:833900:1014900:10:False");
    vtest::pg_connection pg(test_support::database_url());
    std::set<std::string> largest;
    for (const auto& row : pg.rows("SELECT \"ID\" FROM \"PLOT\" WHERE ST_Intersects(\"GEOMETRY_3857\", "
                                   "ST_MakeEnvelope(829100, 1010100, 833900, 1014900, 3857)) ORDER BY ST_Area(\"GEOMETRY_3857\") DESC LIMIT 10")) {
        largest.insert(*row[0]);
    }
    auto r = get("/gis/plots/bbox/?minx=829100&miny=1010100&maxx=833900&maxy=1014900&srid=3857&max_features=10&simplify=false");
    ASSERT_EQ(r.status, 200u) << r.body;
    const auto features = vtest::decode_tile(r.body).at(0).features;
    EXPECT_EQ(features.size(), 10u);
    for (const auto& f : features) EXPECT_TRUE(largest.count(f.attributes.at("feature_id").text)) << f.attributes.at("feature_id").text;
}

TEST_F(bbox_tiles, empty_box_is_204_and_not_cached) {
    const std::string key = own_key("bbox:plots:372000:1007000:373001:1008000:5000:True");
    for (int attempt = 1; attempt <= 2; ++attempt) {
        auto r = get("/gis/plots/bbox/?minx=372000.4&miny=1007000&maxx=373000.6&maxy=1008000&srid=3857");
        EXPECT_EQ(r.status, 204u);
        EXPECT_TRUE(r.body.empty());
        EXPECT_TRUE(r.headers.empty());
        EXPECT_FALSE(redis_exists(key));
        EXPECT_EQ(counts.statements, attempt);
    }
}

struct simplify_case {
    const char* name;
    int srid;
    double minx, miny, maxx, maxy;
    bool differs;  // simplify=true changes the geometry
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const simplify_case& c, std::ostream* os) { *os << c.name; }

class bbox_simplification : public bbox_tiles, public testing::WithParamInterface<simplify_case> {
protected:
    // The box as the cache key writes it: whole metres in EPSG:3857.
    std::string key_box(const simplify_case& c) {
        vtest::pg_connection pg(test_support::database_url());
        const std::string envelope = "ST_MakeEnvelope(" + std::to_string(c.minx) + ", " + std::to_string(c.miny) + ", " +
                                     std::to_string(c.maxx) + ", " + std::to_string(c.maxy) + ", " + std::to_string(c.srid) + ")";
        auto m = pg.rows("SELECT round(ST_XMin(b)::numeric), round(ST_YMin(b)::numeric), round(ST_XMax(b)::numeric), "
                         "round(ST_YMax(b)::numeric) FROM (SELECT ST_Transform(" + envelope + ", 3857) AS b) s")[0];
        return *m[0] + ":" + *m[1] + ":" + *m[2] + ":" + *m[3];
    }
};

TEST_P(bbox_simplification, applies_only_to_degree_boxes_above_a_hundredth_of_a_square_degree) {
    const auto& c = GetParam();
    const std::string box = key_box(c);
    own_key("bbox:plots:" + box + ":15000:True");
    own_key("bbox:plots:" + box + ":15000:False");
    const std::string query = "/gis/plots/bbox/?srid=" + std::to_string(c.srid) + "&minx=" + std::to_string(c.minx) +
                              "&miny=" + std::to_string(c.miny) + "&maxx=" + std::to_string(c.maxx) + "&maxy=" + std::to_string(c.maxy) +
                              "&max_features=20000";
    auto simplified = get(query + "&simplify=true");
    auto plain = get(query + "&simplify=false");
    ASSERT_EQ(simplified.status, 200u);
    ASSERT_EQ(plain.status, 200u);
    EXPECT_EQ(header(simplified, "X-Cache"), "MISS");
    EXPECT_EQ(header(plain, "X-Cache"), "MISS");
    if (c.differs) {
        // The demo plots are quadrilaterals: a 50 m tolerance removes vertices only from the slimmest.
        EXPECT_FALSE(simplified.body == plain.body);
        EXPECT_LT(vertex_count(simplified.body), vertex_count(plain.body));
    } else {
        EXPECT_TRUE(simplified.body == plain.body) << "simplified although the box is small or in metres";
    }
}

INSTANTIATE_TEST_SUITE_P(areas, bbox_simplification,
                         testing::Values(simplify_case{"above_a_hundredth", 4326, 7.40, 9.00, 7.55, 9.10, true},
                                         simplify_case{"below_a_hundredth", 4326, 7.452, 9.042, 7.502, 9.078, false},
                                         simplify_case{"metres_never", 3857, 829200, 1010200, 833800, 1014800, false}),
                         [](const testing::TestParamInfo<simplify_case>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ time-out

TEST_F(bbox_tiles, statement_held_by_a_lock_times_out_after_20_seconds_and_is_cancelled) {
    // A copy of PLOT in a schema of this test, so that the lock disturbs nobody else.
    vtest::scratch_schema schema({"PLOT"});
    start(schema.conninfo(), vectile::redis_settings{test_support::redis_host(), test_support::redis_port(), 0});
    const std::string key = own_key("bbox:plots:829300:1010300:833700:1014700:5000:True");
    const std::string target = "/gis/plots/bbox/?minx=829300&miny=1010300&maxx=833700&maxy=1014700&srid=3857";
    vtest::pg_connection holder(schema.conninfo());
    holder.exec("BEGIN; LOCK TABLE \"PLOT\" IN ACCESS EXCLUSIVE MODE");

    log_capture log;
    auto [answer, elapsed] = get_blocked(target, 60s);

    EXPECT_EQ(answer.status, 408u);
    EXPECT_EQ(answer.body, detail("Query timeout"));
    EXPECT_GE(elapsed, 19.5);
    EXPECT_LT(elapsed, 35.0);
    EXPECT_TRUE(statements_gone_within(1s)) << "the abandoned statement is still running";
    EXPECT_EQ(log.lines_starting("error [vectile]"), std::vector<std::string>{"error [vectile] Timeout generating bbox tile for plots"});
    EXPECT_FALSE(redis_exists(key));

    holder.exec("ROLLBACK");
    auto next = get(target);
    EXPECT_EQ(next.status, 200u);
    EXPECT_EQ(header(next, "X-Cache"), "MISS");
}

}  // namespace
