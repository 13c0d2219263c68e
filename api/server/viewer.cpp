#include "server/viewer.hpp"

#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <system_error>

#include "common/errors.hpp"

namespace server {

namespace fs = std::filesystem;
namespace asio = boost::asio;

namespace {

const char* media_type_of(const fs::path& file) {
    const std::string ext = file.extension().string();
    if (ext == ".html") return "text/html; charset=utf-8";
    if (ext == ".js") return "text/javascript; charset=utf-8";
    if (ext == ".css") return "text/css; charset=utf-8";
    if (ext == ".json" || ext == ".map") return "application/json";
    if (ext == ".pbf") return "application/x-protobuf";
    if (ext == ".png") return "image/png";
    if (ext == ".svg") return "image/svg+xml";
    return "application/octet-stream";
}

[[noreturn]] void refuse() { throw common::not_found("Not Found"); }

}  // namespace

std::optional<fs::path> file_within(const fs::path& root, const std::vector<std::string>& parts) {
    fs::path relative;
    for (const auto& part : parts) {
        if (part.empty() || part == "." || part == ".." || part.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
            return std::nullopt;
        }
        relative /= part;
    }
    std::error_code ec;
    const fs::path base = fs::canonical(root, ec);
    if (ec) return std::nullopt;
    const fs::path file = fs::canonical(base / relative, ec);
    if (ec || !fs::is_regular_file(file, ec)) return std::nullopt;
    // Links are followed before the check, so one that leads out of the root is refused.
    auto [b, f] = std::mismatch(base.begin(), base.end(), file.begin(), file.end());
    if (b != base.end()) return std::nullopt;
    return file;
}

common::response file_answer(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) refuse();
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Short-lived, so that a new release reaches browsers soon; the ETag makes
    // the revalidation cheap.
    return common::response::raw(std::move(bytes), media_type_of(file), {{"Cache-Control", "public, max-age=300"}});
}

common::router viewer_router(viewer_options options) {
    common::router r("", {"Viewer"});
    auto opts = std::make_shared<const viewer_options>(std::move(options));
    auto serve = [opts](fs::path root, std::vector<std::string> parts) -> common::response {
        auto file = file_within(root, parts);
        if (!file) refuse();
        return file_answer(*file);
    };
    using common::request_context;
    r.add_api_route({.path = "/viewer/fonts/{fontstack}/{range}.pbf",
                     .name = "viewer_glyphs",
                     .description = "Glyph ranges of the map style's fonts.",
                     .handler = [opts, serve](request_context& ctx) -> asio::awaitable<common::response> {
                         co_return serve(opts->web_dir / "fonts", {ctx.text("fontstack"), ctx.text("range") + ".pbf"});
                     }});
    if (!opts->page) return r;
    r.add_api_route({.path = "/",
                     .name = "viewer",
                     .description = "The map viewer.",
                     .handler = [opts, serve](request_context&) -> asio::awaitable<common::response> {
                         co_return serve(opts->web_dir, {"index.html"});
                     }});
    r.add_api_route({.path = "/viewer/config.json",
                     .name = "viewer_config",
                     .description = "The viewer's settings: the optional raster basemap.",
                     .handler = [opts](request_context&) -> asio::awaitable<common::response> {
                         nlohmann::ordered_json doc{{"basemap_url", opts->basemap_url ? nlohmann::ordered_json(*opts->basemap_url) : nullptr}};
                         co_return common::response::raw(doc.dump(), "application/json", {{"Cache-Control", "no-cache"}});
                     }});
    r.add_api_route({.path = "/viewer/{file}",
                     .name = "viewer_file",
                     .description = "The viewer's own files.",
                     .handler = [opts, serve](request_context& ctx) -> asio::awaitable<common::response> {
                         co_return serve(opts->web_dir, {ctx.text("file")});
                     }});
    r.add_api_route({.path = "/viewer/maplibre-gl/{file}",
                     .name = "viewer_map_library",
                     .description = "The map library's files.",
                     .handler = [opts, serve](request_context& ctx) -> asio::awaitable<common::response> {
                         co_return serve(opts->web_dir / "node_modules" / "maplibre-gl" / "dist", {ctx.text("file")});
                     }});
    return r;
}

}  // namespace server
