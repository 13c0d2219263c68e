#include "routers/vectile/changes_keys.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "helpers/utils/utils.hpp"
#include "routers/vectile/config.hpp"
#include "routers/vectile/tiles.hpp"
#include "routers/vectile/zoom.hpp"

namespace vectile {

namespace {

// Tile edges are computed in floating point: a box that touches one is
// widened by a centimetre so the tile across the edge counts too.
constexpr double edge_slack = 0.01;

int clamp_index(double v, int n) { return static_cast<int>(std::clamp(std::floor(v), 0.0, static_cast<double>(n - 1))); }

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    for (;;) {
        auto at = s.find(sep);
        out.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return out;
        s.remove_prefix(at + 1);
    }
}

bool to_int(std::string_view s, int& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

bool to_real(std::string_view s, double& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

}  // namespace

tile_range tile_range_of(const mercator_box& box, int z) {
    const double o = helpers::utils::web_mercator_origin;
    const int n = 1 << z;
    const double size = 2 * o / n;
    tile_range r{z};
    if (box.max_x < box.min_x || box.max_y < box.min_y) return r;
    r.x_min = clamp_index((box.min_x - edge_slack + o) / size, n);
    r.x_max = clamp_index((box.max_x + edge_slack + o) / size, n);
    r.y_min = clamp_index((o - box.max_y - edge_slack) / size, n);
    r.y_max = clamp_index((o - box.min_y + edge_slack) / size, n);
    return r;
}

purge_plan plan_purge(const std::vector<recorded_change>& changes, std::uint64_t scan_threshold) {
    purge_plan plan;
    for (const auto& c : changes) {
        const layer_record* layer = find_layer(c.layer);
        if (layer == nullptr) continue;
        if (c.whole) {
            plan.whole_layers.insert(c.layer);
            continue;
        }
        plan.centroids.insert(c.layer);
        plan.box_tiles[c.layer].push_back(c.box);
        for (int z = 1; z <= 20; ++z) {
            if (!get_zoom_config(z, c.layer)) continue;  // never cached: answered empty
            const auto r = tile_range_of(c.box, z);
            if (r.count() > scan_threshold) {
                plan.scans[{c.layer, z}].push_back(r);
                continue;
            }
            for (int x = r.x_min; x <= r.x_max; ++x) {
                for (int y = r.y_min; y <= r.y_max; ++y) plan.keys.insert(xyz_cache_key(c.layer, {z, x, y}));
            }
        }
    }
    // A whole layer's deletion covers its other entries.
    for (const auto& layer : plan.whole_layers) {
        plan.centroids.erase(layer);
        plan.box_tiles.erase(layer);
        std::erase_if(plan.keys, [&](const std::string& k) { return k.starts_with(layer + ":"); });
        std::erase_if(plan.scans, [&](const auto& s) { return s.first.first == layer; });
    }
    return plan;
}

bool plan_addresses(const purge_plan& plan, std::string_view key) {
    std::string layer;
    int z = 0, x = 0, y = 0;
    mercator_box box;
    if (parse_xyz_key(key, layer, z, x, y)) {
        if (plan.whole_layers.contains(layer) || plan.keys.contains(std::string(key))) return true;
        auto scan = plan.scans.find({layer, z});
        if (scan == plan.scans.end()) return false;
        return std::any_of(scan->second.begin(), scan->second.end(),
                           [&](const tile_range& r) { return x >= r.x_min && x <= r.x_max && y >= r.y_min && y <= r.y_max; });
    }
    if (parse_bbox_key(key, layer, box)) {
        if (plan.whole_layers.contains(layer)) return true;
        auto boxes = plan.box_tiles.find(layer);
        if (boxes == plan.box_tiles.end()) return false;
        // The key holds the box to the metre.
        box.min_x -= 1, box.min_y -= 1, box.max_x += 1, box.max_y += 1;
        return std::any_of(boxes->second.begin(), boxes->second.end(), [&](const mercator_box& b) { return b.intersects(box); });
    }
    if (key.starts_with("centroid:")) {
        const std::string name(key.substr(9));
        return plan.centroids.contains(name) || plan.whole_layers.contains(name);
    }
    return false;
}

bool parse_bbox_key(std::string_view key, std::string& layer, mercator_box& box) {
    const auto parts = split(key, ':');
    if (parts.size() != 8 || parts[0] != "bbox") return false;
    if (!to_real(parts[2], box.min_x) || !to_real(parts[3], box.min_y) || !to_real(parts[4], box.max_x) ||
        !to_real(parts[5], box.max_y)) {
        return false;
    }
    layer = parts[1];
    return true;
}

bool parse_xyz_key(std::string_view key, std::string& layer, int& z, int& x, int& y) {
    const auto parts = split(key, ':');
    if (parts.size() != 4 || !to_int(parts[1], z) || !to_int(parts[2], x) || !to_int(parts[3], y)) return false;
    layer = parts[0];
    return true;
}

}  // namespace vectile
