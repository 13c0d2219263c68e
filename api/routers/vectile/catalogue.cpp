#include "routers/vectile/catalogue.hpp"

#include "common/errors.hpp"
#include "helpers/responses/responses.hpp"
#include "routers/vectile/config.hpp"
#include "routers/vectile/zoom.hpp"

namespace vectile {

using json = nlohmann::ordered_json;
using helpers::responses::api_response;
using helpers::responses::api_router_response;

json layer_zoom_info(const std::string& layer_name) {
    const layer_record* layer = find_layer(layer_name);
    if (layer == nullptr) throw common::not_found("Layer '" + layer_name + "' not found");
    json zoom_levels = json::object();
    for (int zoom = 1; zoom <= 20; ++zoom) {
        json entry;
        if (auto config = get_zoom_config(zoom, layer_name)) {
            entry["available"] = true;
            entry["tolerance"] = config->tolerance;
            entry["feature_limit"] = config->feature_limit;
            entry["simplification"] = config->tolerance > 500 ? "heavy"
                                      : config->tolerance > 100 ? "moderate"
                                      : config->tolerance > 0   ? "light"
                                                                : "none";
        } else {
            entry["available"] = false;
        }
        zoom_levels[std::to_string(zoom)] = std::move(entry);
    }
    json doc;
    doc["layer"] = layer_name;
    doc["min_zoom"] = layer->min_zoom.value_or(0);
    doc["zoom_levels"] = std::move(zoom_levels);
    doc["recommendations"] = {{"world_view", "Use 'lgas' or 'districts' for zoom 1-6"},
                              {"regional_view", "Use 'cadzones' for zoom 4-10"},
                              {"detailed_view", "Use 'plots' for zoom 8+"},
                              {"precise_view", "Use 'beacons' for zoom 12+"}};
    return doc;
}

json available_layers() {
    json layers = json::object();
    for (const auto& [name, record] : LAYER_CONFIG) {
        json entry;
        entry["name"] = name;
        entry["min_zoom"] = record.min_zoom.value_or(0);
        entry["properties"] = record.properties;
        entry["table"] = record.table;
        entry["endpoints"] = {{"xyz", "/gis/" + name + "/{z}/{x}/{y}.pbf"},
                              {"bbox", "/gis/" + name + "/bbox/"},
                              {"info", "/gis/" + name + "/"},
                              {"zoom_info", "/gis/" + name + "/zoom-info/"}};
        layers[name] = std::move(entry);
    }
    const auto total = layers.size();
    json doc;
    doc["layers"] = std::move(layers);
    doc["total_layers"] = total;
    doc["usage_guide"] = {{"world_zoom_1_4", "Use 'lgas' layer"},
                          {"country_zoom_5_7", "Use 'districts' or 'lgas' layer"},
                          {"regional_zoom_6_10", "Use 'cadzones' layer"},
                          {"local_zoom_8_14", "Use 'plots' layer"},
                          {"detail_zoom_12_20", "Use 'beacons' layer"}};
    return doc;
}

common::response get_layer_zoom_info(const std::string& layer_name) {
    return api_router_response(api_response({.data = layer_zoom_info(layer_name)}));
}

common::response get_available_layers() { return api_router_response(api_response({.data = available_layers()})); }

}  // namespace vectile
