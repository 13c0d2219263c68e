#include "detail/labels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace {

using plots::detail::beacon_label;
using plots::detail::font_weight;
using plots::detail::label;
using plots::detail::layout_labels;
using plots::detail::point;

struct corner {
    double x;
    double y;
    double distance;
};

// Beacon records around `corners`, named A, B, C, ... with bearing texts
// "d<i>" and "m<i>" so that each label can be told apart.
std::vector<beacon_label> beacons_of(const std::vector<corner>& corners) {
    std::vector<beacon_label> beacons;
    for (std::size_t i = 0; i < corners.size(); ++i) {
        const corner& next = corners[(i + 1) % corners.size()];
        beacons.push_back({corners[i].x, corners[i].y, next.x, next.y, std::string(1, static_cast<char>('A' + i)),
                           corners[i].distance, "d" + std::to_string(i), "m" + std::to_string(i)});
    }
    return beacons;
}

const label* find(const std::vector<label>& labels, const std::string& text) {
    for (const label& l : labels) {
        if (l.text == text) {
            return &l;
        }
    }
    return nullptr;
}

void expect_label(const std::vector<label>& labels, const std::string& text, double x, double y, double angle) {
    const label* l = find(labels, text);
    ASSERT_NE(l, nullptr) << "no label " << text;
    EXPECT_NEAR(l->position.x, x, 1e-9) << text;
    EXPECT_NEAR(l->position.y, y, 1e-9) << text;
    EXPECT_NEAR(l->angle_deg, angle, 1e-9) << text;
}

std::vector<std::string> texts(const std::vector<label>& labels) {
    std::vector<std::string> out;
    for (const label& l : labels) {
        out.push_back(l.text);
    }
    return out;
}

// The square of 100 m, beacons anticlockwise from the south-west corner.
const std::vector<corner> square{{0, 0, 100}, {100, 0, 100}, {100, 100, 100}, {0, 100, 100}};
constexpr point square_centre{50, 50};

TEST(layout_labels, square_at_1_1000_places_every_label) {
    const auto labels = layout_labels(beacons_of(square), square_centre, 1000, 8, "Plot 7", 10000);
    const double d = 7 / std::sqrt(2.0);

    EXPECT_EQ(texts(labels), (std::vector<std::string>{"A", "100.00m", "d0", "m0", "B", "100.00m", "d1", "m1", "C",
                                                       "100.00m", "d2", "m2", "D", "100.00m", "d3", "m3", "Plot 7",
                                                       "10000.00m\u00b2"}));
    // Names 7 m out along the outward bisector, turned upright.
    expect_label(labels, "A", -d, -d, 45);
    expect_label(labels, "B", 100 + d, -d, -45);
    expect_label(labels, "C", 100 + d, 100 + d, 45);
    // D's outward bisector points up and left (135 degrees): turned to 315, not -45.
    expect_label(labels, "D", -d, 100 + d, 315);
    // South side, due east: length 2 m inside, degrees at a quarter, minutes at three quarters, 2 m outside.
    EXPECT_NEAR(labels[1].position.x, 50, 1e-9);
    EXPECT_NEAR(labels[1].position.y, 2, 1e-9);
    EXPECT_NEAR(labels[1].angle_deg, 0, 1e-9);
    expect_label(labels, "d0", 25, -2, 0);
    expect_label(labels, "m0", 75, -2, 0);
    // East side, due north: not turned.
    expect_label(labels, "d1", 102, 25, 90);
    expect_label(labels, "m1", 102, 75, 90);
    // North side, due west: turned to 360 and read the other way, degrees at three quarters.
    expect_label(labels, "d2", 25, 102, 360);
    expect_label(labels, "m2", 75, 102, 360);
    // West side, due south: not turned.
    expect_label(labels, "d3", -2, 75, -90);
    expect_label(labels, "m3", -2, 25, -90);
    // Parcel label at the centroid, area 4 m below.
    expect_label(labels, "Plot 7", 50, 50, 0);
    expect_label(labels, "10000.00m\u00b2", 50, 46, 0);
}

TEST(layout_labels, sizes_and_weights) {
    const auto labels = layout_labels(beacons_of(square), square_centre, 1000, 8, "Plot 7", 10000);
    struct expected {
        std::size_t index;
        double size;
        font_weight weight;
    };
    for (const expected& e : {expected{0, 8, font_weight::normal}, expected{1, 8, font_weight::medium},
                              expected{2, 8, font_weight::normal}, expected{3, 8, font_weight::normal},
                              expected{16, 16, font_weight::bold}, expected{17, 8, font_weight::normal}}) {
        EXPECT_EQ(labels.at(e.index).size_pt, e.size) << e.index;
        EXPECT_EQ(labels.at(e.index).weight, e.weight) << e.index;
    }
}

TEST(layout_labels, westward_line_reads_reversed_with_degrees_at_three_quarters) {
    // Clockwise square: the last beacon's line runs due west from (100, 0) to (0, 0).
    const std::vector<corner> clockwise{{0, 0, 100}, {0, 100, 100}, {100, 100, 100}, {100, 0, 100}};
    const auto labels = layout_labels(beacons_of(clockwise), square_centre, 1000, 8, "P", 1);
    expect_label(labels, "d3", 25, -2, 360);
    expect_label(labels, "m3", 75, -2, 360);
    // Its length label stays inside the parcel.
    const auto length = std::find_if(labels.begin(), labels.end(), [](const label& l) {
        return l.text == "100.00m" && std::abs(l.position.y - 2) < 1e-9;
    });
    EXPECT_NE(length, labels.end());
}

struct scale_case {
    int scale;
    double name_distance;
    double min_distance;
    double line_offset;
    double area_offset;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const scale_case& c, std::ostream* os) { *os << "1:" << c.scale; }

