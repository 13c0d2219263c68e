#pragma once
// Placement of a plan's text, as data: which labels, where on the ground,
// turned by how much, in what size and weight. The renderer only draws them.

#include "detail/geometry.hpp"

#include <optional>
#include <string>
#include <vector>

namespace plots::detail {

// One beacon of the selected parcel and the boundary line to the next one
// (the last beacon's next is the first). Texts are already in their text
// form; a missing text (null in the record) draws nothing.
struct beacon_label {
    double x = 0;
    double y = 0;
    double next_x = 0;
    double next_y = 0;
    std::optional<std::string> name;
    double distance = 0;                     // stated length of the line, metres
    std::optional<std::string> bearing_deg;
    std::optional<std::string> bearing_min;
};

enum class font_weight { normal, medium, bold };

struct label {
    point position;          // ground metres; the text is centred here
    double angle_deg = 0;    // counter-clockwise turn about the position
    std::string text;
    double size_pt = 0;
    font_weight weight = font_weight::normal;
};

// Lays out the labels of a plan at 1:`scale` with text of `fontsize` points,
// in drawing order: for each beacon its name, then, if its stated distance is
// at least 20 mm on paper, the line length, bearing degrees and minutes; then
// the parcel label and the area. Names sit off the corner away from
// `centroid`, lengths inside the parcel and bearings outside it, all turned
// along their line and upright. A beacon whose line to its next or previous
// beacon has zero length gets no name (its direction is undefined), and one
// whose line to its next beacon has zero length gets no line labels.
std::vector<label> layout_labels(const std::vector<beacon_label>& beacons, point centroid, int scale,
                                 int fontsize, const std::optional<std::string>& parcel_name, double area);

}  // namespace plots::detail
