#include "routers/vectile/mlt_encoder.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include <protozero/exception.hpp>
#include <protozero/pbf_reader.hpp>

namespace vectile {

namespace {

// ------------------------------------------------------------------ reading MVT

using value = std::variant<std::string, float, double, std::int64_t, std::uint64_t, bool>;

enum geometry_type : std::uint32_t { point = 0, linestring = 1, polygon = 2, multipoint = 3, multilinestring = 4, multipolygon = 5 };

struct vertex {
    std::int32_t x, y;
};

// A feature's geometry as MLT lays it out: parts (points, lines or polygons),
// each polygon a list of rings, each line or ring a list of vertices.
struct feature {
    std::optional<std::uint64_t> id;
    geometry_type type = point;
    std::vector<std::vector<std::vector<vertex>>> parts;  // part -> rings (one for a line or point) -> vertices
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tags;
};

struct layer {
    std::string name;
    std::uint32_t extent = 4096;
    std::vector<std::string> keys;
    std::vector<value> values;
    std::vector<feature> features;
};

value read_value(protozero::pbf_reader msg) {
    value v = std::string();
    while (msg.next()) {
        switch (msg.tag()) {
        case 1: v = std::string(msg.get_view()); break;
        case 2: v = msg.get_float(); break;
        case 3: v = msg.get_double(); break;
        case 4: v = msg.get_int64(); break;
        case 5: v = msg.get_uint64(); break;
        case 6: v = msg.get_sint64(); break;
        case 7: v = msg.get_bool(); break;
        default: msg.skip();
        }
    }
    return v;
}

double ring_area(const std::vector<vertex>& ring) {
    double sum = 0;
    for (std::size_t i = 0, j = ring.size() - 1; i < ring.size(); j = i++) {
        sum += static_cast<double>(ring[j].x) * ring[i].y - static_cast<double>(ring[i].x) * ring[j].y;
    }
    return sum;
}

// Decodes the command stream of an MVT geometry of `mvt_type` (1 point, 2 line, 3 polygon).
bool read_geometry(feature& f, std::uint32_t mvt_type, const std::vector<std::uint32_t>& commands) {
    std::int64_t x = 0, y = 0;
    std::vector<std::vector<vertex>> lines;
    std::vector<vertex> points;
    std::size_t i = 0;
    auto zigzag = [](std::uint32_t n) { return static_cast<std::int64_t>(n >> 1) ^ -static_cast<std::int64_t>(n & 1); };
    while (i < commands.size()) {
        const std::uint32_t id = commands[i] & 7, count = commands[i] >> 3;
        ++i;
        if (id == 7) {
            if (mvt_type != 3 || lines.empty()) throw mvt_format_error("ClosePath outside a polygon ring");
            continue;
        }
        if (id != 1 && id != 2) throw mvt_format_error("unknown geometry command " + std::to_string(id));
        if (commands.size() - i < 2ull * count) throw mvt_format_error("geometry command runs past its parameters");
        for (std::uint32_t k = 0; k < count; ++k, i += 2) {
            x += zigzag(commands[i]);
            y += zigzag(commands[i + 1]);
            if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max() ||
                y < std::numeric_limits<std::int32_t>::min() || y > std::numeric_limits<std::int32_t>::max()) {
                throw mvt_format_error("geometry coordinate out of range");
            }
            const vertex v{static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)};
            if (mvt_type == 1) {
                points.push_back(v);
            } else {
                if (id == 1 && k == 0) lines.emplace_back();
                if (lines.empty()) throw mvt_format_error("LineTo before MoveTo");
                lines.back().push_back(v);
            }
        }
    }
    if (mvt_type == 1) {
        if (points.empty()) return false;
        f.type = points.size() == 1 ? point : multipoint;
        for (const auto& p : points) f.parts.push_back({{p}});
        return true;
    }
    if (lines.empty()) return false;
    if (mvt_type == 2) {
        f.type = lines.size() == 1 ? linestring : multilinestring;
        for (auto& l : lines) f.parts.push_back({std::move(l)});
        return true;
    }
    // Polygons: a ring wound like the first starts a polygon, the others are its holes.
    const bool first_positive = ring_area(lines.front()) >= 0;
    for (auto& ring : lines) {
        const double area = ring_area(ring);
        if (f.parts.empty() || ((area >= 0) == first_positive && area != 0)) {
            f.parts.emplace_back();
        }
        f.parts.back().push_back(std::move(ring));
    }
    f.type = f.parts.size() == 1 ? polygon : multipolygon;
    return true;
}