class scaled_sizes : public testing::TestWithParam<scale_case> {};

TEST_P(scaled_sizes, follow_paper_millimetres) {
    const scale_case& c = GetParam();
    // A long east-west line labelled at every scale, and a short one exactly at the threshold.
    const std::vector<corner> corners{{0, 0, c.min_distance}, {c.min_distance, 0, 1e6}, {c.min_distance / 2, 1e4, 1e6}};
    const auto beacons = beacons_of(corners);
    const point centre{c.min_distance / 2, 3000};
    const auto labels = layout_labels(beacons, centre, c.scale, 8, "P", 1);

    // The first beacon's name lies name_distance from it.
    const label* a = find(labels, "A");
    ASSERT_NE(a, nullptr);
    EXPECT_NEAR(std::hypot(a->position.x, a->position.y), c.name_distance, 1e-9);
    // The threshold is inclusive, and the labels sit line_offset off the line.
    expect_label(labels, "d0", c.min_distance * 0.25, -c.line_offset, 0);
    const label* area = find(labels, "1.00m\u00b2");
    ASSERT_NE(area, nullptr);
    EXPECT_NEAR(area->position.y, centre.y - c.area_offset, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(scales, scaled_sizes,
                         testing::Values(scale_case{500, 6.5, 10, 1, 2}, scale_case{1000, 7, 20, 2, 4},
                                         scale_case{250, 3.25, 5, 0.5, 1}, scale_case{5000, 35, 100, 10, 20}),
                         [](const testing::TestParamInfo<scale_case>& info) {
                             return "scale_" + std::to_string(info.param.scale);
                         });

TEST(layout_labels, short_lines_get_no_length_or_bearing) {
    // Stated distances 19.99 (below 20 m at 1:1000) and 20 (exactly at it); the geometry is the same.
    std::vector<corner> corners = square;
    corners[0].distance = 19.99;
    corners[1].distance = 20;
    const auto labels = layout_labels(beacons_of(corners), square_centre, 1000, 8, std::nullopt, 1);
    EXPECT_NE(find(labels, "A"), nullptr);
    EXPECT_EQ(find(labels, "d0"), nullptr);
    EXPECT_EQ(find(labels, "m0"), nullptr);
    EXPECT_EQ(find(labels, "19.99m"), nullptr);
    EXPECT_NE(find(labels, "20.00m"), nullptr);
    EXPECT_NE(find(labels, "d1"), nullptr);
}

TEST(layout_labels, collinear_neighbours_put_the_name_perpendicular_away_from_the_centroid) {
    const std::vector<corner> corners{{0, 0, 50}, {50, 0, 50}, {100, 0, 50}, {100, 50, 100}, {0, 50, 50}};
    const auto labels = layout_labels(beacons_of(corners), {50, 25}, 1000, 8, "P", 1);
    // Straight down from (50, 0); -90 is not turned.
    expect_label(labels, "B", 50, -7, -90);
}

TEST(layout_labels, zero_length_lines_skip_undefined_labels) {
    // B sits on A: A's line to B and B's line from A have no direction.
    const std::vector<corner> corners{{0, 0, 0}, {0, 0, 100}, {100, 0, 100}, {100, 100, 100}};
    const auto labels = layout_labels(beacons_of(corners), {60, 40}, 1000, 8, "P", 1);
    EXPECT_EQ(find(labels, "A"), nullptr);
    EXPECT_EQ(find(labels, "B"), nullptr);
    EXPECT_EQ(find(labels, "d0"), nullptr);
    // B's own line to C is fine, and so is everything of C and D.
    EXPECT_NE(find(labels, "d1"), nullptr);
    EXPECT_NE(find(labels, "C"), nullptr);
    EXPECT_NE(find(labels, "D"), nullptr);
    for (const label& l : labels) {
        EXPECT_TRUE(std::isfinite(l.position.x) && std::isfinite(l.position.y) && std::isfinite(l.angle_deg)) << l.text;
    }

    // A boundary of one beacon: only the parcel label and the area.
    const auto single = layout_labels(beacons_of({{5, 5, 0}}), {0, 0}, 1000, 8, "P", 1);
    EXPECT_EQ(texts(single), (std::vector<std::string>{"P", "1.00m\u00b2"}));
}

TEST(layout_labels, null_texts_draw_nothing) {
    auto beacons = beacons_of(square);
    beacons[0].name.reset();
    beacons[0].bearing_deg.reset();
    beacons[1].bearing_min.reset();
    const auto labels = layout_labels(beacons, square_centre, 1000, 8, std::nullopt, 1);
    EXPECT_EQ(find(labels, "A"), nullptr);
    EXPECT_EQ(find(labels, "d0"), nullptr);
    EXPECT_NE(find(labels, "m0"), nullptr);
    EXPECT_EQ(find(labels, "m1"), nullptr);
    EXPECT_NE(find(labels, "d1"), nullptr);
    EXPECT_EQ(labels.back().text, "1.00m\u00b2");
    EXPECT_EQ(labels.size(), 14u);  // 18 less a name, two bearings and the parcel label
}

TEST(layout_labels, distances_and_area_take_two_decimals) {
    std::vector<corner> corners = square;
    corners[0].distance = 12.345;
    corners[1].distance = 12.3;
    corners[2].distance = 100;
    corners[3].distance = 100.125;
    // At 1:500 lines of 10 m and more are labelled.
    const auto labels = layout_labels(beacons_of(corners), square_centre, 500, 9, "P", 1234.5);
    for (const char* text : {"12.35m", "12.30m", "100.00m", "100.12m"}) {
        EXPECT_NE(find(labels, text), nullptr) << text;
    }
    EXPECT_EQ(labels.back().text, "1234.50m\u00b2");
}

}  // namespace
