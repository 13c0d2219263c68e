#include "detail/text_form.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <system_error>

namespace plots::detail {

std::string valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (lead < 0x80) {
            length = 1;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07u;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are invalid too.
        constexpr std::array<std::uint32_t, 5> smallest{0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= smallest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

std::optional<std::string> text_form(const nlohmann::ordered_json& value) {
    switch (value.type()) {
    case nlohmann::ordered_json::value_t::null:
        return std::nullopt;
    case nlohmann::ordered_json::value_t::string:
        return valid_utf8(value.get_ref<const std::string&>());
    case nlohmann::ordered_json::value_t::number_float:
        return real_text(value.get<double>());
    default:
        // Integers, booleans, arrays and objects: their JSON text.
        return value.dump();
    }
}

std::string two_decimals(double value) {
    std::array<char, 400> buffer{};
    const auto [end, ec] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, 2);
    if (ec != std::errc{}) {
        return real_text(value);
    }
    return {buffer.data(), end};
}

}  // namespace plots::detail
