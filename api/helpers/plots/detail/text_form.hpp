#pragma once
// How values of the input records become label text.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace plots::detail {

// The shortest decimal form of `value` that reads back to the same double,
// always with a decimal point or an exponent: 45 gives "45.0", 37605.29482551143
// stays as it is, 1e22 gives "1e+22", 0.0001 gives "0.0001" and 1e-05 "1e-05".
std::string real_text(double value);

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
