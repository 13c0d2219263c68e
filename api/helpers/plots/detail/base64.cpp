#include "detail/base64.hpp"

namespace plots::detail {

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.resize((bytes.size() + 2) / 3 * 4);
    std::size_t o = 0;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out[o++] = alphabet[(v >> 18) & 63];
        out[o++] = alphabet[(v >> 12) & 63];
        out[o++] = alphabet[(v >> 6) & 63];
        out[o++] = alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            v |= std::uint32_t{bytes[i + 1]} << 8;
        }
        out[o++] = alphabet[(v >> 18) & 63];
        out[o++] = alphabet[(v >> 12) & 63];
        out[o++] = rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out[o++] = '=';
    }
    return out;
}

}  // namespace plots::detail
