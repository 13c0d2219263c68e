// The layer list and per-layer zoom information, driven through the host
// application as a client sees them (envelope included). Neither route needs
// the database or Redis: the application has no session factory and the
// service points at a port nobody listens on.

#include "routers/vectile/catalogue.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <boost/asio/io_context.hpp>

#include "routers/vectile/routes.hpp"
#include "routers/vectile/service.hpp"
#include "server/application.hpp"
#include "support/redis_child.hpp"
#include "support/run.hpp"

namespace {

using json = nlohmann::ordered_json;

class catalogue : public testing::Test {
protected:
    catalogue() : svc(ioc.get_executor(), vectile::redis_settings{"127.0.0.1", test_support::free_port(), 0}) {
        vectile::register_routes(svc);
        app.include_router(svc.router);
    }

    common::response get(const std::string& target) {
        common::request req;
        req.target = target;
        return test_support::run(ioc, app.handle(req));
    }

    boost::asio::io_context ioc;
    vectile::service svc;
    server::application app;
};

// The JSON text `literal` re-serialised compactly, as the host writes bodies.
std::string compact(const char* literal) { return json::parse(literal).dump(); }

TEST_F(catalogue, layer_list_is_the_whole_registry_in_order_inside_the_envelope) {
    auto r = get("/gis/layers/");
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.media_type, "application/json");
    EXPECT_EQ(r.body, compact(R"({"success": true, "status_code": 200, "message": null, "data": {
      "layers": {
        "plots": {"name": "plots", "min_zoom": 8,
                  "properties": ["\"ID\"", "\"PLOT_NO\"", "\"STATUS\"", "\"AREA_SYSTEM\"", "\"GENERAL_LU\"", "\"CADZONE\"", "\"DETAIL_LU\"", "\"file_no\""],
                  "table": "\"PLOT\"",
                  "endpoints": {"xyz": "/gis/plots/{z}/{x}/{y}.pbf", "bbox": "/gis/plots/bbox/", "info": "/gis/plots/", "zoom_info": "/gis/plots/zoom-info/"}},
        "beacons": {"name": "beacons", "min_zoom": 12, "properties": ["\"ID\"", "\"BEACON_NO\"", "\"STATUS\"", "\"REMARK\""],
                    "table": "\"BEACON\"",
                    "endpoints": {"xyz": "/gis/beacons/{z}/{x}/{y}.pbf", "bbox": "/gis/beacons/bbox/", "info": "/gis/beacons/", "zoom_info": "/gis/beacons/zoom-info/"}},
        "cadzones": {"name": "cadzones", "min_zoom": 4, "properties": ["\"id\"", "\"name\"", "\"district_id\""],
                     "table": "\"CadZones\"",
                     "endpoints": {"xyz": "/gis/cadzones/{z}/{x}/{y}.pbf", "bbox": "/gis/cadzones/bbox/", "info": "/gis/cadzones/", "zoom_info": "/gis/cadzones/zoom-info/"}},
        "districts": {"name": "districts", "min_zoom": 3, "properties": ["\"id\"", "\"name\"", "\"lga_id\""],
                      "table": "\"Districts\"",
                      "endpoints": {"xyz": "/gis/districts/{z}/{x}/{y}.pbf", "bbox": "/gis/districts/bbox/", "info": "/gis/districts/", "zoom_info": "/gis/districts/zoom-info/"}},
        "lgas": {"name": "lgas", "min_zoom": 2, "properties": ["\"id\"", "\"name\""],
                 "table": "\"LGAs\"",
                 "endpoints": {"xyz": "/gis/lgas/{z}/{x}/{y}.pbf", "bbox": "/gis/lgas/bbox/", "info": "/gis/lgas/", "zoom_info": "/gis/lgas/zoom-info/"}}
      },
      "total_layers": 5,
      "usage_guide": {"world_zoom_1_4": "Use 'lgas' layer", "country_zoom_5_7": "Use 'districts' or 'lgas' layer",
                      "regional_zoom_6_10": "Use 'cadzones' layer", "local_zoom_8_14": "Use 'plots' layer",
                      "detail_zoom_12_20": "Use 'beacons' layer"}}})"));
}

