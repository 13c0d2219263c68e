#pragma once
// How much detail a tile carries at each zoom, and where each layer starts.

#include <optional>
#include <string_view>

namespace vectile {

// The rules for one zoom. Every value is an integer; "cache_ttl" is always
// CACHE_TTL_LONG or CACHE_TTL_SHORT.
struct zoom_config {
    int tolerance;      // simplification tolerance in metres; 0 = none
    int feature_limit;  // most features in one tile, before MAX_FEATURES_GLOBAL
    int buffer;         // clip buffer in units of a 4096-unit tile
    int cache_ttl;      // seconds a finished tile stays cached
    bool operator==(const zoom_config&) const = default;
};

// The rules of `zoom` for `layer_name`, or nothing when the zoom is below the
// layer's minimum zoom (a name that is not a layer counts as minimum 0).
// Pure: no I/O, no errors.
std::optional<zoom_config> get_zoom_config(long long zoom, std::string_view layer_name);

}  // namespace vectile
