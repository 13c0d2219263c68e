#include "helpers/utils/text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace helpers::utils {

std::string real_text(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // std::to_chars gives the shortest round-trip digits; the layout (fixed
    // below 1e16 and from 1e-4 up, scientific otherwise) is chosen here so
    // that the form does not flip to an exponent for values like 100000.
    std::array<char, 64> buffer{};
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                         std::chars_format::scientific);
    if (ec != std::errc{}) {
        return "nan";
    }
    const std::string scientific(buffer.data(), end);
    const std::size_t e_pos = scientific.find('e');
    const int exponent = std::atoi(scientific.c_str() + e_pos + 1);
    std::string sign;
    std::string digits;
    for (std::size_t i = 0; i < e_pos; ++i) {
        const char c = scientific[i];
        if (c == '-') {
            sign = "-";
        } else if (c != '.') {
            digits.push_back(c);
        }
    }

    if (exponent < -4 || exponent >= 16) {
        std::string out = sign + digits.substr(0, 1);
        if (digits.size() > 1) {
            out += "." + digits.substr(1);
        }
        const int magnitude = std::abs(exponent);
        out += exponent < 0 ? "e-" : "e+";
        if (magnitude < 10) {
            out += "0";
        }
        return out + std::to_string(magnitude);
    }
    if (exponent < 0) {
        return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
        return sign + digits + std::string(integer_digits - digits.size(), '0') + ".0";
    }
    return sign + digits.substr(0, integer_digits) + "." + digits.substr(integer_digits);
}

}  // namespace helpers::utils