TEST_F(catalogue, zoom_info_of_plots_is_the_exact_document) {
    auto r = get("/gis/plots/zoom-info/");
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, compact(R"({"success": true, "status_code": 200, "message": null, "data": {
      "layer": "plots", "min_zoom": 8,
      "zoom_levels": {
        "1": {"available": false}, "2": {"available": false}, "3": {"available": false}, "4": {"available": false},
        "5": {"available": false}, "6": {"available": false}, "7": {"available": false},
        "8": {"available": true, "tolerance": 500, "feature_limit": 3000, "simplification": "moderate"},
        "9": {"available": true, "tolerance": 500, "feature_limit": 1200, "simplification": "moderate"},
        "10": {"available": true, "tolerance": 500, "feature_limit": 1200, "simplification": "moderate"},
        "11": {"available": true, "tolerance": 500, "feature_limit": 1500, "simplification": "moderate"},
        "12": {"available": true, "tolerance": 500, "feature_limit": 1500, "simplification": "moderate"},
        "13": {"available": true, "tolerance": 0, "feature_limit": 1500, "simplification": "none"},
        "14": {"available": true, "tolerance": 0, "feature_limit": 1500, "simplification": "none"},
        "15": {"available": true, "tolerance": 0, "feature_limit": 3000, "simplification": "none"},
        "16": {"available": true, "tolerance": 0, "feature_limit": 3000, "simplification": "none"},
        "17": {"available": true, "tolerance": 0, "feature_limit": 15000, "simplification": "none"},
        "18": {"available": true, "tolerance": 0, "feature_limit": 15000, "simplification": "none"},
        "19": {"available": true, "tolerance": 0, "feature_limit": 15000, "simplification": "none"},
        "20": {"available": true, "tolerance": 0, "feature_limit": 15000, "simplification": "none"}},
      "recommendations": {"world_view": "Use 'lgas' or 'districts' for zoom 1-6", "regional_view": "Use 'cadzones' for zoom 4-10",
                          "detailed_view": "Use 'plots' for zoom 8+", "precise_view": "Use 'beacons' for zoom 12+"}}})"));
}

struct zoom_info_case {
    const char* layer;
    int min_zoom;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const zoom_info_case& c, std::ostream* os) { *os << c.layer; }

class zoom_info_of_layer : public catalogue, public testing::WithParamInterface<zoom_info_case> {};

TEST_P(zoom_info_of_layer, has_twenty_entries_available_from_the_minimum_with_simplification_by_tolerance) {
    const auto& c = GetParam();
    auto r = get(std::string("/gis/") + c.layer + "/zoom-info/");
    ASSERT_EQ(r.status, 200u) << r.body;
    auto doc = json::parse(r.body).at("data");
    EXPECT_EQ(doc.at("layer"), c.layer);
    EXPECT_EQ(doc.at("min_zoom"), c.min_zoom);
    const auto& levels = doc.at("zoom_levels");
    ASSERT_EQ(levels.size(), 20u);
    int zoom = 1;
    for (const auto& [key, entry] : levels.items()) {
        ASSERT_EQ(key, std::to_string(zoom)) << "zoom levels must be 1..20 in ascending order";
        if (zoom < c.min_zoom) {
            EXPECT_EQ(entry, json({{"available", false}})) << c.layer << " " << zoom;
        } else {
            EXPECT_EQ(entry.at("available"), true);
            const int tolerance = entry.at("tolerance").get<int>();
            const char* expected = tolerance == 0 ? "none" : tolerance >= 1000 ? "heavy" : tolerance == 500 ? "moderate" : "?";
            EXPECT_EQ(entry.at("simplification"), expected) << c.layer << " zoom " << zoom << " tolerance " << tolerance;
        }
        ++zoom;
    }
    EXPECT_EQ(doc.at("recommendations").size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(registry, zoom_info_of_layer,
                         testing::Values(zoom_info_case{"plots", 8}, zoom_info_case{"beacons", 12}, zoom_info_case{"cadzones", 4},
                                         zoom_info_case{"districts", 3}, zoom_info_case{"lgas", 2}),
                         [](const testing::TestParamInfo<zoom_info_case>& info) { return std::string(info.param.layer); });

TEST_F(catalogue, heavy_simplification_above_500_at_coarse_zooms) {
    auto levels = json::parse(get("/gis/lgas/zoom-info/").body).at("data").at("zoom_levels");
    EXPECT_EQ(levels.at("2").dump(), R"({"available":true,"tolerance":2000,"feature_limit":1000,"simplification":"heavy"})");
    EXPECT_EQ(levels.at("5").dump(), R"({"available":true,"tolerance":1000,"feature_limit":2000,"simplification":"heavy"})");
    EXPECT_EQ(levels.at("7").dump(), R"({"available":true,"tolerance":500,"feature_limit":3000,"simplification":"moderate"})");
}

TEST_F(catalogue, zoom_info_of_an_unknown_or_wrong_case_layer_is_404) {
    for (const char* name : {"roads", "Plots", "layers"}) {
        auto r = get(std::string("/gis/") + name + "/zoom-info/");
        EXPECT_EQ(r.status, 404u) << name;
        EXPECT_EQ(r.body, json({{"detail", std::string("Layer '") + name + "' not found"}}).dump());
    }
}

}  // namespace
