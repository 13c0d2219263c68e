#pragma once
// The map viewer's page and files, served from a folder, and the glyphs that
// the map style names.

#include <filesystem>
#include <optional>
#include <string>

#include "common/response.hpp"
#include "common/route.hpp"

namespace server {

struct viewer_options {
    std::filesystem::path web_dir;           // holds index.html, the page's files, fonts/ and node_modules/
    bool page = true;                        // off: only the glyphs are served
    std::optional<std::string> basemap_url;  // a raster XYZ template the page draws under the layers
};

// A file of `root` named by `parts` (decoded path segments), or nothing when
// a part is empty, "." or "..", holds a slash or a NUL, or the file is not a
// regular file inside the root once links are followed.
std::optional<std::filesystem::path> file_within(const std::filesystem::path& root, const std::vector<std::string>& parts);

// The answer for a file: its bytes with the type its extension names and a
// revalidation policy; 404 when it cannot be read.
common::response file_answer(const std::filesystem::path& file);

// GET /, /viewer/config.json, /viewer/{file}, /viewer/maplibre-gl/{file}
// and /viewer/fonts/{fontstack}/{range}.pbf.
common::router viewer_router(viewer_options options);

}  // namespace server
