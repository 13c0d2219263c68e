#include "detail/plan.hpp"
#include "plots.hpp"

#include "fixtures.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace plots_test;
using plots::detail::prepare_plan;

plots::detail::plan plan_with_roads(const json& roads) {
    return prepare_plan(hundred_by_fifty(), "P1", roads, "parcel_number", nullptr);
}

// The default window of hundred_by_fifty() is e0 - 82.96 .. e0 + 182.96 by n0 - 51 .. n0 + 101.
TEST(roads, are_clipped_to_the_window) {
    struct road_case {
        const char* name;
        json road_data;
        std::size_t pieces;
    };
    const road_case cases[] = {
        {"null", nullptr, 0},
        {"empty", json::array(), 0},
        {"no_points", json::array({road({})}), 0},
        {"wholly_outside", json::array({road({{e0 - 500, n0}, {e0 - 400, n0}})}), 0},
        {"crossing", json::array({road({{e0 - 500, n0 - 5}, {e0 + 500, n0 - 5}})}), 1},
        {"inside", json::array({road({{e0, n0 - 5}, {e0 + 10, n0 - 5}})}), 1},
        {"crossing_twice", json::array({road({{e0 - 500, n0 - 40}, {e0, n0 - 40}, {e0, n0 - 100}, {e0 + 50, n0 - 100},
                                              {e0 + 50, n0 - 40}, {e0 + 60, n0 - 40}})}),
         2},
        {"two_roads", json::array({road({{e0 - 500, n0}, {e0 + 500, n0}}), road({{e0, n0 - 500}, {e0, n0 + 500}})}), 2},
    };
    for (const road_case& c : cases) {
        const auto plan = plan_with_roads(c.road_data);
        EXPECT_EQ(plan.roads.size(), c.pieces) << c.name;
        for (const auto& piece : plan.roads) {
            ASSERT_GE(piece.size(), 2u) << c.name;
            for (const auto& p : piece) {
                EXPECT_GE(p.x, plan.page.frame.xmin - 1e-6) << c.name;
                EXPECT_LE(p.x, plan.page.frame.xmax + 1e-6) << c.name;
                EXPECT_GE(p.y, plan.page.frame.ymin - 1e-6) << c.name;
                EXPECT_LE(p.y, plan.page.frame.ymax + 1e-6) << c.name;
            }
        }
    }
}

TEST(roads, touching_only_a_corner_draws_nothing) {
    const auto frame = plan_with_roads(nullptr).page.frame;
    const auto plan = plan_with_roads(json::array({road({{frame.xmin - 10, frame.ymin - 10}, {frame.xmin, frame.ymin}})}));
    EXPECT_TRUE(plan.roads.empty());
    EXPECT_NO_THROW(plots::generate_plot(hundred_by_fifty(), "P1",
                                         json::array({road({{frame.xmin - 10, frame.ymin - 10}, {frame.xmin, frame.ymin}})})));
}

TEST(parcel_selection, takes_the_first_equal_value) {
    json parcels = hundred_by_fifty();
    parcels.push_back(parcel("P1", rectangle(e0 + 1000, n0, 10, 10)));
    const auto plan = prepare_plan(parcels, "P1", nullptr, "parcel_number", nullptr);
    EXPECT_EQ(plan.selected.front().x, e0);
    EXPECT_EQ(plan.parcels.size(), 3u);
    EXPECT_EQ(plan.beacons.size(), 4u);
}

TEST(parcel_selection, by_another_column_and_numbers) {
    json parcels = json::array({parcel(1, rectangle(e0, n0, 10, 10)), parcel(2, rectangle(e0 + 20, n0, 10, 10))});
    parcels[1]["plot_id"] = 7.0;
    parcels[0]["plot_id"] = "7";
    const auto plan = prepare_plan(parcels, 7, nullptr, "plot_id", nullptr);
    EXPECT_EQ(plan.selected.front().x, e0 + 20);
}

struct failure_case {
    const char* name;
    std::function<void(json& parcels, json& roads, json& selected)> change;
    enum { invalid_record, no_match, invalid_argument } kind;
    const char* message_part;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const failure_case& c, std::ostream* os) { *os << c.name; }

