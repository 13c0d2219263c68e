#pragma once
// Reading the caller's JSON records into typed values, once, at the edge.
// Every reader throws plots::invalid_record naming the path of the offending
// value (for example parcel_data[3]["geometry"]["coordinates"]) when a key is
// missing or a value has the wrong type or shape.

#include "detail/geometry.hpp"
#include "detail/labels.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace plots::detail {

using json = nlohmann::ordered_json;

// A value of a record as messages quote it: compact JSON, malformed UTF-8
// replaced, and at most 80 characters of it, so that a huge value is not
// sent back whole.
std::string shown(const json& value);

// The bounding box of a request, in the system `srid` names.
struct bounding_box {
    window box;
    int srid = 0;
};

// The index of the first record of `parcel_data` whose value under `column`
// equals `selected` (JSON equality: numbers compare by value, other kinds
// never equal numbers). Every record must be an object holding `column`.
// Throws plots::no_matching_parcel naming the column and the value.
std::size_t select_parcel(const json& parcel_data, const json& selected, const std::string& column);

// Ring 0 of the polygon in `record`["geometry"]["coordinates"], closed (the
// first point repeated at the end if it is not there already); at least four
// points once closed. `where` names the record in messages.
path read_outer_ring(const json& record, const std::string& where);

// The points of the line in `record`["geometry"]["coordinates"]: none (an
// empty line draws nothing), or two or more.
path read_line(const json& record, const std::string& where);

// The usable bounding box, or nullopt when `value` is not an object with all
// of "minx", "maxx", "miny", "maxy" and "srid" (then the default window is
// used). The four limits must be numbers and "srid" an integer.
std::optional<bounding_box> read_bounding_box(const json& value);

// The beacon label records of the selected parcel's "boundary", in order.
std::vector<beacon_label> read_beacons(const json& parcel, const std::string& where);

// The value under `key` of the object `record`; `where` names the record.
const json& member(const json& record, const char* key, const std::string& where);

// The number `value`, named `where` in messages.
double number(const json& value, const std::string& where);

}  // namespace plots::detail
