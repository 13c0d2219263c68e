#include "routers/vectile/routes.hpp"

#include "routers/vectile/bbox.hpp"
#include "routers/vectile/catalogue.hpp"
#include "routers/vectile/centroid.hpp"
#include "routers/vectile/composite.hpp"
#include "routers/vectile/invalidation.hpp"
#include "routers/vectile/service.hpp"
#include "routers/vectile/tilejson.hpp"
#include "routers/vectile/tiles.hpp"

namespace vectile {

using common::param_type;
using common::route;
using common::verb;

void register_routes(service& svc) {
    service* s = &svc;
    auto& r = svc.router;

    r.add_api_route(route{
        .method = verb::get,
        .path = "/{layer_name}/{z}/{x}/{y}.pbf",
        .name = "get_tile_xyz",
        .description = "Serve vector tiles with proper zoom-out support.",
        .params = {common::path_param("layer_name", param_type::text), common::path_param("z", param_type::integer),
                   common::path_param("x", param_type::integer), common::path_param("y", param_type::integer)},
        .uses_db = true,
        .handler = [s](common::request_context& ctx) {
            return get_tile_xyz(*s, ctx.text("layer_name"), ctx.integer("z"), ctx.integer("x"), ctx.integer("y"), ctx.db());
        },
    });

    r.add_api_route(route{
        .method = verb::get,
        .path = "/{layer_name}/{z}/{x}/{y}.mlt",
        .name = "get_tile_xyz_mlt",
        .description = "A layer's vector tile as a MapLibre Tile (MLT).",
        .params = {common::path_param("layer_name", param_type::text), common::path_param("z", param_type::integer),
                   common::path_param("x", param_type::integer), common::path_param("y", param_type::integer)},
        .uses_db = true,
        .handler = [s](common::request_context& ctx) {
            return get_tile_xyz_mlt(*s, ctx.text("layer_name"), ctx.integer("z"), ctx.integer("x"), ctx.integer("y"), ctx.db());
        },
    });

    for (const auto encoding : {tile_encoding::mvt, tile_encoding::mlt}) {
        const bool mlt = encoding == tile_encoding::mlt;
        r.add_api_route(route{
            .method = verb::get,
            .path = mlt ? "/tiles/{layers}/{z}/{x}/{y}.mlt" : "/tiles/{layers}/{z}/{x}/{y}.pbf",
            .name = mlt ? "get_tile_composite_mlt" : "get_tile_composite",
            .description = mlt ? "Several layers' vector tiles as one MapLibre Tile (MLT); layers comma-separated."
                               : "Several layers' vector tiles as one tile; layers comma-separated.",
            .params = {common::path_param("layers", param_type::text), common::path_param("z", param_type::integer),
                       common::path_param("x", param_type::integer), common::path_param("y", param_type::integer)},
            .uses_db = true,
            .handler = [s, encoding](common::request_context& ctx) {
                return get_tile_composite(*s, ctx.text("layers"), ctx.integer("z"), ctx.integer("x"), ctx.integer("y"), ctx.db(),
                                          encoding);
            },
        });
    }

    r.add_api_route(route{
        .method = verb::get,
        .path = "/tiles/{layers}/tilejson.json",
        .name = "get_composite_tilejson",
        .description = "TileJSON 3.0.0 of composite tiles; ?encoding=mlt for MapLibre Tiles.",
        .params = {common::query_param("encoding", param_type::text, std::string("mvt"), "Tile encoding: mvt or mlt")},
        .uses_db = true,
        .handler = [s](common::request_context& ctx) {
            return get_composite_tilejson(*s, ctx.text("layers"), ctx.text("encoding"), ctx.req(), ctx.db());
        },
    });

    r.add_api_route(route{
        .method = verb::get,
        .path = "/{layer_name}/zoom-info/",
        .name = "get_layer_zoom_info",
        .description = "Get zoom level information for a layer.",
        .handler = [](common::request_context& ctx) -> boost::asio::awaitable<common::response> {
            co_return get_layer_zoom_info(ctx.text("layer_name"));
        },
    });

    r.add_api_route(route{
        .method = verb::get,
        .path = "/{layer_name}/bbox/",
        .name = "get_tile_bbox",
        .description = "Serve vector tiles for custom bounding box.",
        .params = {common::required_query_param("minx", param_type::real, "Bounding box minimum X"),
                   common::required_query_param("miny", param_type::real, "Bounding box minimum Y"),
                   common::required_query_param("maxx", param_type::real, "Bounding box maximum X"),
                   common::required_query_param("maxy", param_type::real, "Bounding box maximum Y"),
                   common::query_param("srid", param_type::integer, std::int64_t{4326}, "SRID of input bbox"),
                   common::query_param("max_features", param_type::integer, std::int64_t{5000}, "Maximum features to return"),
                   common::query_param("simplify", param_type::boolean, true, "Apply geometry simplification")},
        .uses_db = true,
        .handler = [s](common::request_context& ctx) {
            bbox_request req{ctx.text("layer_name"), ctx.real("minx"), ctx.real("miny"), ctx.real("maxx"), ctx.real("maxy"),
                             ctx.integer("srid"), ctx.integer("max_features"), ctx.boolean("simplify")};
            return get_tile_bbox(*s, std::move(req), ctx.db());
        },
    });

    r.add_api_route(route{
        .method = verb::get,
        .path = "/{layer_name}/",
        .name = "get_central_tile_info",
        .description = "Get layer centroid and suggested tile coordinates.",
        .uses_db = true,
        .handler = [s](common::request_context& ctx) { return get_central_tile_info(*s, ctx.text("layer_name"), ctx.db()); },
    });

    r.add_api_route(route{
        .method = verb::get,
        .path = "/layers/",
        .name = "get_available_layers",
        .description = "Get list of available layers and their configurations.",
        .handler = [](common::request_context&) -> boost::asio::awaitable<common::response> { co_return get_available_layers(); },
    });

    r.add_api_route(route{
        .method = verb::post,
        .path = "/cache/invalidate/{layer_name}",
        .name = "invalidate_cache_endpoint",
        .description = "Manually invalidate cache for a specific layer.\nUseful after bulk data updates or for testing.",
        .admin = true,
        .handler = [s](common::request_context& ctx) { return invalidate_cache_endpoint(*s, ctx.text("layer_name")); },
    });

    r.add_api_route(route{
        .method = verb::get,
        .path = "/{layer_name}/tilejson.json",
        .name = "get_tilejson",
        .description = "TileJSON 3.0.0 of a layer: absolute tile URLs, zoom range, bounds, centre and fields.",
        .uses_db = true,
        .handler = [s](common::request_context& ctx) { return get_tilejson(*s, ctx.text("layer_name"), ctx.req(), ctx.db()); },
    });

    r.add_api_route(route{
        .method = verb::get,
        .path = "/style.json",
        .name = "get_style",
        .description = "A map style with every layer from one composite source; ?encoding=mlt for MapLibre Tiles.",
        .params = {common::query_param("encoding", param_type::text, std::string("mvt"), "Tile encoding: mvt or mlt")},
        .handler = [s](common::request_context& ctx) -> boost::asio::awaitable<common::response> {
            co_return get_style(*s, ctx.req(), ctx.text("encoding"));
        },
    });

    r.add_api_route(route{
        .method = verb::get,
        .path = "/health/",
        .name = "health_check",
        .description = "Health check endpoint for monitoring.",
        .handler = [s](common::request_context&) { return health_check(*s); },
    });
}

}  // namespace vectile
