// GET /gis/{layer}/ through the host application: the centroid document, its
// cache entry, and a layer without a statistics estimate.
//
// Each test uses a layer of its own (the cache key is per layer): ctest runs
// test processes side by side against the same shared Redis.

#include <gtest/gtest.h>

#include "endpoint_fixture.hpp"
#include "support/black_hole.hpp"

namespace {

using json = nlohmann::ordered_json;
using vtest::endpoint_test;

class centroid : public endpoint_test {
protected:
    std::string own_key(const std::string& layer) { return endpoint_test::own_key("mvt_v8:centroid:" + layer); }
};

TEST_F(centroid, document_has_its_keys_in_order_and_is_stored_with_spaced_separators_for_four_hours) {
    start_shared();
    const std::string key = own_key("plots");
    auto r = get("/gis/plots/");
    ASSERT_EQ(r.status, 200u) << r.body;
    EXPECT_EQ(r.media_type, "application/json");
    auto envelope = json::parse(r.body);
    EXPECT_EQ(envelope.at("success"), true);
    EXPECT_EQ(envelope.at("status_code"), 200);
    EXPECT_TRUE(envelope.at("message").is_null());
    const json& doc = envelope.at("data");

    std::vector<std::string> keys;
    for (const auto& [k, v] : doc.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"layer", "centroid_wgs84", "extent_web_mercator", "suggested_tile", "suggested_tile_bbox",
                                              "tile_url", "layer_config"}));
    EXPECT_EQ(doc.at("layer"), "plots");

    // The same estimate, asked directly.
    vtest::pg_connection pg(test_support::database_url());
    auto row = pg.rows("SELECT ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(b), 3857), 4326)), "
                       "ST_X(ST_Transform(ST_SetSRID(ST_Centroid(b), 3857), 4326)), ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b) "
                       "FROM (SELECT ST_EstimatedExtent('PLOT', 'GEOMETRY_3857') AS b) s")[0];
    const double lat = std::stod(*row[0]), lon = std::stod(*row[1]);
    std::vector<std::string> centroid_keys;
    for (const auto& [k, v] : doc.at("centroid_wgs84").items()) centroid_keys.push_back(k);
    EXPECT_EQ(centroid_keys, (std::vector<std::string>{"latitude", "longitude"}));
    EXPECT_NEAR(doc.at("centroid_wgs84").at("latitude").get<double>(), lat, 1e-9);
    EXPECT_NEAR(doc.at("centroid_wgs84").at("longitude").get<double>(), lon, 1e-9);
    const auto& extent = doc.at("extent_web_mercator");
    std::vector<std::string> extent_keys;
    for (const auto& [k, v] : extent.items()) extent_keys.push_back(k);
    EXPECT_EQ(extent_keys, (std::vector<std::string>{"minx", "miny", "maxx", "maxy"}));
    EXPECT_NEAR(extent.at("minx").get<double>(), std::stod(*row[2]), 1e-6);
    EXPECT_NEAR(extent.at("miny").get<double>(), std::stod(*row[3]), 1e-6);
    EXPECT_NEAR(extent.at("maxx").get<double>(), std::stod(*row[4]), 1e-6);
    EXPECT_NEAR(extent.at("maxy").get<double>(), std::stod(*row[5]), 1e-6);

    // The suggested tile, checked by PostGIS's own tile grid: zoom 16, holding
    // the centroid, and its bounds as PostGIS draws them.
    const json& tile = doc.at("suggested_tile");
    std::vector<std::string> tile_keys;
    for (const auto& [k, v] : tile.items()) tile_keys.push_back(k);
    EXPECT_EQ(tile_keys, (std::vector<std::string>{"x", "y", "z"}));
    const int z = tile.at("z"), x = tile.at("x"), y = tile.at("y");
    EXPECT_EQ(z, 16);
    const std::string envelope_sql = "ST_TileEnvelope(16, " + std::to_string(x) + ", " + std::to_string(y) + ")";
    auto grid = pg.rows("SELECT ST_Contains(" + envelope_sql + ", ST_SetSRID(ST_Centroid(b), 3857)), ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) "
                        "FROM (SELECT ST_EstimatedExtent('PLOT', 'GEOMETRY_3857') AS b, " + envelope_sql + " AS e) s")[0];
    EXPECT_EQ(*grid[0], "t") << "the suggested tile holds the centroid";
    const auto& tile_bbox = doc.at("suggested_tile_bbox");
    std::vector<std::string> bbox_keys;
    for (const auto& [k, v] : tile_bbox.items()) bbox_keys.push_back(k);
    EXPECT_EQ(bbox_keys, (std::vector<std::string>{"minx", "miny", "maxx", "maxy"}));
    EXPECT_NEAR(tile_bbox.at("minx").get<double>(), std::stod(*grid[1]), 1e-6);
    EXPECT_NEAR(tile_bbox.at("miny").get<double>(), std::stod(*grid[2]), 1e-6);
    EXPECT_NEAR(tile_bbox.at("maxx").get<double>(), std::stod(*grid[3]), 1e-6);
    EXPECT_NEAR(tile_bbox.at("maxy").get<double>(), std::stod(*grid[4]), 1e-6);
    EXPECT_EQ(doc.at("tile_url"), "/gis/plots/16/" + std::to_string(x) + "/" + std::to_string(y) + ".pbf");
    EXPECT_EQ(doc.at("layer_config").dump(),
              R"({"min_zoom":8,"properties":["\"ID\"","\"PLOT_NO\"","\"STATUS\"","\"AREA_SYSTEM\"","\"GENERAL_LU\"","\"CADZONE\"","\"DETAIL_LU\"","\"file_no\""]})");

    auto stored = redis_get(key);
    ASSERT_TRUE(stored);
    EXPECT_EQ(json::parse(*stored).dump(), doc.dump()) << "the stored document, key order included";
    // No text in this document holds a comma or a colon, so every one is a separator.
    std::string compacted;
    for (std::size_t i = 0; i < stored->size(); ++i) {
        const char c = (*stored)[i];
        compacted += c;
        if (c == ',' || c == ':') {
            EXPECT_EQ(i + 1 < stored->size() ? (*stored)[i + 1] : '\0', ' ') << "separator without a space at " << i << ": " << *stored;
            ++i;
        }
    }
    EXPECT_EQ(compacted, doc.dump());
    const auto ttl = redis_ttl(key);
    EXPECT_GT(ttl, 14370);
    EXPECT_LE(ttl, 14400);
}

