#pragma once
// A survey plan as data: everything generate_plot draws, computed from the
// caller's records before any pixel exists.

#include "detail/geometry.hpp"
#include "detail/labels.hpp"
#include "detail/page.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace plots::detail {

struct plan {
    page_geometry page;
    std::vector<path> roads;             // pieces of roads inside the frame, in drawing order
    std::vector<path> parcels;           // closed outer rings of every parcel, in record order
    path selected;                       // closed outer ring of the selected parcel
    std::vector<beacon_label> beacons;   // the selected parcel's beacons, in boundary order
    std::vector<label> labels;           // all text, in drawing order
};

// Reads and checks the records, chooses the parcel, scale, page and window,
// clips the roads and lays out the labels: the whole of generate_plot except
// the drawing. Logs and throws as generate_plot does.
plan prepare_plan(const nlohmann::ordered_json& parcel_data, const nlohmann::ordered_json& selected_parcel_number,
                  const nlohmann::ordered_json& road_data, const std::string& columnname,
                  const nlohmann::ordered_json& bounding_box);

// The plan of a whole request document (see generate_plot_from_request).
plan prepare_request_plan(const nlohmann::ordered_json& request);

}  // namespace plots::detail
