// Tile math and the text of reals, against values worked out by hand or
// published for the XYZ scheme.

#include "helpers/utils/utils.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "helpers/utils/text.hpp"

namespace {

using namespace helpers::utils;
constexpr double o = web_mercator_origin;

TEST(latlon_to_xyz, finds_the_tile_holding_the_point) {
    struct row {
        double lat, lon;
        int zoom;
        int x, y;
    };
    const row table[] = {
        {51.5074, -0.1278, 10, 511, 340},  // London, the scheme's own worked example
        {0, 0, 1, 1, 1},                   // the centre belongs to the south-east quarter
        {0, 0, 0, 0, 0},
        {89.9, -180, 3, 0, 0},             // beyond the Mercator limit: the edge row
        {-90, 180, 2, 3, 3},               // the antimeridian and the south pole: the last tile
        {85.0511287798066, 179.999999, 20, (1 << 20) - 1, 0},
    };
    for (const auto& r : table) {
        EXPECT_EQ(latlon_to_xyz(r.lat, r.lon, r.zoom), (nlohmann::ordered_json{{"x", r.x}, {"y", r.y}, {"z", r.zoom}}))
            << r.lat << ", " << r.lon << " at " << r.zoom;
    }
    EXPECT_THROW(latlon_to_xyz(0, 0, 31), std::invalid_argument);
    EXPECT_THROW(latlon_to_xyz(0, 0, -1), std::invalid_argument);
    EXPECT_THROW(latlon_to_xyz(std::nan(""), 0, 5), std::invalid_argument);
    EXPECT_THROW(latlon_to_xyz(0, std::numeric_limits<double>::infinity(), 5), std::invalid_argument);
}

TEST(xyz_to_bbox_web_mercator, gives_the_bounds_in_metres_with_y_from_the_north) {
    struct row {
        int z, x, y;
        double minx, miny, maxx, maxy;
    };
    const row table[] = {
        {0, 0, 0, -o, -o, o, o},
        {1, 0, 0, -o, 0, 0, o},
        {1, 1, 1, 0, -o, o, 0},
        {2, 1, 2, -o / 2, -o / 2, 0, 0},
    };
    for (const auto& r : table) {
        const auto b = xyz_to_bbox_web_mercator(r.z, r.x, r.y);
        EXPECT_EQ(b.dump(), (nlohmann::ordered_json{{"minx", r.minx}, {"miny", r.miny}, {"maxx", r.maxx}, {"maxy", r.maxy}}).dump())
            << r.z << "/" << r.x << "/" << r.y;
        const auto t = tile_address::from(r.z, r.x, r.y);
        ASSERT_TRUE(t.has_value());
        EXPECT_EQ(to_json(tile_bounds(*t)), b);
    }
    EXPECT_THROW(xyz_to_bbox_web_mercator(31, 0, 0), std::invalid_argument);
}

TEST(tile_address, accepts_exactly_the_tiles_of_the_scheme) {
    struct row {
        std::int64_t z, x, y;
        bool valid;
    };
    const row table[] = {{0, 0, 0, true},   {0, 1, 0, false},        {3, 7, 7, true},          {3, 8, 0, false},
                         {3, 0, -1, false}, {30, (1 << 30) - 1, 0, true}, {31, 0, 0, false}, {-1, 0, 0, false},
                         {20, std::int64_t{1} << 40, 0, false}};
    for (const auto& r : table) {
        auto t = tile_address::from(r.z, r.x, r.y);
        EXPECT_EQ(t.has_value(), r.valid) << r.z << "/" << r.x << "/" << r.y;
        if (t) {
            EXPECT_EQ((std::array<int, 3>{t->z, t->x, t->y}), (std::array<int, 3>{int(r.z), int(r.x), int(r.y)}));
        }
    }
}

TEST(real_text, is_the_shortest_round_trip_form_with_a_decimal_point) {
    struct example {
        double value;
        const char* text;
    };
    for (const example& e : {example{45, "45.0"}, example{31250, "31250.0"}, example{37605.29482551143, "37605.29482551143"},
                             example{0.1, "0.1"}, example{-2.5, "-2.5"}, example{-0.0, "-0.0"}, example{0, "0.0"},
                             example{100000, "100000.0"}, example{1e15, "1000000000000000.0"}, example{1e16, "1e+16"},
                             example{1.5e300, "1.5e+300"}, example{0.0001, "0.0001"}, example{0.00001, "1e-05"},
                             example{1.25e-7, "1.25e-07"}, example{123456.789, "123456.789"}, example{5e-324, "5e-324"},
                             example{std::numeric_limits<double>::infinity(), "inf"},
                             example{-std::numeric_limits<double>::infinity(), "-inf"}, example{std::nan(""), "nan"}}) {
        EXPECT_EQ(real_text(e.value), e.text) << e.text;
        if (std::isfinite(e.value)) {
            EXPECT_EQ(std::strtod(real_text(e.value).c_str(), nullptr), e.value) << e.text;
        }
    }
}

}  // namespace