layer read_layer(protozero::pbf_reader msg) {
    layer l;
    while (msg.next()) {
        switch (msg.tag()) {
        case 1: l.name = std::string(msg.get_view()); break;
        case 3: l.keys.emplace_back(msg.get_view()); break;
        case 4: l.values.push_back(read_value(msg.get_message())); break;
        case 5: l.extent = msg.get_uint32(); break;
        case 2: {
            auto fm = msg.get_message();
            feature f;
            std::uint32_t type = 0;
            std::vector<std::uint32_t> commands;
            while (fm.next()) {
                switch (fm.tag()) {
                case 1: f.id = fm.get_uint64(); break;
                case 2: {
                    auto packed = fm.get_packed_uint32();
                    std::vector<std::uint32_t> tags(packed.begin(), packed.end());
                    if (tags.size() % 2 != 0) throw mvt_format_error("odd number of feature tags");
                    for (std::size_t i = 0; i < tags.size(); i += 2) f.tags.emplace_back(tags[i], tags[i + 1]);
                    break;
                }
                case 3: type = fm.get_enum(); break;
                case 4: {
                    auto packed = fm.get_packed_uint32();
                    commands.assign(packed.begin(), packed.end());
                    break;
                }
                default: fm.skip();
                }
            }
            // Features of unknown type or without a geometry are not drawn: left out.
            if (type >= 1 && type <= 3 && read_geometry(f, type, commands)) l.features.push_back(std::move(f));
            break;
        }
        default: msg.skip();
        }
    }
    for (const auto& f : l.features) {
        for (const auto& [k, v] : f.tags) {
            if (k >= l.keys.size() || v >= l.values.size()) throw mvt_format_error("feature tag points past the layer's keys or values");
        }
    }
    return l;
}

// ------------------------------------------------------------------ writing MLT

void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

std::uint64_t zigzag64(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }

void put_string(std::string& out, std::string_view s) {
    put_varint(out, s.size());
    out.append(s);
}

// Stream kinds and encodings, as the format numbers them.
enum : std::uint8_t { present_stream = 0, data_stream = 1, offset_stream = 2, length_stream = 3 };
enum : std::uint8_t { dict_none = 0, dict_single = 1, dict_vertex = 3 };
enum : std::uint8_t { offset_string = 2 };
enum : std::uint8_t { length_geometries = 1, length_parts = 2, length_rings = 3, length_dictionary = 6 };
enum : std::uint8_t { logical_none = 0, logical_componentwise_delta = 2, logical_rle = 3 };
enum : std::uint8_t { physical_none = 0, physical_varint = 2 };

// A stream: its header (kind, encodings, value count, byte length) and its bytes.
void put_stream(std::string& out, std::uint8_t kind, std::uint8_t subtype, std::uint8_t logical, std::uint8_t physical,
                std::size_t count, std::string_view bytes) {
    out.push_back(static_cast<char>((kind << 4) | subtype));
    out.push_back(static_cast<char>((logical << 5) | (logical_none << 2) | physical));
    put_varint(out, count);
    put_varint(out, bytes.size());
    out.append(bytes);
}

void put_varint_stream(std::string& out, std::uint8_t kind, std::uint8_t subtype, const std::vector<std::uint64_t>& values) {
    std::string bytes;
    for (auto v : values) put_varint(bytes, v);
    put_stream(out, kind, subtype, logical_none, physical_varint, values.size(), bytes);
}

