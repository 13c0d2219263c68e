#pragma once
// Which cached entries an edit of the cadastre can have altered: the keys a
// recorded change addresses, computed from its boxes, not scanned.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "routers/vectile/seeding.hpp"

namespace vectile {

// A box in EPSG:3857 metres.
struct mercator_box {
    double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
    bool intersects(const mercator_box& o) const { return min_x <= o.max_x && o.min_x <= max_x && min_y <= o.max_y && o.min_y <= max_y; }
};

// One row of the change log.
struct recorded_change {
    std::int64_t id = 0;
    std::string layer;
    bool whole = false;  // the whole layer (TRUNCATE)
    mercator_box box;
};

// The tiles at zoom `z` whose envelope a box intersects (touching counts),
// within the world's tiles.
tile_range tile_range_of(const mercator_box& box, int z);

// Everything a batch of changes asks to delete.
struct purge_plan {
    // XYZ tile keys within the cache's namespace, each once.
    std::set<std::string> keys;
    // Layer and zoom whose cached keys are scanned, deleting those within one
    // of the ranges: where one change would address more keys than the threshold.
    std::map<std::pair<std::string, int>, std::vector<tile_range>> scans;
    // Per layer, the boxes its bounding-box tiles are tested against.
    std::map<std::string, std::vector<mercator_box>> box_tiles;
    // Layers whose every key goes.
    std::set<std::string> whole_layers;
    // Layers whose centroid document goes.
    std::set<std::string> centroids;
};

// A change at a layer unknown to this server is skipped. Zooms run from the
// layer's first to 20.
purge_plan plan_purge(const std::vector<recorded_change>& changes, std::uint64_t scan_threshold);

// Whether the plan deletes `key` (within the cache's namespace): named,
// within a scanned range, a bounding-box tile meeting a box, a centroid
// document, or anything of a whole layer.
bool plan_addresses(const purge_plan& plan, std::string_view key);

// A bounding-box tile's key ("bbox:<layer>:<min_x>:<min_y>:<max_x>:<max_y>:...")
// read back into its layer and box; false for anything else.
bool parse_bbox_key(std::string_view key, std::string& layer, mercator_box& box);

// An XYZ key ("<layer>:<z>:<x>:<y>") read back; false for anything else.
bool parse_xyz_key(std::string_view key, std::string& layer, int& z, int& x, int& y);

}  // namespace vectile
