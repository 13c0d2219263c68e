// Bytes that are not a vector tile never become a MapLibre Tile: each kind of
// damage is refused with mvt_format_error. (Well-formed tiles are checked
// against the npm decoders in tests/web/tiles.test.mjs.)

#include "routers/vectile/mlt_encoder.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <protozero/pbf_writer.hpp>

namespace {

// An MVT of one layer with one feature of `type`, `geometry` and `tags`, and one key and value.
std::string tile_with(std::uint32_t type, const std::vector<std::uint32_t>& geometry, const std::vector<std::uint32_t>& tags) {
    std::string layer;
    {
        protozero::pbf_writer l(layer);
        l.add_uint32(15, 2);
        l.add_string(1, "plots");
        {
            protozero::pbf_writer f(l, 2);
            f.add_packed_uint32(2, tags.begin(), tags.end());
            f.add_enum(3, static_cast<std::int32_t>(type));
            f.add_packed_uint32(4, geometry.begin(), geometry.end());
        }
        l.add_string(3, "STATUS");
        {
            protozero::pbf_writer v(l, 4);
            v.add_string(1, "Approved");
        }
        l.add_uint32(5, 4096);
    }
    std::string tile;
    protozero::pbf_writer t(tile);
    t.add_message(3, layer);
    return tile;
}

constexpr std::uint32_t move_to_1 = (1 << 3) | 1, line_to_2 = (2 << 3) | 2, close = (1 << 3) | 7;
const std::vector<std::uint32_t> square{move_to_1, 0, 0, line_to_2, 20, 0, 0, 20, close};

TEST(mvt_to_mlt, a_sound_tile_converts_and_damage_is_refused) {
    EXPECT_FALSE(vectile::mvt_to_mlt(tile_with(3, square, {0, 0})).empty());
    EXPECT_TRUE(vectile::mvt_to_mlt("").empty()) << "no layers, no blocks";

    const std::string sound = tile_with(3, square, {0, 0});
    struct row {
        const char* name;
        std::string bytes;
    };
    const row table[] = {
        {"truncated", sound.substr(0, sound.size() - 5)},
        {"tag past the keys", tile_with(3, square, {1, 0})},
        {"tag past the values", tile_with(3, square, {0, 3})},
        {"odd tags", tile_with(3, square, {0})},
        {"unknown command", tile_with(3, {(1 << 3) | 5, 0, 0}, {})},
        {"parameters missing", tile_with(2, {(3 << 3) | 1, 0, 0}, {})},
        {"line before a move", tile_with(2, {line_to_2, 2, 2, 4, 4}, {})},
        {"close outside a polygon", tile_with(2, {move_to_1, 0, 0, close}, {})},
        {"not protobuf", std::string("\x1a\xff\xff\xff\xff\x0f", 6)},
    };
    for (const auto& r : table) {
        EXPECT_THROW(vectile::mvt_to_mlt(r.bytes), vectile::mvt_format_error) << r.name;
    }
}

}  // namespace
