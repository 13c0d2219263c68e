// Tile address validation and the statement time-limit by zoom.

#include "routers/vectile/tiles.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <cstdint>
#include <limits>

namespace {

struct coords_case {
    std::int64_t z, x, y;
    bool valid;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const coords_case& c, std::ostream* os) { *os << c.z << "/" << c.x << "/" << c.y; }

class tile_coords : public testing::TestWithParam<coords_case> {};

TEST_P(tile_coords, are_valid_exactly_for_zoom_1_to_20_and_x_y_below_two_to_the_zoom) {
    const auto& c = GetParam();
    EXPECT_EQ(vectile::validate_tile_coords(c.z, c.x, c.y), c.valid) << "z=" << c.z << " x=" << c.x << " y=" << c.y;
}

constexpr std::int64_t big = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(table, tile_coords,
                         testing::Values(coords_case{0, 0, 0, false},     // zoom 0 is not served
                                         coords_case{1, 0, 0, true}, coords_case{1, 1, 1, true}, coords_case{1, 2, 0, false},
                                         coords_case{3, 7, 7, true}, coords_case{3, 8, 0, false}, coords_case{3, 0, 8, false},
                                         coords_case{3, -1, 0, false}, coords_case{3, 0, -1, false},
                                         coords_case{20, 1048575, 1048575, true}, coords_case{20, 1048576, 0, false},
                                         coords_case{21, 0, 0, false}, coords_case{-1, 0, 0, false},
                                         coords_case{63, 0, 0, false}, coords_case{64, 0, 0, false}, coords_case{big, 0, 0, false},
                                         coords_case{-big, 0, 0, false}, coords_case{14, big, 0, false}));

TEST(tile_timeout, grows_with_zoom_band) {
    struct row {
        std::int64_t zoom;
        int seconds;
    };
    const row table[] = {{1, 10},  {6, 10},  {7, 12},  {10, 12}, {11, 15},
                         {14, 15}, {15, 20}, {16, 20}, {17, 30}, {20, 30}};
    for (const auto& r : table) EXPECT_EQ(vectile::tile_timeout(r.zoom), std::chrono::seconds(r.seconds)) << "zoom " << r.zoom;
}

}  // namespace
