#pragma once
// Building blocks of plan requests in EPSG:26332 metres, shared by the plots
// tests and the plots benchmark.

#include <nlohmann/json.hpp>

#include <vector>

namespace plots_test {

using json = nlohmann::ordered_json;

struct xy {
    double x;
    double y;
};

// The "coordinates" of a polygon with one closed ring through `corners`.
inline json polygon_coordinates(const std::vector<xy>& corners) {
    json ring = json::array();
    for (const xy& c : corners) {
        ring.push_back({c.x, c.y});
    }
    ring.push_back({corners.front().x, corners.front().y});
    return json::array({ring});
}

inline std::vector<xy> rectangle(double x, double y, double w, double h) {
    return {{x, y}, {x + w, y}, {x + w, y + h}, {x, y + h}};
}

// A parcel without beacons, as neighbours are given.
inline json neighbour(const json& number, const std::vector<xy>& corners) {
    return {{"parcel_number", number}, {"geometry", {{"coordinates", polygon_coordinates(corners)}}}};
}

inline json road(const std::vector<xy>& points) {
    json line = json::array();
    for (const xy& p : points) {
        line.push_back({p.x, p.y});
    }
    return {{"geometry", {{"coordinates", line}}}};
}

}  // namespace plots_test