// Booleans packed eight to a byte (first in the lowest bit), then byte-RLE:
// a run of 3 to 130 equal bytes as (length - 3, byte), otherwise up to 128
// literal bytes after (256 - count).
void put_boolean_stream(std::string& out, std::uint8_t kind, const std::vector<bool>& bits) {
    std::vector<std::uint8_t> packed((bits.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i]) packed[i / 8] = static_cast<std::uint8_t>(packed[i / 8] | (1u << (i % 8)));
    }
    std::string bytes;
    std::size_t i = 0;
    while (i < packed.size()) {
        std::size_t run = 1;
        while (i + run < packed.size() && run < 130 && packed[i + run] == packed[i]) ++run;
        if (run >= 3) {
            bytes.push_back(static_cast<char>(run - 3));
            bytes.push_back(static_cast<char>(packed[i]));
            i += run;
            continue;
        }
        std::size_t start = i, n = 0;
        while (i < packed.size() && n < 128) {
            if (i + 2 < packed.size() && packed[i] == packed[i + 1] && packed[i] == packed[i + 2]) break;
            ++i;
            ++n;
        }
        bytes.push_back(static_cast<char>(256 - n));
        bytes.append(reinterpret_cast<const char*>(packed.data() + start), n);
    }
    put_stream(out, kind, 0, logical_rle, physical_none, bits.size(), bytes);
}

enum class column_kind { boolean, int32, float32, float64, int64, uint64, text };

// The scalar type numbers of the format for each kind.
std::uint32_t scalar_code(column_kind k) {
    switch (k) {
    case column_kind::boolean: return 0;
    case column_kind::int32: return 3;
    case column_kind::int64: return 5;
    case column_kind::uint64: return 6;
    case column_kind::float32: return 7;
    case column_kind::float64: return 8;
    case column_kind::text: return 9;
    }
    return 9;
}

std::string text_of(const value& v) {
    struct {
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(float f) const { return std::to_string(f); }
        std::string operator()(double d) const { return std::to_string(d); }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(std::uint64_t i) const { return std::to_string(i); }
    } visit;
    return std::visit(visit, v);
}

struct column {
    std::string name;
    std::vector<const value*> cells;  // one per feature, null where absent
};

// The narrowest kind that holds every value of the column with its type.
column_kind kind_of(const column& c) {
    bool text = false, boolean = false, floats = false, doubles = false, ints = false, big_unsigned = false;
    std::int64_t lo = 0, hi = 0;
    for (const value* v : c.cells) {
        if (v == nullptr) continue;
        if (std::holds_alternative<std::string>(*v)) text = true;
        else if (std::holds_alternative<bool>(*v)) boolean = true;
        else if (std::holds_alternative<float>(*v)) floats = true;
        else if (std::holds_alternative<double>(*v)) doubles = true;
        else {
            ints = true;
            std::int64_t i = 0;
            if (const auto* u = std::get_if<std::uint64_t>(v)) {
                if (*u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) big_unsigned = true;
                i = static_cast<std::int64_t>(*u);
            } else {
                i = std::get<std::int64_t>(*v);
            }
            lo = std::min(lo, i);
            hi = std::max(hi, i);
        }
    }
    const int families = int(text) + int(boolean) + int(floats || doubles || ints);
    if (text || families > 1) return column_kind::text;
    if (boolean) return column_kind::boolean;
    if (floats && !doubles && !ints) return column_kind::float32;
    if (floats || doubles) return column_kind::float64;
    if (big_unsigned) return lo < 0 ? column_kind::text : column_kind::uint64;
    if (lo >= std::numeric_limits<std::int32_t>::min() && hi <= std::numeric_limits<std::int32_t>::max()) return column_kind::int32;
    // Clients read 64-bit integers as reals; as reals they keep their value up to 2^53.
    constexpr std::int64_t exact = std::int64_t{1} << 53;
    if (lo >= -exact && hi <= exact) return column_kind::float64;
    return column_kind::int64;
}

