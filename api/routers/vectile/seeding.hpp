#pragma once
// Filling the tile cache ahead of users, and removing chosen tiles from it:
// the engine of the `gisd seed` and `gisd purge` commands.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>


namespace vectile {

class service;

// A box in WGS84 degrees.
struct degree_box {
    double west = 0, south = 0, east = 0, north = 0;
};

// The tiles at zoom `z` that a box touches, inclusive on both ends.
struct tile_range {
    int z = 0;
    int x_min = 0, x_max = -1, y_min = 0, y_max = -1;
    std::uint64_t count() const {
        return x_max < x_min || y_max < y_min ? 0 : std::uint64_t(x_max - x_min + 1) * std::uint64_t(y_max - y_min + 1);
    }
};

tile_range tile_range_of(const degree_box& box, int z);

// The command's arguments, validated.
struct seed_request {
    std::vector<std::string> layers;
    int zoom_min = 0, zoom_max = 0;
    std::optional<degree_box> bbox;  // default: each layer's extent
    int concurrency = 4;
    bool force = false;
};

struct seed_summary {
    std::uint64_t tiles = 0;  // in the range
    std::uint64_t stored = 0, empty = 0, skipped = 0, failed = 0;
    std::uint64_t bytes = 0;  // of the stored tiles
    double seconds = 0;
    bool interrupted = false;
    std::uint64_t done() const { return stored + empty + skipped + failed; }
};

// Called after each tile, and with a failed tile's name and reason.
struct seed_observer {
    std::function<void(const seed_summary&)> progress;
    std::function<void(const std::string& tile, const std::string& reason)> failure;
};

// Generates every tile of the request through the server's miss path (same
// statements, keys and TTLs), `concurrency` at a time; tiles already cached
// are skipped unless `force`. The range is known at once (`tiles` is set
// before the first progress call). Stops between tiles when cancelled and
// returns the summary so far with `interrupted`.
boost::asio::awaitable<seed_summary> seed_tiles(service& svc, seed_request request, seed_observer observer);

// Deletes the cached XYZ tiles of the layers, zooms and box (keys computed,
// not scanned); the number of keys that existed. Throws redis::error.
boost::asio::awaitable<std::uint64_t> purge_tiles(service& svc, seed_request request);

}  // namespace vectile
