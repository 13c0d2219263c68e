#include "detail/page.hpp"
#include "detail/plan.hpp"
#include "plots.hpp"

#include "fixtures.hpp"

#include <gtest/gtest.h>

namespace {

using namespace plots_test;
using plots::detail::fontsize_for_scale;
using plots::detail::prepare_plan;

TEST(fontsize_for_scale, steps_down_one_point_per_doubling) {
    struct example {
        int scale;
        int fontsize;
    };
    for (const example& e : {example{100, 10}, example{250, 10}, example{353, 10}, example{354, 9}, example{500, 9},
                             example{1000, 8}, example{2000, 7}, example{5000, 6}, example{7500, 5},
                             example{10000, 5}, example{20000, 4}, example{25000, 4}, example{38000, 4}}) {
        EXPECT_EQ(fontsize_for_scale(e.scale), e.fontsize) << e.scale;
    }
}

TEST(page_geometry, parcel_of_100_by_50_metres_without_a_box) {
    const json parcels = hundred_by_fifty();
    const log_capture log;
    const plots::plot_result result = plots::generate_plot(parcels, "P1", json::array());
    EXPECT_EQ(result.scale, 1000);
    EXPECT_EQ(result.size_mm, std::make_pair(265.92, 152.0));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Generating plot with precise scaling...",
                                                     "Searching for recommended scale...", "Found scale: 1000"}));

    const auto plan = prepare_plan(parcels, "P1", json::array(), "parcel_number", nullptr);
    EXPECT_EQ(plan.page.scale, 1000);
    EXPECT_EQ(plan.page.fontsize, 8);
    EXPECT_DOUBLE_EQ(plan.page.norm, 1.0);
    EXPECT_NEAR(plan.page.width_inches(), 10.4693, 1e-4);
    EXPECT_NEAR(plan.page.height_inches(), 5.9843, 1e-4);
    // 265.92 m x 152 m of ground centred on the centroid (e0 + 50, n0 + 25).
    EXPECT_NEAR(plan.page.frame.xmin, e0 + 50 - 132.96, 1e-6);
    EXPECT_NEAR(plan.page.frame.xmax, e0 + 50 + 132.96, 1e-6);
    EXPECT_NEAR(plan.page.frame.ymin, n0 + 25 - 76, 1e-6);
    EXPECT_NEAR(plan.page.frame.ymax, n0 + 25 + 76, 1e-6);
}

TEST(page_geometry, bounding_box_sets_scale_shape_and_window) {
    const json parcels = hundred_by_fifty();
    const json box = {{"minx", 500000}, {"maxx", 500300}, {"miny", 700000}, {"maxy", 700100}, {"srid", 26332}};
    const log_capture log;
    const plots::plot_result result = plots::generate_plot(parcels, "P1", nullptr, "parcel_number", box);
    EXPECT_EQ(result.scale, 2000);
    EXPECT_DOUBLE_EQ(result.size_mm.first, 265.92);
    EXPECT_NEAR(result.size_mm.second, 88.64, 1e-9);
    // The parcel's scale is chosen and logged, then replaced by the box's.
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Generating plot with precise scaling...",
                                                     "Searching for recommended scale...", "Found scale: 1000",
                                                     "Searching for recommended scale...", "Found scale: 2000"}));

    const auto plan = prepare_plan(parcels, "P1", nullptr, "parcel_number", box);
    EXPECT_EQ(plan.page.fontsize, 7);
    EXPECT_NEAR(plan.page.width_inches(), 10.4693, 1e-4);
    EXPECT_NEAR(plan.page.height_inches(), 3.4898, 1e-4);
    EXPECT_EQ(plan.page.frame.xmin, 500000);
    EXPECT_EQ(plan.page.frame.xmax, 500300);
    EXPECT_EQ(plan.page.frame.ymin, 700000);
    EXPECT_EQ(plan.page.frame.ymax, 700100);
}

TEST(page_geometry, tall_box_fits_the_height) {
    const json box = {{"minx", 500000}, {"maxx", 500100}, {"miny", 700000}, {"maxy", 700100}, {"srid", 26332}};
    const auto plan = prepare_plan(hundred_by_fifty(), "P1", nullptr, "parcel_number", box);
    EXPECT_DOUBLE_EQ(plan.page.target_height_mm, 152);
    EXPECT_DOUBLE_EQ(plan.page.target_width_mm, 152);
}

TEST(page_geometry, unusable_boxes_fall_back_to_the_default_window) {
    const json unusable[] = {
        nullptr,
        json::object(),
        {{"minx", 500000}, {"maxx", 500300}, {"miny", 700000}, {"maxy", 700100}},
        {{"minx", 500000}, {"maxx", 500300}, {"miny", 700000}, {"srid", 26332}},
        json::array({1, 2, 3, 4}),
    };
    for (const json& box : unusable) {
        const log_capture log;
        const auto plan = prepare_plan(hundred_by_fifty(), "P1", nullptr, "parcel_number", box);
        EXPECT_EQ(plan.page.scale, 1000) << box.dump();
        EXPECT_NEAR(plan.page.frame.xmin, e0 + 50 - 132.96, 1e-6) << box.dump();
        EXPECT_EQ(log.lines().size(), 3u) << box.dump();
    }
}

TEST(page_geometry, boxes_without_extent_are_rejected) {
    const json boxes[] = {
        {{"minx", 500000}, {"maxx", 500000}, {"miny", 700000}, {"maxy", 700100}, {"srid", 26332}},
        {{"minx", 500000}, {"maxx", 500300}, {"miny", 700100}, {"maxy", 700000}, {"srid", 26332}},
    };
    for (const json& box : boxes) {
        try {
            plots::generate_plot(hundred_by_fifty(), "P1", nullptr, "parcel_number", box);
            ADD_FAILURE() << "no error for " << box.dump();
        } catch (const plots::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Bounding box dimensions must be positive.");
        }
    }
}

TEST(page_geometry, geographic_box_is_transformed_longitude_first) {
    // Around 9 degrees east, the central meridian of the plan's zone, and 6.3 degrees north.
    const json box = {{"minx", 9.0}, {"maxx", 9.002}, {"miny", 6.3}, {"maxy", 6.301}, {"srid", 4326}};
    const auto plan = prepare_plan(hundred_by_fifty(), "P1", nullptr, "parcel_number", box);
    // Easting near 500 km, northing near 697 km; swapped axes would give the reverse.
    EXPECT_NEAR(plan.page.frame.xmin, 500000, 500);
    EXPECT_NEAR(plan.page.frame.ymin, 696700, 1000);
    EXPECT_NEAR(plan.page.frame.xmax - plan.page.frame.xmin, 221, 3);
    EXPECT_NEAR(plan.page.frame.ymax - plan.page.frame.ymin, 110.6, 2);
}

TEST(page_geometry, unknown_srid_names_the_system) {
    const json box = {{"minx", 0}, {"maxx", 1}, {"miny", 0}, {"maxy", 1}, {"srid", 999999}};
    try {
        prepare_plan(hundred_by_fifty(), "P1", nullptr, "parcel_number", box);
        FAIL() << "no error";
    } catch (const plots::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("EPSG:999999"), std::string::npos) << e.what();
    }
}

}  // namespace
