#include "detail/plan.hpp"

#include "detail/module_logger.hpp"
#include "detail/projection.hpp"
#include "detail/records.hpp"
#include "detail/text_form.hpp"
#include "plots.hpp"

namespace plots::detail {

plan prepare_plan(const json& parcel_data, const json& selected_parcel_number, const json& road_data,
                  const std::string& columnname, const json& bounding_box) {
    module_logger().info("Generating plot with precise scaling...");

    const std::size_t index = select_parcel(parcel_data, selected_parcel_number, columnname);
    const json& selected_record = parcel_data[index];
    const std::string selected_where = "parcel_data[" + std::to_string(index) + "]";

    plan result;
    result.selected = read_outer_ring(selected_record, selected_where);
    const geos_context geos;
    const geos_geometry polygon = make_polygon(geos, result.selected);
    const point centroid = centroid_of(geos, polygon);

    std::optional<window> box;
    if (const auto requested = read_bounding_box(bounding_box)) {
        box = requested->box;
        if (requested->srid != plan_srid) {
            const auto [low, high] = transform_to_plan(requested->srid, {box->xmin, box->ymin}, {box->xmax, box->ymax});
            box = window{low.x, high.x, low.y, high.y};
        }
    }
    result.page = layout_page(bounds_of(geos, polygon), centroid, box);

    if (!road_data.is_null()) {
        if (!road_data.is_array()) {
            throw invalid_record("road_data must be a list or null, not " + shown(road_data));
        }
        for (std::size_t i = 0; i < road_data.size(); ++i) {
            const path line = read_line(road_data[i], "road_data[" + std::to_string(i) + "]");
            if (line.empty()) {
                continue;
            }
            for (path& piece : clip_line(geos, line, result.page.frame)) {
                result.roads.push_back(std::move(piece));
            }
        }
    }

    result.parcels.reserve(parcel_data.size());
    for (std::size_t i = 0; i < parcel_data.size(); ++i) {
        result.parcels.push_back(i == index ? result.selected
                                            : read_outer_ring(parcel_data[i], "parcel_data[" + std::to_string(i) + "]"));
    }

    result.beacons = read_beacons(selected_record, selected_where);
    const auto name = text_form(member(selected_record, "name", selected_where));
    const double area = number(member(selected_record, "area", selected_where), selected_where + "[\"area\"]");
    result.labels = layout_labels(result.beacons, centroid, result.page.scale, result.page.fontsize, name, area);
    return result;
}

}  // namespace plots::detail
