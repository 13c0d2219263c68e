#pragma once
// Synthetic survey-plan requests of three sizes, built in EPSG:26332 metres
// around (500000, 700000): a small town plot, a suburban plot among many
// neighbours and roads, and a large farm.

#include <nlohmann/json.hpp>

#include "plan_records.hpp"

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace plots_bench {

using plots_test::json;
using plots_test::neighbour;
using plots_test::rectangle;
using plots_test::road;
using plots_test::xy;

inline constexpr double origin_x = 500000;
inline constexpr double origin_y = 700000;

// The selected parcel with beacons at its corners, named and measured the way
// a survey records them (bearing clockwise from grid north).
inline json selected_parcel(const std::vector<xy>& corners, double area) {
    json boundary = json::array();
    for (std::size_t i = 0; i < corners.size(); ++i) {
        const xy here = corners[i];
        const xy next = corners[(i + 1) % corners.size()];
        const double bearing = std::fmod(std::atan2(next.x - here.x, next.y - here.y) * 180 / std::numbers::pi + 360, 360);
        const int degrees = static_cast<int>(bearing);
        boundary.push_back({{"geometry", {{"coordinates", {here.x, here.y}}}},
                            {"beacon_name", "SC/" + std::to_string(4100 + i)},
                            {"distance_to_next", std::hypot(next.x - here.x, next.y - here.y)},
                            {"bearing_deg_to_next", degrees},
                            {"bearing_min_to_next", static_cast<int>((bearing - degrees) * 60)}});
    }
    return {{"parcel_number", "SEL-1"},
            {"name", "Plot SEL-1"},
            {"area", area},
            {"geometry", {{"coordinates", plots_test::polygon_coordinates(corners)}}},
            {"boundary", boundary}};
}

// `count` neighbours of size w x h laid out on a grid with `gap` metres of
// street between them, skipping the cell of the selected parcel at (0, 0).
inline void add_neighbours(json& parcels, int count, double w, double h, double gap) {
    int made = 0;
    for (int ring = 1; made < count; ++ring) {
        for (int i = -ring; i <= ring && made < count; ++i) {
            for (int j = -ring; j <= ring && made < count; ++j) {
                if (std::max(std::abs(i), std::abs(j)) != ring) {
                    continue;
                }
                const double x = origin_x + i * (w + gap);
                const double y = origin_y + j * (h + gap);
                parcels.push_back(neighbour("N-" + std::to_string(made), rectangle(x, y, w, h)));
                ++made;
            }
        }
    }
}

struct request {
    json parcel_data;
    json road_data;
    json bounding_box;
};

// (a) A 30 m x 20 m town plot with 40 neighbours, framed by a 60 m x 36 m box: 1:250.
inline request town_plot() {
    request r{json::array({selected_parcel(rectangle(origin_x, origin_y, 30, 20), 600)}), json::array(), nullptr};
    add_neighbours(r.parcel_data, 40, 30, 20, 6);
    r.road_data.push_back(road({{origin_x - 200, origin_y - 3}, {origin_x + 200, origin_y - 3}}));
    r.bounding_box = {{"minx", origin_x - 15}, {"maxx", origin_x + 45}, {"miny", origin_y - 8},
                      {"maxy", origin_y + 28}, {"srid", 26332}};
    return r;
}

// (b) A 100 m x 50 m plot with 200 neighbours and 10 roads: 1:1000.
inline request suburban_plot() {
    request r{json::array({selected_parcel(rectangle(origin_x, origin_y, 100, 50), 5000)}), json::array(), nullptr};
    add_neighbours(r.parcel_data, 200, 100, 50, 8);
    for (int k = 0; k < 5; ++k) {
        const double y = origin_y - 4 + (k - 2) * 58;
        r.road_data.push_back(road({{origin_x - 900, y}, {origin_x - 100, y + 1}, {origin_x + 900, y - 1}}));
        const double x = origin_x - 4 + (k - 2) * 108;
        r.road_data.push_back(road({{x, origin_y - 600}, {x + 1, origin_y}, {x, origin_y + 600}}));
    }
    return r;
}

// (c) A farm of 20 beacons, about 900 m x 500 m, among 12 other farms: 1:5000.
inline request farm() {
    std::vector<xy> corners;
    for (int i = 0; i < 20; ++i) {
        const double t = 2 * std::numbers::pi * i / 20;
        const double wobble = 1 + 0.08 * std::sin(3 * t);
        corners.push_back({origin_x + 450 * wobble * std::cos(t), origin_y + 250 * wobble * std::sin(t)});
    }
    request r{json::array({selected_parcel(corners, 353000)}), json::array(), nullptr};
    for (int i = 0; i < 12; ++i) {
        const double t = 2 * std::numbers::pi * i / 12;
        const double cx = origin_x + 1000 * std::cos(t);
        const double cy = origin_y + 600 * std::sin(t);
        r.parcel_data.push_back(neighbour("F-" + std::to_string(i), rectangle(cx - 200, cy - 120, 400, 240)));
    }
    r.road_data.push_back(road({{origin_x - 2000, origin_y - 330}, {origin_x + 2000, origin_y - 300}}));
    r.road_data.push_back(road({{origin_x + 520, origin_y - 2000}, {origin_x + 560, origin_y + 2000}}));
    return r;
}

}  // namespace plots_bench
