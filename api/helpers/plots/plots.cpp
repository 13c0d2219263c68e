#include "plots.hpp"

#include "detail/base64.hpp"
#include "detail/geometry.hpp"
#include "detail/page.hpp"
#include "detail/plan.hpp"
#include "detail/records.hpp"
#include "detail/renderer.hpp"

namespace plots {

plot_result generate_plot(const nlohmann::ordered_json& parcel_data, const nlohmann::ordered_json& selected_parcel_number,
                          const nlohmann::ordered_json& road_data, const std::string& columnname,
                          const nlohmann::ordered_json& bounding_box) {
    const detail::plan plan =
        detail::prepare_plan(parcel_data, selected_parcel_number, road_data, columnname, bounding_box);
    const detail::rendered_plan image = detail::render_plan(plan);
    return {detail::encode_base64(image.png), {plan.page.target_width_mm, plan.page.target_height_mm}, plan.page.scale};
}

ground_window plan_window(const std::vector<std::pair<double, double>>& ring) {
    detail::path closed;
    closed.reserve(ring.size() + 1);
    for (const auto& [x, y] : ring) closed.push_back({x, y});
    if (!closed.empty() && (closed.front().x != closed.back().x || closed.front().y != closed.back().y)) {
        closed.push_back(closed.front());
    }
    if (closed.size() < 4) {
        throw invalid_record("A parcel's ring needs three corners or more, not " + std::to_string(ring.size()) + " points");
    }
    // The same steps as a plan without a bounding box, so that the window is
    // exactly the one generate_plot will draw.
    const detail::geos_context geos;
    const detail::geos_geometry polygon = detail::make_polygon(geos, closed);
    const detail::window frame = detail::layout_page(detail::bounds_of(geos, polygon), detail::centroid_of(geos, polygon), std::nullopt).frame;
    return {frame.xmin, frame.ymin, frame.xmax, frame.ymax};
}

std::string png_bytes(const plot_result& plan) { return detail::decode_base64(plan.image64); }

std::optional<nlohmann::ordered_json> parse_request(std::string_view text) {
    // The parser calls back at every opening bracket with the depth reached;
    // stopping there keeps a hostile document from ever being built.
    auto bound = [](int depth, nlohmann::ordered_json::parse_event_t event, nlohmann::ordered_json&) {
        if ((event == nlohmann::ordered_json::parse_event_t::object_start || event == nlohmann::ordered_json::parse_event_t::array_start) &&
            depth >= max_request_depth) {
            throw too_deep("The request nests arrays and objects deeper than " + std::to_string(max_request_depth) + " levels");
        }
        return true;
    };
    auto doc = nlohmann::ordered_json::parse(text, bound, false);
    if (doc.is_discarded()) return std::nullopt;
    return doc;
}

namespace detail {

plan prepare_request_plan(const nlohmann::ordered_json& request) {
    const std::string where = "the request";
    const auto& parcel_data = detail::member(request, "parcel_data", where);
    const auto& selected = detail::member(request, "selected_parcel_number", where);
    const auto& road_data = detail::member(request, "road_data", where);

    std::string columnname = "parcel_number";
    if (const auto found = request.find("columnname"); found != request.end()) {
        if (!found->is_string()) {
            throw invalid_record("columnname must be text, not " + found->dump());
        }
        columnname = found->get<std::string>();
    }
    const auto bounding_box = request.find("bounding_box");
    return prepare_plan(parcel_data, selected, road_data, columnname,
                        bounding_box != request.end() ? *bounding_box : nlohmann::ordered_json(nullptr));
}

}  // namespace detail

plot_result generate_plot_from_request(const nlohmann::ordered_json& request) {
    const detail::plan plan = detail::prepare_request_plan(request);
    const detail::rendered_plan image = detail::render_plan(plan);
    return {detail::encode_base64(image.png), {plan.page.target_width_mm, plan.page.target_height_mm}, plan.page.scale};
}

}  // namespace plots
