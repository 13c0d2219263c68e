#include "cadastre/plan_source.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <numbers>
#include <tuple>
#include <utility>

#include <boost/asio/this_coro.hpp>

#include "common/cancellation.hpp"
#include "common/deadline.hpp"
#include "database/transaction.hpp"
#include "database/session.hpp"
#include "plan_sql.hpp"

namespace plots::cadastre {

namespace {

using namespace sql;

namespace asio = boost::asio;
using json = nlohmann::ordered_json;

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
    return text;
}

database::value optional_text(const std::optional<std::string>& text) {
    if (!text) return std::monostate{};
    return *text;
}

std::optional<std::string> text_of(const database::row& row, std::string_view column) {
    if (row.is_null(column)) return std::nullopt;
    return std::get<std::string>(row[column]);
}

std::int64_t integer_of(const database::row& row, std::string_view column) { return std::get<std::int64_t>(row[column]); }

json point_json(double x, double y) { return json::array({x, y}); }

std::string metres_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

// Northings closer than this are a tie for the first corner.
constexpr double tie_m = 0.001;

struct corner {
    double x = 0;
    double y = 0;
    double dist = 0;
    double azimuth = 0;
    std::optional<std::string> beacon;
};

// The plot's record, its window and warnings, from the parcel statement's rows.
struct parcel_reading {
    std::int64_t id = 0;
    json record;
    ground_window window;
    std::vector<std::string> warnings;
    std::optional<std::string> road_table;
    std::optional<std::string> road_column;
    std::string zone;
};

parcel_reading read_parcel(const database::result& r, const plot_key& key, const source_options& options) {
    const auto& rows = r.rows();
    const std::string named = "'" + key.plot_no + "'" + (key.zone ? " in zone '" + *key.zone + "'" : std::string());
    const auto matches = rows.empty() ? 0 : integer_of(rows.front(), "matches");
    if (matches == 0) throw unknown_plot("No plot numbered " + named);
    if (matches > 1) {
        std::vector<std::string> zones;
        const std::string list = text_of(rows.front(), "zones").value_or("");
        for (std::size_t start = 0; start <= list.size();) {
            const auto comma = list.find(", ", start);
            zones.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (comma == std::string::npos) break;
            start = comma + 2;
        }
        throw ambiguous_plot(std::to_string(matches) + " plots are numbered " + named + ", in the zones " + list +
                                 ": name the zone",
                             std::move(zones));
    }
    if (auto problem = text_of(rows.front(), "problem")) {
        throw not_simple_polygon("Plot " + named + " is not a simple polygon: " + *problem);
    }

    std::vector<corner> corners;
    for (const auto& row : rows) {
        corners.push_back({row.real("x"), row.real("y"), row.real("dist"), row.real("azimuth"), text_of(row, "beacon")});
    }
    // Clockwise already; the boundary starts at the most northerly corner, the
    // westerly one on a tie. Northings within a millimetre tie: a corner's
    // trip through EPSG:3857 leaves noise far below that.
    double north = corners.front().y;
    for (const corner& c : corners) north = std::max(north, c.y);
    std::size_t first = corners.size();
    for (std::size_t i = 0; i < corners.size(); ++i) {
        if (corners[i].y >= north - tie_m && (first == corners.size() || corners[i].x < corners[first].x)) first = i;
    }

    parcel_reading out;
    out.id = integer_of(rows.front(), "id");
    json ring = json::array();
    json boundary = json::array();
    std::vector<std::pair<double, double>> points;
    for (std::size_t k = 0; k < corners.size(); ++k) {
        const corner& c = corners[(first + k) % corners.size()];
        ring.push_back(point_json(c.x, c.y));
        points.emplace_back(c.x, c.y);
        if (!c.beacon) {
            out.warnings.push_back("Corner " + std::to_string(k + 1) + " at (" + metres_text(c.x) + ", " + metres_text(c.y) +
                                   ") has no beacon within " + metres_text(options.beacon_tolerance_m) + " m");
        }
        const degrees_minutes bearing = bearing_of(c.azimuth * 180 / std::numbers::pi);
        json beacon;
        beacon["geometry"] = {{"coordinates", point_json(c.x, c.y)}};
        beacon["beacon_name"] = c.beacon ? *c.beacon : "(no beacon)";
        beacon["distance_to_next"] = c.dist;
        beacon["bearing_deg_to_next"] = bearing.degrees;
        beacon["bearing_min_to_next"] = bearing.minutes;
        boundary.push_back(std::move(beacon));
    }
    ring.push_back(ring.front());

    out.zone = text_of(rows.front(), "zones").value_or("");
    out.record["plot_no"] = key.plot_no;
    out.record["name"] = key.plot_no;
    out.record["area"] = rows.front().real("area");
    out.record["geometry"] = {{"coordinates", json::array({std::move(ring)})}};
    out.record["boundary"] = std::move(boundary);
    out.window = plan_window(points);

    if (options.roads_table) {
        const auto srid = rows.front().is_null("road_srid") ? 0 : integer_of(rows.front(), "road_srid");
        const std::string type = text_of(rows.front(), "road_type").value_or("");
        if (rows.front().is_null("road_table")) {  // no such table, or no geometry in it
            out.warnings.push_back("No roads: the table " + *options.roads_table + " has no geometry column");
        } else if (srid != 3857 || (type != "LINESTRING" && type != "MULTILINESTRING" && type != "GEOMETRY")) {
            out.warnings.push_back("No roads: the geometry of " + *options.roads_table + " is " + type + " in EPSG:" +
                                   std::to_string(srid) + ", not lines in EPSG:3857");
        } else {
            out.road_table = text_of(rows.front(), "road_table");
            out.road_column = text_of(rows.front(), "road_column");
        }
    }
    return out;
}

// parcel_data after the plot, and road_data, from the neighbours statement's rows.
std::pair<json, json> read_surroundings(const database::result& r) {
    json parcels = json::array();
    json roads = json::array();
    std::tuple<std::int64_t, std::int64_t, std::int64_t> current{-1, -1, -1};
    json* points = nullptr;
    for (const auto& row : r.rows()) {
        const auto kind = integer_of(row, "kind");
        const std::tuple<std::int64_t, std::int64_t, std::int64_t> part{kind, integer_of(row, "id"), integer_of(row, "part")};
        if (part != current || points == nullptr) {
            current = part;
            if (kind == 0) {
                json record;
                record["plot_no"] = *text_of(row, "plot_no");
                record["geometry"] = {{"coordinates", json::array({json::array()})}};
                parcels.push_back(std::move(record));
                points = &parcels.back()["geometry"]["coordinates"][0];
            } else {
                roads.push_back({{"geometry", {{"coordinates", json::array()}}}});
                points = &roads.back()["geometry"]["coordinates"];
            }
        }
        points->push_back(point_json(row.real("x"), row.real("y")));
    }
    return {std::move(parcels), std::move(roads)};
}

database::params parcel_params_of(const plot_key& key, const source_options& options, const std::optional<std::string>& road_name,
                                   const std::optional<std::string>& road_schema) {
    return {{"plot_no", key.plot_no},
            {"zone", optional_text(key.zone)},
            {"tolerance", options.beacon_tolerance_m},
            {"road_table", optional_text(road_name)},
            {"road_schema", optional_text(road_schema)}};
}

database::params window_params_of(const parcel_reading& reading) {
    return {{"xmin", reading.window.minx},
            {"ymin", reading.window.miny},
            {"xmax", reading.window.maxx},
            {"ymax", reading.window.maxy},
            {"id", reading.id}};
}

// The final request of the plot, from its reading and the surroundings statement.
assembled_request request_of(const plot_key& key, parcel_reading& reading, const database::result& surroundings) {
    std::pair<json, json> others_and_roads = read_surroundings(surroundings);
    assembled_request out;
    json parcels = json::array();
    parcels.push_back(std::move(reading.record));
    for (auto& other : others_and_roads.first) parcels.push_back(std::move(other));
    out.request["parcel_data"] = std::move(parcels);
    out.request["selected_parcel_number"] = key.plot_no;
    out.request["road_data"] = std::move(others_and_roads.second);
    out.request["columnname"] = "plot_no";
    out.warnings = std::move(reading.warnings);
    out.zone = std::move(reading.zone);
    return out;
}

asio::awaitable<assembled_request> read_request(database::session& db, const plot_key& key, const source_options& options) {
    co_await db.execute(read_only_sql);

    std::optional<std::string> road_schema;
    std::optional<std::string> road_name = options.roads_table;
    if (road_name) {
        if (const auto dot = road_name->find('.'); dot != std::string::npos) {
            road_schema = road_name->substr(0, dot);
            road_name = road_name->substr(dot + 1);
        }
    }
    // Built before the co_await: GCC 12 mistranslates a braced list of
    // string literals inside one.
    database::params parcel_params = parcel_params_of(key, options, road_name, road_schema);
    const auto parcel = co_await db.execute(parcel_sql, std::move(parcel_params));
    parcel_reading reading = read_parcel(parcel, key, options);

    std::string sql = neighbours_sql;
    if (reading.road_table) {
        sql += replace_all(replace_all(roads_sql, "%T", *reading.road_table), "%G", *reading.road_column);
    }
    sql += order_sql;
    database::params window_params = window_params_of(reading);
    const auto surroundings = co_await db.execute_last(sql, std::move(window_params));
    co_return request_of(key, reading, surroundings);
}

[[noreturn]] void throw_read_timeout(const source_options& options) {
    throw read_timeout("The cadastre was not read within " + std::to_string(options.deadline.count()) + " ms");
}

}  // namespace


namespace {

// The reading as a transaction's body; named, so that nothing temporary is
// bound inside the awaited call.
struct read_within_deadline {
    const plot_key& key;
    const source_options& options;

    asio::awaitable<assembled_request> operator()(database::session& s) const {
        auto reading = read_request(s, key, options);
        auto value = co_await common::with_deadline(std::move(reading), options.deadline);
        if (!value) throw_read_timeout(options);
        co_return std::move(*value);
    }
};

}  // namespace

asio::awaitable<assembled_request> assemble_request(database::session& db, const plot_key& key, const source_options& options) {
    // Rolling back on failure cancels on the server a statement still running past the deadline.
    const read_within_deadline body{key, options};
    co_return co_await database::db_transaction(db, body);
}

}  // namespace plots::cadastre
