// TileJSON and the style through the host application against the demo
// cadastre, and tiles answered conditionally and compressed on a hit and a miss.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "endpoint_fixture.hpp"
#include "support/gzip.hpp"
#include "routers/vectile/config.hpp"

namespace {

using json = nlohmann::ordered_json;
using vtest::endpoint_test;
using headers = std::vector<std::pair<std::string, std::string>>;

common::request get_with(std::string target, headers h) {
    common::request req;
    req.target = std::move(target);
    req.headers = std::move(h);
    return req;
}

std::string unquoted(std::string s) {
    std::erase(s, '"');
    return s;
}

class layer_documents : public endpoint_test {};

TEST_F(layer_documents, tilejson_of_every_layer_names_its_tiles_zooms_bounds_and_fields) {
    start_shared();
    vtest::pg_connection pg(test_support::database_url());
    for (const auto& name : vectile::layer_names()) {
        const auto& layer = *vectile::find_layer(name);
        auto r = request(get_with("/gis/" + name + "/tilejson.json", {{"Host", "maps.example:8080"}}));
        ASSERT_EQ(r.status, 200u) << name << ": " << r.body;
        auto doc = json::parse(r.body);
        EXPECT_EQ(doc.at("tilejson"), "3.0.0") << name;
        EXPECT_EQ(doc.at("tiles"), json::array({"http://maps.example:8080/gis/" + name + "/{z}/{x}/{y}.pbf"})) << name;
        EXPECT_EQ(doc.at("minzoom"), layer.min_zoom.value_or(0)) << name;
        EXPECT_EQ(doc.at("maxzoom"), 20) << name;
        // The extent as PostGIS itself brings it to degrees.
        auto row = pg.rows("SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM (SELECT ST_Transform(ST_SetSRID("
                           "ST_EstimatedExtent(" + vtest::literal(unquoted(layer.table)) + ", " + vtest::literal(unquoted(layer.geom_col)) +
                           ")::geometry, 3857), 4326) AS e) s")[0];
        ASSERT_EQ(doc.at("bounds").size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(doc.at("bounds")[i].get<double>(), std::stod(*row[i]), 1e-7) << name << " " << i;
        const auto& center = doc.at("center");
        EXPECT_GT(center[0].get<double>(), std::stod(*row[0]));
        EXPECT_LT(center[0].get<double>(), std::stod(*row[2]));
        const auto& vl = doc.at("vector_layers");
        ASSERT_EQ(vl.size(), 1u);
        EXPECT_EQ(vl[0].at("id"), name);
        std::vector<std::string> fields, expected;
        for (const auto& [k, v] : vl[0].at("fields").items()) fields.push_back(k);
        for (const auto& p : layer.properties) expected.push_back(unquoted(p));
        EXPECT_EQ(fields, expected) << name;
    }
    EXPECT_EQ(get("/gis/nowhere/tilejson.json").status, 404u);
    EXPECT_EQ(get("/gis/plots/tilejson.json").status, 200u) << "the literal name is not taken for a zoom or a centroid";
}

TEST_F(layer_documents, urls_come_from_the_public_url_or_a_trusted_proxy_only) {
    start_shared();
    struct row {
        const char* name;
        common::public_url_options urls;
        headers sent;
        const char* base;
    };
    const headers forwarded{{"Host", "10.0.0.5:8080"}, {"X-Forwarded-Proto", "https"}, {"X-Forwarded-Host", "maps.example.org"}};
    const row table[] = {
        {"host", {}, {{"Host", "10.0.0.5:8080"}}, "http://10.0.0.5:8080"},
        {"untrusted proxy", {}, forwarded, "http://10.0.0.5:8080"},
        {"trusted proxy", {.trust_proxy = true}, forwarded, "https://maps.example.org"},
        {"public url", {.public_url = "https://tiles.example.org/"}, forwarded, "https://tiles.example.org"},
        {"hostile host", {}, {{"Host", "a\"b<c>"}}, "http://localhost"},
    };
    for (const auto& r : table) {
        svc->urls = r.urls;
        auto doc = json::parse(request(get_with("/gis/lgas/tilejson.json", r.sent)).body);
        EXPECT_EQ(doc.at("tiles")[0], std::string(r.base) + "/gis/lgas/{z}/{x}/{y}.pbf") << r.name;
        auto style = json::parse(request(get_with("/gis/style.json", r.sent)).body);
        EXPECT_EQ(style.at("sources").at("cadastre").at("url"),
                  std::string(r.base) + "/gis/tiles/plots,beacons,cadzones,districts,lgas/tilejson.json")
            << r.name;
    }
}

TEST_F(layer_documents, style_draws_the_viewers_layers_from_one_composite_source) {
    start_shared();
    std::ifstream file(GIS_STYLE_LAYERS_FILE);
    auto layers = json::parse(std::string(std::istreambuf_iterator<char>(file), {}));
    for (auto& l : layers) {
        if (l.contains("source")) l["source"] = "cadastre";
    }
    struct row {
        const char* query;
        const char* tilejson_query;
        bool mlt;
    };
    for (const row& q : {row{"", "", false}, row{"?encoding=mlt", "?encoding=mlt", true}}) {
        auto r = get(std::string("/gis/style.json") + q.query);
        ASSERT_EQ(r.status, 200u) << q.query;
        auto style = json::parse(r.body);
        EXPECT_EQ(style.at("version"), 8);
        ASSERT_EQ(style.at("sources").size(), 1u) << q.query;
        const auto& source = style.at("sources").at("cadastre");
        EXPECT_TRUE(source.at("url").get<std::string>().ends_with(std::string("/gis/tiles/plots,beacons,cadzones,districts,lgas/tilejson.json") +
                                                                   q.tilejson_query))
            << source;
        EXPECT_EQ(source.value("encoding", "mvt"), q.mlt ? "mlt" : "mvt");
        EXPECT_EQ(style.at("layers"), layers);
        EXPECT_NE(style.at("glyphs").get<std::string>().find("{fontstack}/{range}.pbf"), std::string::npos);
    }
    EXPECT_EQ(get("/gis/style.json?encoding=webp").status, 400u);
}

TEST_F(layer_documents, tiles_are_304_for_their_tag_and_gzip_on_request_on_a_miss_and_a_hit) {
    start_shared();
    app->set_http_policy({.conditional = true, .compression = true});
    const std::string path = "/gis/plots/14/8531/7778.pbf";
    own_key("mvt_v8:plots:14:8531:7778");

    auto miss = request(get_with(path, {}));
    ASSERT_EQ(miss.status, 200u);
    ASSERT_EQ(header(miss, "X-Cache"), std::nullopt) << "a miss";
    const auto tag = header(miss, "ETag");
    ASSERT_TRUE(tag);
    auto hit = request(get_with(path, {{"If-None-Match", *tag}}));
    EXPECT_EQ(hit.status, 304u);
    EXPECT_EQ(header(hit, "X-Cache"), "HIT");
    EXPECT_TRUE(hit.body.empty());

    auto zipped = request(get_with(path, {{"Accept-Encoding", "gzip"}}));
    EXPECT_EQ(header(zipped, "Content-Encoding"), "gzip");
    EXPECT_LT(zipped.body.size(), miss.body.size());
    EXPECT_EQ(test_support::gunzip(zipped.body), miss.body);

    redis_del("mvt_v8:plots:14:8531:7778");
    auto second_miss = request(get_with(path, {{"If-None-Match", *tag}}));
    EXPECT_EQ(second_miss.status, 304u) << "the same bytes from the database keep their tag";
    EXPECT_EQ(header(second_miss, "ETag"), tag);
}

}  // namespace
