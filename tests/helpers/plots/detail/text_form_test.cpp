#include "detail/text_form.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

namespace {

using plots::detail::text_form;
using plots::detail::two_decimals;
using plots::detail::valid_utf8;
using json = nlohmann::ordered_json;

TEST(two_decimals, rounds_the_stored_value_correctly) {
    struct example {
        double value;
        const char* text;
    };
    for (const example& e : {example{12.3, "12.30"}, example{100, "100.00"}, example{12.345, "12.35"},
                             example{1234.5, "1234.50"}, example{-1.5, "-1.50"}, example{-12.345, "-12.35"},
                             example{-0.004, "-0.00"}, example{2.675, "2.67"}, example{0.125, "0.12"},
                             example{0.375, "0.38"}, example{1e21, "1000000000000000000000.00"}}) {
        EXPECT_EQ(two_decimals(e.value), e.text) << e.text;
    }
}

TEST(text_form, of_each_kind_of_value) {
    struct example {
        json value;
        std::optional<std::string> text;
    };
    const example examples[] = {
        {json("SC/1234"), "SC/1234"}, {json(45), "45"},         {json(-7), "-7"},
        {json(45.0), "45.0"},         {json(30.5), "30.5"},     {json(std::uint64_t{18446744073709551615u}), "18446744073709551615"},
        {json(true), "true"},         {json(nullptr), std::nullopt}, {json::array({1, "a"}), R"([1,"a"])"},
        {json(""), ""},
    };
    for (const example& e : examples) {
        EXPECT_EQ(text_form(e.value), e.text) << e.value.dump();
    }
}

TEST(valid_utf8, keeps_good_text_and_replaces_bad_bytes) {
    const std::string replacement = "\xEF\xBF\xBD";
    struct example {
        std::string in;
        std::string out;
    };
    for (const example& e : {example{"m\u00b2 \u6771 \U0001F600", "m\u00b2 \u6771 \U0001F600"},
                             example{"a\xFF" "b", "a" + replacement + "b"},
                             example{"\xC3", replacement},                               // truncated
                             example{"\xC0\xAF", replacement + replacement},             // overlong
                             example{"\xED\xA0\x80", replacement + replacement + replacement},  // surrogate
                             example{"\xF4\x90\x80\x80", replacement + replacement + replacement + replacement}}) {
        EXPECT_EQ(valid_utf8(e.in), e.out);
    }
    EXPECT_EQ(text_form(json(std::string("x\xFF"))), "x" + replacement);
}

}  // namespace
