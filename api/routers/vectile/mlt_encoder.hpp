#pragma once
// MapLibre Tiles (MLT) from Mapbox Vector Tiles: each MVT layer becomes one
// MLT feature table with embedded metadata, holding an id column, the
// geometry column and one column per property key. The subset of encodings
// written: varint integers, component-wise delta vertices, byte-RLE booleans,
// little-endian reals and dictionary-encoded strings (each distinct value of a
// column stored once).

#include <stdexcept>
#include <string>
#include <string_view>

namespace vectile {

// MVT bytes that cannot be read (truncated, a field of the wrong type, a
// geometry command stream that does not parse, a tag pointing nowhere).
class mvt_format_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The MLT form of the MVT `mvt`, layer for layer in the same order; empty
// for an MVT without features. Property values keep their types (a key with
// both integers and reals becomes reals; a key mixing text with other types
// carries all its values as text). Throws mvt_format_error.
std::string mvt_to_mlt(std::string_view mvt);

}  // namespace vectile
