// Survey plans as PDF pages: the request's plan drawn by the PNG's renderer
// on a vector surface, with a caption.

#include "plots.hpp"

#include "detail/pdf_page.hpp"
#include "detail/plan.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace plots {

plan_caption caption_of_request(const nlohmann::ordered_json& request) {
    plan_caption out;
    if (!request.is_object()) return out;
    const auto selected = request.find("selected_parcel_number");
    if (selected == request.end()) return out;
    out.plot_no = selected->is_string() ? selected->get<std::string>() : selected->dump();
    std::string column = "parcel_number";
    if (const auto c = request.find("columnname"); c != request.end() && c->is_string()) column = c->get<std::string>();
    const auto parcels = request.find("parcel_data");
    if (parcels == request.end() || !parcels->is_array()) return out;
    for (const auto& record : *parcels) {
        if (!record.is_object()) continue;
        const auto value = record.find(column);
        if (value == record.end() || *value != *selected) continue;
        if (const auto area = record.find("area"); area != record.end() && area->is_number()) out.area_m2 = area->get<double>();
        break;
    }
    return out;
}

std::string caption_text(const plan_caption& caption, int scale) {
    std::string date = caption.date;
    if (date.empty()) {
        const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        std::tm utc{};
        gmtime_r(&now, &utc);
        char buf[16];
        std::strftime(buf, sizeof buf, "%Y-%m-%d", &utc);
        date = buf;
    }
    std::string text;
    const auto add = [&text](const std::string& part) {
        if (!text.empty()) text += "    ";
        text += part;
    };
    if (!caption.plot_no.empty()) add("Plot " + caption.plot_no);
    if (!caption.zone.empty()) add("Zone " + caption.zone);
    if (caption.area_m2) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "Area %.2f m\u00B2", *caption.area_m2);
        add(buf);
    }
    add("Scale 1:" + std::to_string(scale));
    add("Drawn " + date);
    return text;
}

pdf_result generate_pdf_from_request(const nlohmann::ordered_json& request, const plan_caption& caption) {
    const detail::plan plan = detail::prepare_request_plan(request);
    return {detail::render_pdf(plan, caption_text(caption, plan.page.scale)), {plan.page.target_width_mm, plan.page.target_height_mm},
            plan.page.scale};
}

}  // namespace plots
