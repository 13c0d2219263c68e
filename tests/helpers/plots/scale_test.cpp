#include "plots.hpp"

#include "fixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using plots_test::log_capture;

struct scale_case {
    const char* name;
    double width_m;
    double height_m;
    std::vector<double> paper;  // empty: defaults; else paper width, height, margin
    int expected;
    const char* last_log;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const scale_case& c, std::ostream* os) { *os << c.name; }

class recommended_scale : public testing::TestWithParam<scale_case> {};

TEST_P(recommended_scale, picks_the_expected_scale_and_logs_it) {
    const scale_case& c = GetParam();
    const log_capture log;
    const int scale = c.paper.empty()
                          ? plots::get_recommended_scale(c.width_m, c.height_m)
                          : plots::get_recommended_scale(c.width_m, c.height_m, c.paper[0], c.paper[1], c.paper[2]);
    EXPECT_EQ(scale, c.expected);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Searching for recommended scale...");
    EXPECT_EQ(lines[1], c.last_log);
}

INSTANTIATE_TEST_SUITE_P(
    worked_examples, recommended_scale,
    testing::Values(
        scale_case{"width_decides_250_skipped", 100, 50, {}, 500, "Found scale: 500"},
        scale_case{"height_decides", 300, 300, {}, 2000, "Found scale: 2000"},
        scale_case{"tall_survey_not_turned", 60, 120, {}, 1000, "Found scale: 1000"},
        scale_case{"narrow_tall_survey_not_turned", 50, 300, {}, 2000, "Found scale: 2000"},
        scale_case{"raw_scale_equal_to_250_is_skipped", 69.25, 30, {}, 500, "Found scale: 500"},
        scale_case{"tiny_survey_gets_smallest_standard", 0.001, 0.001, {}, 250, "Found scale: 250"},
        scale_case{"beyond_standard_list", 10000, 1000, {}, 38000, "Final raw scale: 37605.29482551143"},
        scale_case{"fallback_with_integral_raw_scale", 6925, 4750, {}, 32000, "Final raw scale: 31250.0"},
        scale_case{"largest_standard", 6000, 3000, {}, 25000, "Found scale: 25000"},
        scale_case{"swapped_paper_sizes", 100, 50, {297, 210, 10}, 500, "Found scale: 500"},
        scale_case{"swapped_paper_tall_survey", 60, 120, {297, 210, 10}, 1000, "Found scale: 1000"},
        scale_case{"explicit_defaults", 300, 300, {210, 297, 10}, 2000, "Found scale: 2000"},
        scale_case{"wider_margin_needs_larger_scale", 130, 80, {210, 297, 60}, 2000, "Found scale: 2000"}),
    [](const testing::TestParamInfo<scale_case>& info) { return info.param.name; });

struct bad_scale_case {
    const char* name;
    double width_m;
    double height_m;
    double paper_w;
    double paper_h;
    double margin;
    const char* message_part;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const bad_scale_case& c, std::ostream* os) { *os << c.name; }

class recommended_scale_rejects : public testing::TestWithParam<bad_scale_case> {};

TEST_P(recommended_scale_rejects, with_invalid_argument_after_the_first_log_line) {
    const bad_scale_case& c = GetParam();
    const log_capture log;
    try {
        plots::get_recommended_scale(c.width_m, c.height_m, c.paper_w, c.paper_h, c.margin);
        FAIL() << "no error";
    } catch (const plots::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Searching for recommended scale..."});
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    invalid_inputs, recommended_scale_rejects,
    testing::Values(
        bad_scale_case{"zero_width", 0, 50, 210, 297, 10, "Survey dimensions must be positive."},
        bad_scale_case{"negative_height", 100, -1, 210, 297, 10, "Survey dimensions must be positive."},
        bad_scale_case{"both_zero", 0, 0, 210, 297, 10, "Survey dimensions must be positive."},
        bad_scale_case{"nan_width", nan, 50, 210, 297, 10, "finite"},
        bad_scale_case{"infinite_height", 100, inf, 210, 297, 10, "finite"},
        bad_scale_case{"margin_of_half_the_short_side", 100, 50, 210, 297, 105, "leaves no usable area"},
        bad_scale_case{"margin_beyond_the_sheet", 100, 50, 210, 297, 200, "leaves no usable area"},
        bad_scale_case{"nan_margin", 100, 50, 210, 297, nan, "finite"}),
    [](const testing::TestParamInfo<bad_scale_case>& info) { return info.param.name; });

TEST(recommended_scale_overflow, is_refused_after_logging_the_raw_scale) {
    const log_capture log;
    EXPECT_THROW(plots::get_recommended_scale(1e300, 1e300), plots::invalid_argument);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Final raw scale: 6.578947368421052e+300");
}

}  // namespace