TEST_F(centroid, second_request_is_answered_from_the_cache_without_a_statement) {
    start_shared();
    own_key("beacons");
    auto first = get("/gis/beacons/");
    ASSERT_EQ(first.status, 200u) << first.body;
    EXPECT_EQ(counts.statements, 1);
    auto second = get("/gis/beacons/");
    EXPECT_EQ(second.status, 200u);
    EXPECT_EQ(second.body, first.body) << "same document, key order included";
    EXPECT_EQ(counts.statements, 1);
}

TEST_F(centroid, unreadable_cached_entry_is_ignored_and_replaced) {
    start_shared();
    const std::string key = own_key("cadzones");
    const std::string unreadable[] = {"not json", std::string("\xff\xfe{\"layer\"", 10), "{\"layer\": \"cadzones\", "};
    int expected_statements = 0;
    for (const auto& entry : unreadable) {
        redis_set(key, entry);
        auto r = get("/gis/cadzones/");
        ASSERT_EQ(r.status, 200u) << r.body;
        EXPECT_EQ(counts.statements, ++expected_statements) << "computed afresh";
        const json doc = json::parse(r.body).at("data");
        EXPECT_EQ(doc.at("layer"), "cadzones");
        auto stored = redis_get(key);
        ASSERT_TRUE(stored);
        EXPECT_EQ(json::parse(*stored).dump(), doc.dump()) << "replaced by the fresh document";
    }
}

TEST_F(centroid, layer_without_an_extent_estimate_gets_the_404_envelope_and_nothing_is_cached) {
    // An empty, never analysed LGAs in a schema of this test: no estimate, so no row.
    vtest::scratch_schema schema({}, {"LGAs"});
    start(schema.conninfo(), vectile::redis_settings{test_support::redis_host(), test_support::redis_port(), 0});
    const std::string key = own_key("lgas");
    auto r = get("/gis/lgas/");
    EXPECT_EQ(r.status, 404u);
    EXPECT_EQ(r.media_type, "application/json");
    EXPECT_EQ(r.body, R"({"success":false,"status_code":404,"message":"No valid geometry found for layer 'lgas'","data":null})");
    EXPECT_EQ(counts.statements, 1);
    EXPECT_FALSE(redis_exists(key));
}

TEST_F(centroid, unknown_layer_is_404_without_cache_or_database) {
    test_support::black_hole redis;
    start(test_support::database_url(), vectile::redis_settings{"127.0.0.1", redis.port(), 0});
    for (const char* name : {"roads", "Plots"}) {
        auto r = get(std::string("/gis/") + name + "/");
        EXPECT_EQ(r.status, 404u);
        EXPECT_EQ(r.body, json({{"detail", std::string("Layer '") + name + "' not found"}}).dump());
    }
    EXPECT_EQ(counts.statements, 0);
    EXPECT_EQ(redis.accepted(), 0);
}

}  // namespace
