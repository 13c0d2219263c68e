#include "routers/vectile/mvt_sql.hpp"

#include <algorithm>

#include "routers/vectile/config.hpp"

namespace vectile {

std::pair<std::string, zoom_config> generate_mvt_sql(std::string_view layer_name, long long zoom) {
    const layer_record* layer = find_layer(layer_name);
    if (layer == nullptr) throw invalid_argument("Unknown layer: " + std::string(layer_name));
    auto config = get_zoom_config(zoom, layer_name);
    if (!config) {
        throw invalid_argument("Layer " + std::string(layer_name) + " not available at zoom level " + std::to_string(zoom));
    }

    const std::string properties = joined_properties(*layer);
    const int limit = std::min(config->feature_limit, MAX_FEATURES_GLOBAL);
    const std::string& geom = layer->geom_col;
    const std::string envelope = "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)";

    std::string geom_expr;
    if (config->tolerance > 0 && zoom <= 6) {
        geom_expr = "ST_Simplify(" + geom + ", " + std::to_string(config->tolerance) + ")";
    } else if (config->tolerance > 0) {
        geom_expr = "ST_SimplifyPreserveTopology(" + geom + ", " + std::to_string(config->tolerance) + ")";
    } else {
        geom_expr = geom;
    }

    // Coarse zooms test only bounding-box overlap; finer ones also the exact intersection.
    std::string spatial_filter;
    if (zoom <= 6) {
        spatial_filter = geom + " && " + envelope;
    } else {
        spatial_filter = "\n        " + geom + " && " + envelope + "\n        AND ST_Intersects(" + geom + ", " + envelope + ")\n        ";
    }

    std::string sql;
    sql.reserve(1024);
    sql += "\n    SELECT ST_AsMVT(mvt_data, '";
    sql += layer_name;
    sql += "', 4096, 'mvt_geom') AS mvt\n    FROM (\n        SELECT ";
    sql += properties;
    sql += ",\n            ";
    sql += layer->id_col;
    sql += " AS feature_id,\n            ST_AsMVTGeom(\n                ";
    sql += geom_expr;
    sql += ",\n                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n                4096,\n                ";
    sql += std::to_string(config->buffer);
    sql += ",\n                true\n            ) AS mvt_geom\n        FROM ";
    sql += layer->table;
    sql += "\n        WHERE ";
    sql += spatial_filter;
    sql += "\n        ORDER BY ST_Area(";
    sql += geom;
    sql += ") DESC\n        LIMIT ";
    sql += std::to_string(limit);
    sql += "\n    ) AS mvt_data\n    WHERE mvt_data.mvt_geom IS NOT NULL;\n    ";
    return {std::move(sql), *config};
}

}  // namespace vectile
