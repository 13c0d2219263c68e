#pragma once
// How the tile service wants its database sessions set up: statements every
// new pool connection runs once, before it serves its first request.

#include <string>
#include <vector>

namespace vectile {

struct session_settings {
    // PostgreSQL's JIT compiler: off by default, since compiling the low-zoom
    // tile statements costs more than running them. On keeps the server's setting.
    bool jit = false;
    // Load PostGIS and its catalogue entries on the connection before it serves.
    bool warm_up = true;
};

// The statements for `database::pool_options::setup`. The tile statements
// themselves are unchanged by them.
std::vector<std::string> session_setup(const session_settings& settings);

}  // namespace vectile
