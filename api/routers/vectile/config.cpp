#include <algorithm>
#include "routers/vectile/config.hpp"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <stdexcept>

namespace vectile {

const layer_registry LAYER_CONFIG = {
    {"plots",
     {"\"PLOT\"", "\"ID\"", "\"GEOMETRY_3857\"",
      {"\"ID\"", "\"PLOT_NO\"", "\"STATUS\"", "\"AREA_SYSTEM\"", "\"GENERAL_LU\"", "\"CADZONE\"", "\"DETAIL_LU\"", "\"file_no\""},
      8}},
    {"beacons", {"\"BEACON\"", "\"ID\"", "\"GEOMETRY_3857\"", {"\"ID\"", "\"BEACON_NO\"", "\"STATUS\"", "\"REMARK\""}, 12}},
    {"cadzones", {"\"CadZones\"", "\"id\"", "\"geometry_3857\"", {"\"id\"", "\"name\"", "\"district_id\""}, 4}},
    {"districts", {"\"Districts\"", "\"id\"", "\"geometry_3857\"", {"\"id\"", "\"name\"", "\"lga_id\""}, 3}},
    {"lgas", {"\"LGAs\"", "\"id\"", "\"geometry_3857\"", {"\"id\"", "\"name\""}, 2}},
};

const layer_record* find_layer(std::string_view layer_name) {
    for (const auto& [name, record] : LAYER_CONFIG) {
        if (name == layer_name) return &record;
    }
    return nullptr;
}

std::string joined_properties(const layer_record& layer) {
    std::string out;
    for (std::size_t i = 0; i < layer.properties.size(); ++i) {
        if (i > 0) out += ", ";
        out += layer.properties[i];
    }
    return out;
}

std::vector<std::string> layer_names() {
    std::vector<std::string> out;
    for (const auto& entry : LAYER_CONFIG) out.push_back(entry.first);
    return out;
}

std::string quoted_layer_list(const std::vector<std::string>& names) {
    std::string out = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += ", ";
        out += "'" + names[i] + "'";
    }
    return out + "]";
}

namespace {

int parse_decimal(const char* variable, const std::string& text) {
    std::string_view s = text;
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    int value = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || ptr != s.data() + s.size()) {
        throw std::invalid_argument(std::string(variable) + ": invalid literal for a decimal integer: '" + text + "'");
    }
    return value;
}

std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string(fallback);
}

}  // namespace

redis_settings read_redis_settings() {
    redis_settings s;
    s.host = env_or("REDIS_HOST", "localhost");
    s.port = parse_decimal("REDIS_PORT", env_or("REDIS_PORT", "6379"));
    s.db = parse_decimal("REDIS_DB", env_or("REDIS_DB", "0"));
    s.memory_cache_mb = std::max(0, parse_decimal("TILE_MEMORY_CACHE_MB", env_or("TILE_MEMORY_CACHE_MB", "32")));
    s.password = env_or("REDIS_PASSWORD", "");
    try {
        s.sentinels = redis::parse_addresses(env_or("REDIS_SENTINELS", ""));
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(std::string("REDIS_SENTINELS: ") + e.what());
    }
    s.sentinel_master = env_or("REDIS_SENTINEL_MASTER", "");
    s.sentinel_password = env_or("REDIS_SENTINEL_PASSWORD", "");
    if (!s.sentinels.empty() && s.sentinel_master.empty()) {
        throw std::invalid_argument("REDIS_SENTINEL_MASTER: the name the sentinels know the primary by is needed with REDIS_SENTINELS");
    }
    return s;
}

}  // namespace vectile
