// The per-zoom detail rules and each layer's minimum zoom.

#include "routers/vectile/zoom.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <optional>
#include <string>

namespace {

using vectile::get_zoom_config;
using vectile::zoom_config;

constexpr zoom_config band1{2000, 1000, 512, 7200};
constexpr zoom_config band2{1000, 2000, 256, 7200};
constexpr zoom_config band3{500, 3000, 256, 7200};
constexpr zoom_config band4{500, 1200, 256, 7200};
constexpr zoom_config band5{500, 1500, 256, 1800};
constexpr zoom_config band6{0, 1500, 16, 1800};
constexpr zoom_config band7{0, 3000, 8, 1800};
constexpr zoom_config band8{0, 15000, 8, 1800};

std::string describe(const std::optional<zoom_config>& c) {
    if (!c) return "nothing";
    return "{" + std::to_string(c->tolerance) + ", " + std::to_string(c->feature_limit) + ", " + std::to_string(c->buffer) + ", " +
           std::to_string(c->cache_ttl) + "}";
}

TEST(get_zoom_config, every_zoom_falls_into_its_band) {
    // An unregistered name has minimum zoom 0, so this walks the bare bands.
    const std::optional<zoom_config> expected[] = {
        band1, band1, band1, band1, band1,  // 0..4
        band2, band2,                       // 5..6
        band3, band3,                       // 7..8
        band4, band4,                       // 9..10
        band5, band5,                       // 11..12
        band6, band6,                       // 13..14
        band7, band7,                       // 15..16
        band8, band8, band8, band8,         // 17..20
    };
    for (int zoom = 0; zoom <= 20; ++zoom) {
        EXPECT_EQ(describe(get_zoom_config(zoom, "no_such_layer")), describe(expected[zoom])) << "zoom " << zoom;
    }
    // Band 8 has no upper bound.
    EXPECT_EQ(describe(get_zoom_config(30, "no_such_layer")), describe(band8));
    EXPECT_EQ(describe(get_zoom_config(1000, "plots")), describe(band8));
}

struct minimum_case {
    const char* layer;
    int below;  // the highest zoom without a configuration
    zoom_config at_minimum;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const minimum_case& c, std::ostream* os) { *os << c.layer; }

class layer_minimum : public testing::TestWithParam<minimum_case> {};

TEST_P(layer_minimum, nothing_below_the_minimum_and_the_band_from_it) {
    const auto& c = GetParam();
    for (int zoom = -1; zoom <= c.below; ++zoom) {
        EXPECT_EQ(get_zoom_config(zoom, c.layer), std::nullopt) << c.layer << " at zoom " << zoom;
    }
    EXPECT_EQ(describe(get_zoom_config(c.below + 1, c.layer)), describe(c.at_minimum));
    EXPECT_EQ(describe(get_zoom_config(20, c.layer)), describe(band8));
}

INSTANTIATE_TEST_SUITE_P(registry, layer_minimum,
                         testing::Values(minimum_case{"lgas", 1, band1}, minimum_case{"districts", 2, band1},
                                         minimum_case{"cadzones", 3, band1}, minimum_case{"plots", 7, band3},
                                         minimum_case{"beacons", 11, band5}),
                         [](const testing::TestParamInfo<minimum_case>& info) { return std::string(info.param.layer); });

TEST(get_zoom_config, names_are_matched_case_sensitively_and_unknown_names_start_at_zero) {
    // "Plots" is not the plots layer, so its minimum is 0 and zoom 5 is configured.
    EXPECT_EQ(describe(get_zoom_config(5, "Plots")), describe(band2));
    EXPECT_EQ(get_zoom_config(5, "plots"), std::nullopt);
    EXPECT_EQ(describe(get_zoom_config(0, "")), describe(band1));
    EXPECT_EQ(get_zoom_config(-1, ""), std::nullopt);
    EXPECT_EQ(describe(get_zoom_config(5, "cadzones")), describe(band2));
}

TEST(get_zoom_config, returns_a_fresh_record_the_caller_may_change) {
    auto first = get_zoom_config(14, "plots");
    ASSERT_TRUE(first);
    first->feature_limit = 1;
    EXPECT_EQ(describe(get_zoom_config(14, "plots")), describe(band6));
}

}  // namespace
