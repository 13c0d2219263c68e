#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace plots::detail {

// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string encode_base64(std::span<const std::uint8_t> bytes);

}  // namespace plots::detail
