#include "routers/vectile/tilejson.hpp"

#include <chrono>

#include "common/errors.hpp"
#include "helpers/utils/utils.hpp"
#include "routers/vectile/composite.hpp"
#include "routers/vectile/config.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/statement.hpp"

namespace vectile {

using json = nlohmann::ordered_json;

extern const char* const style_layers_json;  // made from web/style-layers.json at build time

namespace {

std::string unquoted(std::string s) {
    std::erase(s, '"');
    return s;
}

// The SQL types of columns as the kinds vector-tile clients know.
const char* field_kind(const std::string& sql_type) {
    for (const char* number : {"smallint", "integer", "bigint", "numeric", "real", "double precision"}) {
        if (sql_type == number) return "Number";
    }
    return sql_type == "boolean" ? "Boolean" : "String";
}

constexpr int max_served_zoom = 20;

}  // namespace

std::string layer_description_sql(const std::string& layer_name) {
    const layer_record& layer = *find_layer(layer_name);
    const std::string table = unquoted(layer.table);
    return "SELECT ST_XMin(b) AS minx, ST_YMin(b) AS miny, ST_XMax(b) AS maxx, ST_YMax(b) AS maxy,\n"
           "  (SELECT json_object_agg(column_name, data_type) FROM information_schema.columns\n"
           "    WHERE table_name = '" + table + "' AND table_schema = ANY (current_schemas(false)))::text AS fields\n"
           "FROM (SELECT ST_EstimatedExtent('" + table + "', '" + unquoted(layer.geom_col) + "') AS b) AS s";
}

boost::asio::awaitable<common::response> get_tilejson(service& svc, std::string layer_name, const common::request& req,
                                                      database::session& db) {
    const layer_record* layer = find_layer(layer_name);
    if (layer == nullptr) throw common::not_found("Layer '" + layer_name + "' not found");
    const statement_texts texts{
        .timeout_log = "Timeout describing layer " + layer_name,
        .timeout_detail = "Layer description timeout",
        .database_log = "Error describing layer " + layer_name,
        .database_detail = "Database error",
        .other_log = "Error describing layer " + layer_name,
        .other_detail = "Internal server error",
        .unreachable_passes = true,
    };
    auto sql = layer_description_sql(layer_name);
    const auto described = co_await run_statement(svc, db, std::move(sql), database::params(), std::chrono::seconds(10), texts);
    const auto row = described.first();

    helpers::utils::bounds extent{-helpers::utils::web_mercator_origin, -helpers::utils::web_mercator_origin,
                                  helpers::utils::web_mercator_origin, helpers::utils::web_mercator_origin};
    json columns = json::object();
    if (row && !row->is_null("minx")) extent = {row->real("minx"), row->real("miny"), row->real("maxx"), row->real("maxy")};
    if (row && !row->is_null("fields")) columns = json::parse(std::get<std::string>((*row)["fields"]), nullptr, false);

    json fields = json::object();
    for (const auto& property : layer->properties) {
        const std::string name = unquoted(property);
        const auto type = columns.is_object() ? columns.value(name, std::string()) : std::string();
        fields[name] = field_kind(type);
    }
    const auto sw = helpers::utils::to_lonlat(extent.minx, extent.miny);
    const auto ne = helpers::utils::to_lonlat(extent.maxx, extent.maxy);
    const auto mid = helpers::utils::to_lonlat((extent.minx + extent.maxx) / 2, (extent.miny + extent.maxy) / 2);
    const int min_zoom = layer->min_zoom.value_or(0);
    const std::string base = common::public_base(req, svc.urls);

    json doc;
    doc["tilejson"] = "3.0.0";
    doc["name"] = layer_name;
    doc["scheme"] = "xyz";
    doc["tiles"] = json::array({base + "/gis/" + layer_name + "/{z}/{x}/{y}.pbf"});
    doc["minzoom"] = min_zoom;
    doc["maxzoom"] = max_served_zoom;
    doc["bounds"] = {sw.lon, sw.lat, ne.lon, ne.lat};
    doc["center"] = {mid.lon, mid.lat, std::max(min_zoom, 1)};
    doc["vector_layers"] = json::array({{{"id", layer_name}, {"fields", fields}, {"minzoom", min_zoom}, {"maxzoom", max_served_zoom}}});
    co_return common::response::raw(doc.dump(), "application/json", {{"Cache-Control", "public, max-age=300"}});
}

common::response get_style(const service& svc, const common::request& req, const std::string& encoding) {
    const bool mlt = parse_tile_encoding(encoding) == tile_encoding::mlt;
    const std::string base = common::public_base(req, svc.urls);
    // One source for every layer: one request per tile position instead of one per layer.
    std::string layers;
    for (const auto& name : layer_names()) layers += (layers.empty() ? "" : ",") + name;
    json source = {{"type", "vector"}, {"url", base + "/gis/tiles/" + layers + "/tilejson.json" + (mlt ? "?encoding=mlt" : "")}};
    if (mlt) source["encoding"] = "mlt";
    json style;
    style["version"] = 8;
    style["name"] = "Cadastre";
    style["sources"] = {{composite_source, std::move(source)}};
    style["glyphs"] = base + "/viewer/fonts/{fontstack}/{range}.pbf";
    style["layers"] = json::parse(style_layers_json);
    for (auto& layer : style["layers"]) {
        if (layer.contains("source")) layer["source"] = composite_source;
    }
    return common::response::raw(style.dump(), "application/json", {{"Cache-Control", "public, max-age=300"}});
}

}  // namespace vectile