class plan_rejects : public testing::TestWithParam<failure_case> {};

TEST_P(plan_rejects, with_an_error_naming_the_value) {
    const failure_case& c = GetParam();
    json parcels = hundred_by_fifty();
    json roads = json::array();
    json selected = "P1";
    c.change(parcels, roads, selected);
    try {
        plots::generate_plot(parcels, selected, roads);
        FAIL() << "no error";
    } catch (const plots::invalid_record& e) {
        EXPECT_EQ(c.kind, failure_case::invalid_record) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    } catch (const plots::no_matching_parcel& e) {
        EXPECT_EQ(c.kind, failure_case::no_match) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    } catch (const plots::invalid_argument& e) {
        EXPECT_EQ(c.kind, failure_case::invalid_argument) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    records, plan_rejects,
    testing::Values(
        failure_case{"no_match", [](json&, json&, json& s) { s = "P9"; }, failure_case::no_match,
                     "parcel_number equal to \"P9\""},
        failure_case{"text_never_equals_number", [](json& p, json&, json& s) { p[0]["parcel_number"] = 1; s = "1"; },
                     failure_case::no_match, "\"1\""},
        failure_case{"empty_parcel_list", [](json& p, json&, json&) { p = json::array(); }, failure_case::no_match,
                     "parcel_number"},
        failure_case{"parcel_data_not_a_list", [](json& p, json&, json&) { p = json::object(); },
                     failure_case::invalid_record, "parcel_data must be a list"},
        failure_case{"key_missing_after_the_match", [](json& p, json&, json&) { p[1].erase("parcel_number"); },
                     failure_case::invalid_record, "parcel_data[1] lacks the key \"parcel_number\""},
        failure_case{"selected_without_geometry", [](json& p, json&, json&) { p[0].erase("geometry"); },
                     failure_case::invalid_record, "parcel_data[0] lacks the key \"geometry\""},
        failure_case{"neighbour_without_coordinates", [](json& p, json&, json&) { p[1]["geometry"].erase("coordinates"); },
                     failure_case::invalid_record, "parcel_data[1][\"geometry\"] lacks the key \"coordinates\""},
        failure_case{"ring_of_two_points",
                     [](json& p, json&, json&) { p[1]["geometry"]["coordinates"] = json::parse("[[[0,0],[1,1]]]"); },
                     failure_case::invalid_record, "parcel_data[1][\"geometry\"][\"coordinates\"][0]"},
        failure_case{"coordinate_not_a_number",
                     [](json& p, json&, json&) { p[0]["geometry"]["coordinates"][0][2][1] = "north"; },
                     failure_case::invalid_record, "[0][2][1] must be a number"},
        failure_case{"without_boundary", [](json& p, json&, json&) { p[0].erase("boundary"); },
                     failure_case::invalid_record, "lacks the key \"boundary\""},
        failure_case{"beacon_with_three_coordinates",
                     [](json& p, json&, json&) { p[0]["boundary"][1]["geometry"]["coordinates"] = {1, 2, 3}; },
                     failure_case::invalid_record, "[\"boundary\"][1][\"geometry\"][\"coordinates\"] must be exactly two"},
        failure_case{"beacon_without_name", [](json& p, json&, json&) { p[0]["boundary"][2].erase("beacon_name"); },
                     failure_case::invalid_record, "[\"boundary\"][2] lacks the key \"beacon_name\""},
        failure_case{"distance_not_a_number",
                     [](json& p, json&, json&) { p[0]["boundary"][0]["distance_to_next"] = nullptr; },
                     failure_case::invalid_record, "[\"distance_to_next\"] must be a number, not null"},
        failure_case{"area_not_a_number", [](json& p, json&, json&) { p[0]["area"] = "large"; },
                     failure_case::invalid_record, "[\"area\"] must be a number, not \"large\""},
        failure_case{"without_name", [](json& p, json&, json&) { p[0].erase("name"); }, failure_case::invalid_record,
                     "lacks the key \"name\""},
        failure_case{"road_of_one_point", [](json&, json& r, json&) { r.push_back(road({{e0, n0}})); },
                     failure_case::invalid_record, "road_data[0][\"geometry\"][\"coordinates\"]"},
        failure_case{"road_without_geometry", [](json&, json& r, json&) { r.push_back(json::object()); },
                     failure_case::invalid_record, "road_data[0] lacks the key \"geometry\""},
        failure_case{"road_data_not_a_list", [](json&, json& r, json&) { r = 5; }, failure_case::invalid_record,
                     "road_data must be a list or null"}),
    [](const testing::TestParamInfo<failure_case>& info) { return info.param.name; });

TEST(plan_rejects, without_a_match_logs_only_the_first_line) {
    const log_capture log;
    EXPECT_THROW(plots::generate_plot(hundred_by_fifty(), "nope", nullptr), plots::no_matching_parcel);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Generating plot with precise scaling..."});
}

TEST(plan, collects_beacon_records_and_labels) {
    json parcels = hundred_by_fifty();
    parcels[0]["boundary"][0]["beacon_name"] = nullptr;
    parcels[0]["boundary"][1]["bearing_deg_to_next"] = 45.0;
    const auto plan = prepare_plan(parcels, "P1", nullptr, "parcel_number", nullptr);
    ASSERT_EQ(plan.beacons.size(), 4u);
    EXPECT_EQ(plan.beacons[3].next_x, e0);  // the last beacon's next is the first
    EXPECT_EQ(plan.beacons[3].next_y, n0);
    EXPECT_FALSE(plan.beacons[0].name.has_value());
    EXPECT_EQ(plan.beacons[1].bearing_deg, "45.0");
    EXPECT_EQ(plan.beacons[1].bearing_min, "15");
    EXPECT_EQ(plan.labels.back().text, "5000.00m\u00b2");
    EXPECT_EQ(plan.labels[plan.labels.size() - 2].text, "Plot 1");
}

TEST(plan, single_beacon_and_empty_boundary) {
    json parcels = hundred_by_fifty();
    json single = parcels;
    single[0]["boundary"] = json::array({single[0]["boundary"][0]});
    const auto one = prepare_plan(single, "P1", nullptr, "parcel_number", nullptr);
    ASSERT_EQ(one.beacons.size(), 1u);
    EXPECT_EQ(one.beacons[0].next_x, one.beacons[0].x);
    EXPECT_EQ(one.beacons[0].next_y, one.beacons[0].y);
    EXPECT_EQ(one.labels.size(), 2u);

    parcels[0]["boundary"] = json::array();
    const auto none = prepare_plan(parcels, "P1", nullptr, "parcel_number", nullptr);
    EXPECT_TRUE(none.beacons.empty());
    EXPECT_EQ(none.labels.size(), 2u);
    // Both still render.
    EXPECT_NO_THROW(plots::generate_plot(single, "P1", nullptr));
    EXPECT_NO_THROW(plots::generate_plot(parcels, "P1", nullptr));
}

TEST(plan, request_documents) {
    const json request = {{"parcel_data", hundred_by_fifty()}, {"selected_parcel_number", "P1"}, {"road_data", nullptr}};
    EXPECT_EQ(plots::generate_plot_from_request(request).scale, 1000);

    json boxed = request;
    boxed["bounding_box"] = {{"minx", 500000}, {"maxx", 500300}, {"miny", 700000}, {"maxy", 700100}, {"srid", 26332}};
    EXPECT_EQ(plots::generate_plot_from_request(boxed).scale, 2000);

    json renamed = request;
    renamed["parcel_data"][0]["lr"] = "X";
    renamed["parcel_data"][1]["lr"] = "Y";
    renamed["columnname"] = "lr";
    renamed["selected_parcel_number"] = "X";
    EXPECT_EQ(plots::generate_plot_from_request(renamed).scale, 1000);

    json no_roads = request;
    no_roads.erase("road_data");
    EXPECT_THROW(plots::generate_plot_from_request(no_roads), plots::invalid_record);
    json bad_column = request;
    bad_column["columnname"] = 3;
    EXPECT_THROW(plots::generate_plot_from_request(bad_column), plots::invalid_record);
    EXPECT_THROW(plots::generate_plot_from_request(json::array()), plots::invalid_record);
}

}  // namespace
