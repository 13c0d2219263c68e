#include "detail/png_encoder.hpp"

#include "plots.hpp"

#include <png.h>
#include <zlib.h>

#include <bit>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <string>

namespace plots::detail {
namespace {

struct write_state {
    std::vector<std::uint8_t>* out = nullptr;
    bool out_of_memory = false;
};

void append_bytes(png_structp png, png_bytep data, size_t length) {
    auto* state = static_cast<write_state*>(png_get_io_ptr(png));
    try {
        state->out->insert(state->out->end(), data, data + length);
    } catch (...) {
        state->out_of_memory = true;
    }
    // Outside the handler: png_error leaves by longjmp.
    if (state->out_of_memory) {
        png_error(png, "out of memory");
    }
}

void flush_nothing(png_structp) {}

[[noreturn]] void raise_png_error(png_structp png, png_const_charp message) {
    // Back to the setjmp in write_rows; libpng's frames have nothing to unwind.
    *static_cast<std::string*>(png_get_error_ptr(png)) = message != nullptr ? message : "unknown error";
    png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

// Turns one row of cairo's 0x00RRGGBB words into R, G, B bytes. Each pixel
// is stored as four bytes whose last one the next pixel overwrites, so `rgb`
// needs one byte of room past width * 3. Several times faster than libpng's
// byte-wise filler and swap transforms.
void convert_row(const unsigned char* words, png_bytep rgb, int width) {
    for (int x = 0; x < width; ++x) {
        std::uint32_t pixel = 0;
        std::memcpy(&pixel, words + 4 * x, sizeof pixel);
        std::uint32_t bytes = pixel << 8;  // 0xRRGGBB00
        if constexpr (std::endian::native == std::endian::little) {
            bytes = __builtin_bswap32(bytes);  // R, G, B, 0 in memory
        }
        std::memcpy(rgb + 3 * x, &bytes, sizeof bytes);
    }
}

// Runs the whole write under one setjmp. Only plain C values live in this
// frame, so leaving it by longjmp skips no destructor; `row` is the caller's
// buffer of width * 3 + 1 bytes.
bool write_rows(png_structp png, png_infop info, const rgb24_image& image, png_uint_32 pixels_per_metre,
                png_bytep row) {
    if (setjmp(png_jmpbuf(png)) != 0) {
        return false;
    }
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_pHYs(png, info, pixels_per_metre, pixels_per_metre, PNG_RESOLUTION_METER);
    // Chosen by measuring plans, which are mostly long white runs: zlib's
    // fastest level on unfiltered rows costs the fewest instructions (the
    // "up" and "sub" filters cost more to compute than they save, run-length
    // matching is slower still), and a smaller zlib memory level trims
    // another sixth for a file a few per cent larger.
    png_set_compression_level(png, Z_BEST_SPEED);
    png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
    png_set_compression_mem_level(png, 4);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_buffer_size(png, 1 << 16);
    png_write_info(png, info);

    for (int y = 0; y < image.height; ++y) {
        const unsigned char* words = image.data + static_cast<std::ptrdiff_t>(y) * image.stride;
        convert_row(words, row, image.width);
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

std::vector<std::uint8_t> encode_png(const rgb24_image& image, double dots_per_inch) {
    std::string error_message;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error_message, raise_png_error, ignore_warning);
    if (png == nullptr) {
        throw plots::error("libpng cannot create a writer");
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        throw plots::error("libpng cannot create an info block");
    }

    std::vector<std::uint8_t> out;
    // A plan compresses to a few per cent of its pixels.
    out.reserve(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) / 16 + 1024);
    write_state state{&out, false};
    png_set_write_fn(png, &state, append_bytes, flush_nothing);

    const auto pixels_per_metre = static_cast<png_uint_32>(std::lround(dots_per_inch / 0.0254));
    std::vector<png_byte> row(static_cast<std::size_t>(image.width) * 3 + 1);
    const bool written = write_rows(png, info, image, pixels_per_metre, row.data());
    png_destroy_write_struct(&png, &info);
    if (state.out_of_memory) {
        throw std::bad_alloc();
    }
    if (!written) {
        throw plots::error("libpng failed to write the image: " + error_message);
    }
    return out;
}

}  // namespace plots::detail