double number_of(const value& v) {
    if (const auto* f = std::get_if<float>(&v)) return *f;
    if (const auto* d = std::get_if<double>(&v)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    return static_cast<double>(std::get<std::uint64_t>(v));
}

std::int64_t integer_of(const value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
    return static_cast<std::int64_t>(std::get<std::uint64_t>(v));
}

template <class T>
void put_le(std::string& out, T v) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof(T));  // little-endian hosts only, as the format's reals are
    out.append(bytes, sizeof(T));
}

// A property column's data: its stream count where the format has one, the
// presence stream of a column with gaps, then its values.
void put_column_data(std::string& out, const column& c, column_kind kind, bool nullable) {
    std::vector<const value*> present;
    std::vector<bool> bits;
    for (const value* v : c.cells) {
        bits.push_back(v != nullptr);
        if (v != nullptr) present.push_back(v);
    }
    if (kind == column_kind::text) {
        put_varint(out, nullable ? 4 : 3);
        if (nullable) put_boolean_stream(out, present_stream, bits);
        std::unordered_map<std::string, std::uint64_t> index;
        std::vector<std::uint64_t> offsets, lengths;
        std::string dictionary;
        for (const value* v : present) {
            std::string s = text_of(*v);
            auto [it, added] = index.try_emplace(s, index.size());
            if (added) {
                lengths.push_back(s.size());
                dictionary += s;
            }
            offsets.push_back(it->second);
        }
        put_varint_stream(out, offset_stream, offset_string, offsets);
        put_varint_stream(out, length_stream, length_dictionary, lengths);
        put_stream(out, data_stream, dict_single, logical_none, physical_none, lengths.size(), dictionary);
        return;
    }
    if (nullable) put_boolean_stream(out, present_stream, bits);
    switch (kind) {
    case column_kind::boolean: {
        std::vector<bool> values;
        for (const value* v : present) values.push_back(std::get<bool>(*v));
        put_boolean_stream(out, data_stream, values);
        break;
    }
    case column_kind::int32:
    case column_kind::int64: {
        std::vector<std::uint64_t> values;
        for (const value* v : present) values.push_back(zigzag64(integer_of(*v)));
        put_varint_stream(out, data_stream, dict_none, values);
        break;
    }
    case column_kind::uint64: {
        std::vector<std::uint64_t> values;
        for (const value* v : present) values.push_back(std::get<std::uint64_t>(*v));
        put_varint_stream(out, data_stream, dict_none, values);
        break;
    }
    case column_kind::float32: {
        std::string bytes;
        for (const value* v : present) put_le(bytes, std::get<float>(*v));
        put_stream(out, data_stream, dict_none, logical_none, physical_none, present.size(), bytes);
        break;
    }
    case column_kind::float64: {
        std::string bytes;
        for (const value* v : present) put_le(bytes, number_of(*v));
        put_stream(out, data_stream, dict_none, logical_none, physical_none, present.size(), bytes);
        break;
    }
    case column_kind::text: break;
    }
}

