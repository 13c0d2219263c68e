#include "detail/records.hpp"

#include "detail/text_form.hpp"
#include "plots.hpp"

#include <cmath>
#include <limits>

namespace plots::detail {

std::string shown(const json& value) {
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    constexpr std::size_t most = 80;
    if (text.size() <= most) return text;
    std::size_t cut = most;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " characters)";
}

namespace {

std::string quoted_key(const char* key) { return "[\"" + std::string(key) + "\"]"; }

// Coordinates in metres of EPSG:26332 are a few million at most; far beyond
// this, the geometry library's arithmetic overflows.
constexpr double max_coordinate = 1e9;

std::string indexed(const std::string& where, std::size_t i) { return where + "[" + std::to_string(i) + "]"; }

const json& array_at(const json& value, const std::string& where) {
    if (!value.is_array()) {
        throw invalid_record(where + " must be a list, not " + shown(value));
    }
    return value;
}

point read_point(const json& value, const std::string& where, bool exactly_two) {
    if (!value.is_array() || value.size() < 2 || (exactly_two && value.size() != 2)) {
        throw invalid_record(where + " must be " + (exactly_two ? "exactly" : "at least") +
                             " two numbers [x, y], not " + shown(value));
    }
    const point p{number(value[0], indexed(where, 0)), number(value[1], indexed(where, 1))};
    if (!(std::abs(p.x) <= max_coordinate && std::abs(p.y) <= max_coordinate)) {
        throw invalid_argument(where + " lies too far out to be drawn: " + shown(value));
    }
    return p;
}

const json& coordinates_of(const json& record, const std::string& where) {
    const std::string geometry_where = where + quoted_key("geometry");
    return member(member(record, "geometry", where), "coordinates", geometry_where);
}

path read_points(const json& list, const std::string& where) {
    array_at(list, where);
    path points;
    points.reserve(list.size() + 1);
    for (std::size_t i = 0; i < list.size(); ++i) {
        points.push_back(read_point(list[i], indexed(where, i), false));
    }
    return points;
}

}  // namespace

const json& member(const json& record, const char* key, const std::string& where) {
    if (!record.is_object()) {
        throw invalid_record(where + " must be an object, not " + shown(record));
    }
    const auto found = record.find(key);
    if (found == record.end()) {
        throw invalid_record(where + " lacks the key \"" + key + "\"");
    }
    return *found;
}

double number(const json& value, const std::string& where) {
    if (!value.is_number()) {
        throw invalid_record(where + " must be a number, not " + shown(value));
    }
    return value.get<double>();
}

std::size_t select_parcel(const json& parcel_data, const json& selected, const std::string& column) {
    array_at(parcel_data, "parcel_data");
    std::optional<std::size_t> match;
    for (std::size_t i = 0; i < parcel_data.size(); ++i) {
        const json& value = member(parcel_data[i], column.c_str(), indexed("parcel_data", i));
        if (!match && value == selected) {
            match = i;
        }
    }
    if (!match) {
        throw no_matching_parcel("No parcel has " + column + " equal to " + shown(selected));
    }
    return *match;
}

path read_outer_ring(const json& record, const std::string& where) {
    const std::string rings_where = where + "[\"geometry\"][\"coordinates\"]";
    const json& rings = array_at(coordinates_of(record, where), rings_where);
    if (rings.empty()) {
        throw invalid_record(rings_where + " holds no ring");
    }
    const std::string ring_where = indexed(rings_where, 0);
    path ring = read_points(rings[0], ring_where);
    if (!ring.empty() && (ring.front().x != ring.back().x || ring.front().y != ring.back().y)) {
        ring.push_back(ring.front());
    }
    if (ring.size() < 4) {
        throw invalid_record(ring_where + " must hold at least three distinct corners, not " + shown(rings[0]));
    }
    return ring;
}

path read_line(const json& record, const std::string& where) {
    const std::string line_where = where + "[\"geometry\"][\"coordinates\"]";
    path line = read_points(coordinates_of(record, where), line_where);
    if (line.size() == 1) {
        throw invalid_record(line_where + " must hold no point or at least two, not " +
                             shown(coordinates_of(record, where)));
    }
    return line;
}

std::optional<bounding_box> read_bounding_box(const json& value) {
    if (!value.is_object()) {
        return std::nullopt;
    }
    for (const char* key : {"minx", "maxx", "miny", "maxy", "srid"}) {
        if (!value.contains(key)) {
            return std::nullopt;
        }
    }
    const std::string where = "bounding_box";
    bounding_box result;
    result.box = {number(value["minx"], where + quoted_key("minx")), number(value["maxx"], where + quoted_key("maxx")),
                  number(value["miny"], where + quoted_key("miny")), number(value["maxy"], where + quoted_key("maxy"))};
    const json& srid = value["srid"];
    if (!srid.is_number_integer() || srid.get<long long>() < 0 ||
        srid.get<long long>() > std::numeric_limits<int>::max()) {
        throw invalid_record(where + quoted_key("srid") + " must be an EPSG code, not " + shown(srid));
    }
    result.srid = srid.get<int>();
    return result;
}

std::vector<beacon_label> read_beacons(const json& parcel, const std::string& where) {
    const std::string list_where = where + quoted_key("boundary");
    const json& boundary = array_at(member(parcel, "boundary", where), list_where);
    const std::size_t n = boundary.size();
    std::vector<point> positions;
    positions.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string beacon_where = indexed(list_where, i);
        positions.push_back(read_point(coordinates_of(boundary[i], beacon_where),
                                       beacon_where + "[\"geometry\"][\"coordinates\"]", true));
    }

    std::vector<beacon_label> beacons;
    beacons.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const json& beacon = boundary[i];
        const std::string beacon_where = indexed(list_where, i);
        const point next = positions[(i + 1) % n];
        beacons.push_back({positions[i].x, positions[i].y, next.x, next.y,
                           text_form(member(beacon, "beacon_name", beacon_where)),
                           number(member(beacon, "distance_to_next", beacon_where),
                                  beacon_where + quoted_key("distance_to_next")),
                           text_form(member(beacon, "bearing_deg_to_next", beacon_where)),
                           text_form(member(beacon, "bearing_min_to_next", beacon_where))});
    }
    return beacons;
}

}  // namespace plots::detail
