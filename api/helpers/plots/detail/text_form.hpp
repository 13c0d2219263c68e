#pragma once
// How values of the input records become label text.

#include <nlohmann/json.hpp>

#include "helpers/utils/text.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace plots::detail {

using helpers::utils::real_text;

// The text form of a record value: text unchanged (but for malformed UTF-8,
// see valid_utf8), an integer in decimal
// digits, a real as real_text, true and false as such, arrays and objects as
// compact JSON. Null has no text form: returns nullopt, and such a label is
// not drawn.
std::optional<std::string> text_form(const nlohmann::ordered_json& value);

// `text` with every byte that does not belong to a well-formed UTF-8
// sequence replaced by U+FFFD, so that the text can be drawn.
std::string valid_utf8(std::string_view text);

// `value` in fixed point with exactly two decimals, correctly rounded from the
// stored double ("12.35" for 12.345, "-0.50" for -0.5).
std::string two_decimals(double value);

}  // namespace plots::detail
