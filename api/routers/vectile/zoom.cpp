#include "routers/vectile/zoom.hpp"

#include "routers/vectile/config.hpp"

namespace vectile {

namespace {

struct band {
    long long max_zoom;
    zoom_config config;
};

// Not monotonic on purpose: the feature limit peaks at zooms 7-8.
constexpr band bands[] = {
    {4, {2000, 1000, 512, CACHE_TTL_LONG}},
    {6, {1000, 2000, 256, CACHE_TTL_LONG}},
    {8, {500, 3000, 256, CACHE_TTL_LONG}},
    {10, {500, 1200, 256, CACHE_TTL_LONG}},
    {12, {500, 1500, 256, CACHE_TTL_SHORT}},
    {14, {0, 1500, 16, CACHE_TTL_SHORT}},
    {16, {0, 3000, 8, CACHE_TTL_SHORT}},
};
constexpr zoom_config deepest{0, 15000, 8, CACHE_TTL_SHORT};

}  // namespace

std::optional<zoom_config> get_zoom_config(long long zoom, std::string_view layer_name) {
    const layer_record* layer = find_layer(layer_name);
    int min_zoom = (layer != nullptr && layer->min_zoom) ? *layer->min_zoom : 0;
    if (zoom < min_zoom) return std::nullopt;
    for (const auto& b : bands) {
        if (zoom <= b.max_zoom) return b.config;
    }
    return deepest;
}

}  // namespace vectile
