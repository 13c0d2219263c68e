#pragma once

#include <cstdint>
#include <vector>

namespace plots::detail {

// Pixels as cairo keeps an RGB24 image: rows of 32-bit native-endian words
// 0x00RRGGBB, `stride` bytes apart. Not owned.
struct rgb24_image {
    const unsigned char* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

// Encodes `image` as an 8-bit RGB PNG whose pHYs chunk states `dots_per_inch`,
// with settings tuned for plans, which are mostly white (see the .cpp).
// Throws plots::error if libpng fails.
std::vector<std::uint8_t> encode_png(const rgb24_image& image, double dots_per_inch);

}  // namespace plots::detail
