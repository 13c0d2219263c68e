#include "routers/vectile/sessions.hpp"

namespace vectile {

namespace {

// Calls each PostGIS function the tile statements use, and a transformation
// from degrees, on a constant box: the first call of each on a new backend
// loads the library, PROJ and their catalogue entries, which otherwise a
// user's first tile pays for. Touches no table.
const char* const warm_up_sql =
    "SELECT ST_AsMVT(t, 'warm_up', 4096, 'g') FROM ("
    "SELECT 1 AS id, ST_AsMVTGeom(ST_Simplify(ST_SimplifyPreserveTopology(e, 1), 1), e, 4096, 32, true) AS g "
    "FROM (SELECT ST_Transform(ST_MakeEnvelope(7.4, 9.0, 7.5, 9.1, 4326), 3857) AS e) AS s "
    "WHERE e && e AND ST_Intersects(e, e) ORDER BY ST_Area(e) DESC LIMIT 1) AS t";

}  // namespace

std::vector<std::string> session_setup(const session_settings& settings) {
    std::vector<std::string> out;
    if (!settings.jit) out.emplace_back("SET jit = off");
    if (settings.warm_up) out.emplace_back(warm_up_sql);
    return out;
}

}  // namespace vectile
