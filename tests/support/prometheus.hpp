#pragma once
// Reading a Prometheus text exposition (format 0.0.4) back, checking its form.

#include <map>
#include <string>
#include <string_view>

namespace test_support {

// Each sample's value under its series text as written ("name{a=\"b\"}").
// Throws std::runtime_error naming the line when a line is not a comment or
// a sample, a sample's metric has no TYPE line before it, a histogram's
// buckets decrease, or its _count differs from its +Inf bucket.
std::map<std::string, double> parse_exposition(std::string_view text);

}  // namespace test_support