void put_geometry_column(std::string& out, const std::vector<feature>& features) {
    bool multi = false, polygons = false, lines = false;
    for (const auto& f : features) {
        multi |= f.type >= multipoint;
        polygons |= f.type == polygon || f.type == multipolygon;
        lines |= f.type == linestring || f.type == multilinestring;
    }
    std::vector<std::uint64_t> types, geometries, parts, rings;
    std::string vertices;
    std::size_t vertex_values = 0;
    std::int64_t px = 0, py = 0;
    for (const auto& f : features) {
        types.push_back(f.type);
        if (f.type >= multipoint) geometries.push_back(f.parts.size());
        for (const auto& part : f.parts) {
            const bool is_polygon = f.type == polygon || f.type == multipolygon;
            if (is_polygon) parts.push_back(part.size());
            for (const auto& ring : part) {
                if (is_polygon || (f.type != point && f.type != multipoint)) (polygons ? rings : parts).push_back(ring.size());
                for (const auto& v : ring) {
                    put_varint(vertices, zigzag64(v.x - px));
                    put_varint(vertices, zigzag64(v.y - py));
                    px = v.x;
                    py = v.y;
                    vertex_values += 2;
                }
            }
        }
    }
    put_varint(out, 2 + (multi ? 1 : 0) + (polygons ? 2 : lines ? 1 : 0));
    put_varint_stream(out, data_stream, dict_none, types);
    if (multi) put_varint_stream(out, length_stream, length_geometries, geometries);
    if (polygons || lines) put_varint_stream(out, length_stream, length_parts, parts);
    if (polygons) put_varint_stream(out, length_stream, length_rings, rings);
    put_stream(out, data_stream, dict_vertex, logical_componentwise_delta, physical_varint, vertex_values, vertices);
}

void put_layer(std::string& tile, const layer& l) {
    if (l.features.empty()) return;
    // Columns in the order of the keys' first use.
    std::vector<column> columns;
    std::vector<int> column_of(l.keys.size(), -1);
    for (std::size_t i = 0; i < l.features.size(); ++i) {
        for (const auto& [k, v] : l.features[i].tags) {
            if (column_of[k] < 0) {
                column_of[k] = static_cast<int>(columns.size());
                columns.push_back({l.keys[k], std::vector<const value*>(l.features.size(), nullptr)});
            }
            columns[static_cast<std::size_t>(column_of[k])].cells[i] = &l.values[v];
        }
    }
    bool any_id = false, all_ids = true, long_ids = false;
    for (const auto& f : l.features) {
        any_id |= f.id.has_value();
        all_ids &= f.id.has_value();
        long_ids |= f.id && *f.id > std::numeric_limits<std::uint32_t>::max();
    }

    std::string block;
    put_varint(block, 1);  // a feature table with its metadata
    put_string(block, l.name);
    put_varint(block, l.extent);
    put_varint(block, columns.size() + 1 + (any_id ? 1 : 0));
    if (any_id) put_varint(block, (all_ids ? 0u : 1u) | (long_ids ? 2u : 0u));
    put_varint(block, 4);  // geometry
    std::vector<column_kind> kinds;
    std::vector<bool> nullable;
    for (const auto& c : columns) {
        kinds.push_back(kind_of(c));
        bool gaps = false;
        for (const value* v : c.cells) gaps |= v == nullptr;
        nullable.push_back(gaps);
        put_varint(block, 10 + scalar_code(kinds.back()) * 2 + (gaps ? 1 : 0));
        put_string(block, c.name);
    }
    if (any_id) {
        std::vector<bool> bits;
        std::vector<std::uint64_t> ids;
        for (const auto& f : l.features) {
            bits.push_back(f.id.has_value());
            if (f.id) ids.push_back(*f.id);
        }
        if (!all_ids) put_boolean_stream(block, present_stream, bits);
        put_varint_stream(block, data_stream, dict_none, ids);
    }
    put_geometry_column(block, l.features);
    for (std::size_t i = 0; i < columns.size(); ++i) put_column_data(block, columns[i], kinds[i], nullable[i]);

    put_varint(tile, block.size());
    tile += block;
}

}  // namespace

std::string mvt_to_mlt(std::string_view mvt) {
    std::string out;
    try {
        protozero::pbf_reader tile(mvt.data(), mvt.size());
        while (tile.next()) {
            if (tile.tag() == 3) {
                put_layer(out, read_layer(tile.get_message()));
            } else {
                tile.skip();
            }
        }
    } catch (const protozero::exception& e) {
        throw mvt_format_error(std::string("malformed vector tile: ") + e.what());
    }
    return out;
}

}  // namespace vectile
