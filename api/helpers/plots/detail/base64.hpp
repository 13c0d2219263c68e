#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace plots::detail {

// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string encode_base64(std::span<const std::uint8_t> bytes);

// The bytes of standard base64 text; decoding stops at the first character
// outside the alphabet (the "=" padding).
std::string decode_base64(std::string_view text);

}  // namespace plots::detail
