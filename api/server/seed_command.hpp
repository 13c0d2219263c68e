#pragma once
// The `gisd seed` and `gisd purge` commands: their arguments, their own loop,
// Redis connection and pool, and what they print.

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "database/pool.hpp"
#include "routers/vectile/seeding.hpp"

namespace server::commands {

// Parsers of the commands' arguments; each throws std::invalid_argument
// with a message naming the bad value.
std::vector<std::string> parse_layers(const std::string& text);  // "plots,beacons": known layers
std::pair<int, int> parse_zoom_range(const std::string& text);   // "14-16" or "15", within 1..20
vectile::degree_box parse_bbox(const std::string& text);         // "WEST,SOUTH,EAST,NORTH" in degrees

// The whole commands: progress and the summary on `out` (a bar when
// `terminal`, else a line every few seconds). SIGINT and SIGTERM stop a seed
// with the summary so far. The exit status.
int run_seed_command(const vectile::seed_request& request, const database::pool_options& pool_options, std::ostream& out, bool terminal);
int run_purge_command(const vectile::seed_request& request, std::ostream& out);

}  // namespace server::commands
