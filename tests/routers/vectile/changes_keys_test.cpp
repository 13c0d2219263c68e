// Which keys a recorded change addresses (pure; the purge itself is tested
// against PostgreSQL and Redis in tests/changes).

#include "routers/vectile/changes_keys.hpp"

#include <gtest/gtest.h>

#include <utility>

#include "helpers/utils/utils.hpp"
#include "routers/vectile/bbox.hpp"
#include "routers/vectile/tiles.hpp"

namespace {

using vectile::mercator_box;

mercator_box bounds_of(int z, int x, int y) {
    const auto b = helpers::utils::tile_bounds({z, x, y});
    return {b.minx, b.miny, b.maxx, b.maxy};
}

// A plot inside zoom-20 tile 546055/497795, a quarter of its side from each
// edge, and an LGA-sized box of many thousand zoom-20 tiles.
std::pair<mercator_box, mercator_box> plot_and_lga() {
    const mercator_box tile = bounds_of(20, 546055, 497795);
    const double w = tile.max_x - tile.min_x;
    const double o = helpers::utils::web_mercator_origin;
    return {{tile.min_x + w / 4, tile.min_y + w / 4, tile.max_x - w / 4, tile.max_y - w / 4}, {0, 0, o / 64, o / 64}};
}

TEST(ChangesKeys, TileRangeCountsTouchingTilesAndStaysInTheWorld) {
    struct row {
        const char* what;
        mercator_box box;
        int z;
        int x_min, x_max, y_min, y_max;
    };
    const mercator_box tile = bounds_of(16, 34128, 31112);
    const double w = tile.max_x - tile.min_x;
    const double o = helpers::utils::web_mercator_origin;
    const row rows[] = {
        {"inside one tile", {tile.min_x + w / 4, tile.min_y + w / 4, tile.max_x - w / 4, tile.max_y - w / 4}, 16, 34128, 34128, 31112, 31112},
        {"a tile's own envelope touches its eight neighbours", tile, 16, 34127, 34129, 31111, 31113},
        {"a point on a corner", {tile.max_x, tile.max_y, tile.max_x, tile.max_y}, 16, 34128, 34129, 31111, 31112},
        {"beyond the world is clamped", {-2 * o, -2 * o, 2 * o, 2 * o}, 3, 0, 7, 0, 7},
    };
    for (const auto& r : rows) {
        const auto got = vectile::tile_range_of(r.box, r.z);
        EXPECT_EQ(got.x_min, r.x_min) << r.what;
        EXPECT_EQ(got.x_max, r.x_max) << r.what;
        EXPECT_EQ(got.y_min, r.y_min) << r.what;
        EXPECT_EQ(got.y_max, r.y_max) << r.what;
    }
}

TEST(ChangesKeys, PlanCoversEveryZoomFromTheLayersFirstAndScansPastTheThreshold) {
    const auto [plot, lga] = plot_and_lga();

    const auto one = vectile::plan_purge({{1, "plots", false, plot}}, 4096);
    EXPECT_EQ(one.keys.size(), 13u);  // zooms 8 to 20, one tile each
    for (int z = 8; z <= 20; ++z) {
        const auto r = vectile::tile_range_of(plot, z);
        EXPECT_TRUE(one.keys.count(vectile::xyz_cache_key("plots", {z, r.x_min, r.y_min}))) << z;
    }
    EXPECT_FALSE(one.keys.count(vectile::xyz_cache_key("plots", {7, 68, 62})));
    EXPECT_TRUE(one.centroids.count("plots"));
    EXPECT_EQ(one.box_tiles.at("plots").size(), 1u);

    // A large box: computed keys at coarse zooms, a scan of the layer's zoom past the threshold.
    const auto big = vectile::plan_purge({{2, "lgas", false, lga}}, 4096);
    EXPECT_TRUE(big.scans.count({"lgas", 20}));
    EXPECT_FALSE(big.scans.count({"lgas", 12}));
    EXPECT_TRUE(big.keys.count(vectile::xyz_cache_key("lgas", {2, 2, 1})));

    // A whole layer covers that layer's other entries; an unknown layer is skipped.
    const auto whole = vectile::plan_purge({{3, "plots", false, plot}, {4, "plots", true, {}}, {5, "roads", false, plot}}, 4096);
    EXPECT_TRUE(whole.whole_layers.count("plots"));
    EXPECT_TRUE(whole.keys.empty());
    EXPECT_TRUE(whole.centroids.empty());
    EXPECT_TRUE(whole.box_tiles.empty());
}

TEST(ChangesKeys, AKeyIsAddressedExactlyWhenThePlanWouldDeleteIt) {
    const auto [plot, lga] = plot_and_lga();
    const auto plan = vectile::plan_purge({{1, "plots", false, plot}, {2, "lgas", false, lga}, {3, "beacons", true, {}}}, 4096);
    const auto lga20 = vectile::tile_range_of(lga, 20);
    struct row {
        std::string key;
        bool addressed;
    };
    const row rows[] = {
        {vectile::xyz_cache_key("plots", {20, 546055, 497795}), true},
        {vectile::xyz_cache_key("plots", {20, 546057, 497795}), false},
        {vectile::xyz_cache_key("lgas", {20, lga20.x_min, lga20.y_max}), true},  // within the scanned range
        {vectile::xyz_cache_key("lgas", {20, lga20.x_max + 1, lga20.y_max}), false},
        {vectile::xyz_cache_key("beacons", {9, 1, 1}), true},  // a whole layer
        {vectile::bbox_cache_key("plots", plot.min_x - 5, plot.min_y - 5, plot.max_x + 5, plot.max_y + 5, 4096, true), true},
        {vectile::bbox_cache_key("plots", 0, 0, 10, 10, 4096, true), false},
        {"centroid:plots", true},
        {"centroid:districts", false},
        {"something:else", false},
    };
    for (const auto& r : rows) EXPECT_EQ(vectile::plan_addresses(plan, r.key), r.addressed) << r.key;
}

TEST(ChangesKeys, KeysReadBackAsTheTileRoutesWriteThem) {
    std::string layer;
    mercator_box box;
    ASSERT_TRUE(vectile::parse_bbox_key(vectile::bbox_cache_key("plots", -830000.4, 1010000.6, 831000, 1012000, 5000, true), layer, box));
    EXPECT_EQ(layer, "plots");
    EXPECT_EQ(box.min_x, -830000);
    EXPECT_EQ(box.min_y, 1010001);
    EXPECT_EQ(box.max_y, 1012000);
    int z = 0, x = 0, y = 0;
    ASSERT_TRUE(vectile::parse_xyz_key(vectile::xyz_cache_key("beacons", {18, 136512, 124449}), layer, z, x, y));
    EXPECT_EQ(layer, "beacons");
    EXPECT_EQ(z, 18);
    EXPECT_EQ(y, 124449);
    for (const char* bad : {"bbox:plots:1:2:3", "plots:16:1", "plots:a:1:2", "centroid:plots"}) {
        EXPECT_FALSE(vectile::parse_xyz_key(bad, layer, z, x, y) || vectile::parse_bbox_key(bad, layer, box)) << bad;
    }
}

}  // namespace
