#pragma once
// The tile service's fixed configuration: constants, the layer registry and
// the Redis settings read from the environment at load.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "redis/sentinel.hpp"

namespace vectile {

inline constexpr int DEFAULT_CENTROID_ZOOM = 16;
inline constexpr double MAX_BBOX_AREA_WGS84 = 1.0;  // square degrees
inline constexpr int MAX_FEATURES_GLOBAL = 15000;
inline constexpr int CACHE_TTL_SHORT = 1800;  // seconds
inline constexpr int CACHE_TTL_LONG = 7200;   // seconds

// One layer. Identifiers are ready-quoted SQL identifiers: the double quotes
// are part of the text, which is pasted into SQL verbatim.
struct layer_record {
    std::string table;
    std::string id_col;
    std::string geom_col;
    std::vector<std::string> properties;
    std::optional<int> min_zoom;
};

using layer_registry = std::vector<std::pair<std::string, layer_record>>;

// The five layers, in the order every walk of the registry uses. The only
// source of table and column names that reach SQL.
extern const layer_registry LAYER_CONFIG;

// The record of `layer_name` (exact, case-sensitive match), or null.
const layer_record* find_layer(std::string_view layer_name);

// The layer's property columns joined with ", ", as they go into SQL.
std::string joined_properties(const layer_record& layer);

// The registry's names as "['plots', 'beacons', ...]", for messages.
std::string quoted_layer_list(const std::vector<std::string>& names);
std::vector<std::string> layer_names();

struct redis_settings {
    std::string host;
    int port = 6379;
    int db = 0;
    std::string password;                  // "REDIS_PASSWORD", for the data nodes
    std::vector<redis::address> sentinels;  // "REDIS_SENTINELS": when set, host and port are not used
    std::string sentinel_master;           // "REDIS_SENTINEL_MASTER"
    std::string sentinel_password;         // "REDIS_SENTINEL_PASSWORD"
    // "TILE_MEMORY_CACHE_MB": the worker's own copies of hot tiles; 0 turns them off.
    int memory_cache_mb = 32;
};

// Reads "REDIS_HOST", "REDIS_PORT" and "REDIS_DB" (defaults: localhost, 6379, 0),
// "REDIS_PASSWORD", the Sentinel variables "REDIS_SENTINELS" (host:port,...),
// "REDIS_SENTINEL_MASTER" (needed with them) and "REDIS_SENTINEL_PASSWORD",
// and "TILE_MEMORY_CACHE_MB" (default 32, negative counts as 0).
// A set but empty variable is used as it is. Throws std::invalid_argument,
// naming the variable and its value, when the port or the database number is
// not a decimal integer, or the Sentinel variables are malformed or incomplete.
redis_settings read_redis_settings();

}  // namespace vectile
