#pragma once
// What the tile service offers: per-zoom information of a layer, and the layer list.

#include <string>

#include <nlohmann/json.hpp>

#include "common/response.hpp"

namespace vectile {

// The zoom information document of a registered layer (throws common::not_found otherwise).
nlohmann::ordered_json layer_zoom_info(const std::string& layer_name);
// The layer list document.
nlohmann::ordered_json available_layers();

// GET /gis/{layer_name}/zoom-info/: `layer_zoom_info` in the response envelope.
common::response get_layer_zoom_info(const std::string& layer_name);
// GET /gis/layers/: `available_layers` in the response envelope.
common::response get_available_layers();

}  // namespace vectile
