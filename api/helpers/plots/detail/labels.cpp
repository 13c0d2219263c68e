#include "detail/labels.hpp"

#include "detail/text_form.hpp"

#include <cmath>
#include <numbers>

namespace plots::detail {
namespace {

struct vec {
    double x = 0;
    double y = 0;
};

vec operator+(vec a, vec b) { return {a.x + b.x, a.y + b.y}; }
vec operator-(vec a, vec b) { return {a.x - b.x, a.y - b.y}; }
vec operator*(vec a, double k) { return {a.x * k, a.y * k}; }
vec operator/(vec a, double k) { return {a.x / k, a.y / k}; }
vec operator-(vec a) { return {-a.x, -a.y}; }
double dot(vec a, vec b) { return a.x * b.x + a.y * b.y; }
double length(vec a) { return std::hypot(a.x, a.y); }
double degrees(vec a) { return std::atan2(a.y, a.x) * 180 / std::numbers::pi; }

point to_point(vec v) { return {v.x, v.y}; }

}  // namespace

std::vector<label> layout_labels(const std::vector<beacon_label>& beacons, point centroid, int scale,
                                 int fontsize, const std::optional<std::string>& parcel_name, double area) {
    const double norm = 1000.0 / scale;
    const double label_dist = (scale >= 1000 ? 7.0 : 13.0) * scale / 1000;
    const double min_line_distance = 20.0 * scale / 1000;
    const double line_offset = 2 / norm;
    const double area_offset = 4.0 * scale / 1000;
    const vec centre{centroid.x, centroid.y};
    const auto size = static_cast<double>(fontsize);

    std::vector<label> labels;
    const std::size_t n = beacons.size();
    for (std::size_t i = 0; i < n; ++i) {
        const beacon_label& b = beacons[i];
        const beacon_label& prev = beacons[(i + n - 1) % n];
        const vec here{b.x, b.y};
        const vec to_next = vec{b.next_x, b.next_y} - here;
        const vec to_prev = vec{prev.x, prev.y} - here;
        const double next_len = length(to_next);
        const double prev_len = length(to_prev);

        if (next_len > 0 && prev_len > 0 && b.name) {
            const vec to_next_norm = to_next / next_len;
            vec bisector = to_next_norm + to_prev / prev_len;
            if (length(bisector) < 1e-08) {
                // Neighbours in a straight line through the beacon.
                bisector = {to_next_norm.y, -to_next_norm.x};
            }
            bisector = bisector / length(bisector);
            if (dot(bisector, centre - here) > 0) {
                bisector = -bisector;
            }
            double label_angle = degrees(bisector);
            if (std::abs(label_angle) > 90 && std::abs(label_angle) < 270) {
                label_angle += 180;
            }
            labels.push_back({to_point(here + bisector * label_dist), label_angle, *b.name, size, font_weight::normal});
        }

        if (!(b.distance >= min_line_distance) || next_len == 0) {
            continue;
        }
        const vec to_next_norm = to_next / next_len;
        const vec mid = (here + vec{b.next_x, b.next_y}) / 2;
        double line_angle = degrees(to_next);
        bool reversed = false;
        if (line_angle > 90 || line_angle < -90) {
            line_angle += 180;
            reversed = true;
        }
        vec perp{-to_next_norm.y, to_next_norm.x};
        if (dot(perp, centre - mid) > 0) {
            perp = -perp;
        }
        labels.push_back({to_point(mid - perp * line_offset), line_angle, two_decimals(b.distance) + "m", size,
                          font_weight::medium});

        const double deg_share = reversed ? 0.75 : 0.25;
        const double min_share = 1 - deg_share;
        if (b.bearing_deg) {
            labels.push_back({to_point(here + to_next_norm * next_len * deg_share + perp * line_offset), line_angle,
                              *b.bearing_deg, size, font_weight::normal});
        }
        if (b.bearing_min) {
            labels.push_back({to_point(here + to_next_norm * next_len * min_share + perp * line_offset), line_angle,
                              *b.bearing_min, size, font_weight::normal});
        }
    }

    if (parcel_name) {
        labels.push_back({centroid, 0, *parcel_name, 2 * size, font_weight::bold});
    }
    labels.push_back({{centroid.x, centroid.y - area_offset}, 0, two_decimals(area) + "m\u00b2", size,
                      font_weight::normal});
    return labels;
}

}  // namespace plots::detail
