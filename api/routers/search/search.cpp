#include "routers/search/search.hpp"

#include <exception>
#include <iostream>
#include <optional>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <nlohmann/json.hpp>

#include "common/deadline.hpp"
#include "common/errors.hpp"
#include "database/database.hpp"
#include "database/transaction.hpp"
#include "helpers/utils/utf8.hpp"
#include "logger/logger.hpp"

namespace search {

namespace {

namespace asio = boost::asio;
using json = nlohmann::ordered_json;

// The key a stored text is compared by: lower case without spaces, in the C
// collation so that a B-tree on it serves both equality and LIKE 'prefix%'
// and keeps its rows in the order answers are given. The indexes below are
// built on exactly this expression, or the planner would not use them.
// replace() rather than a regular expression: without the indexes every row
// is folded on each search, and replace() costs a third as much.
std::string key_of(const std::string& column) { return "(replace(lower(" + column + "), ' ', '') COLLATE \"C\")"; }

// The query text's key (any white space dropped: what people paste may hold
// tabs or line breaks), and the LIKE pattern of the keys it begins.
// Written out in full where they are used (no CTE): the planner then folds
// them into constants and takes the index range of the pattern's fixed prefix.
std::string wanted_key() { return "(lower(regexp_replace(:q::text, '\\s+', '', 'g')) COLLATE \"C\")"; }
std::string wanted_pattern() {
    return "(replace(replace(replace(" + wanted_key() + ", '\\', '\\\\'), '%', '\\%'), '_', '\\_') || '%')";
}

// One layer's exact matches, then its prefix matches, each already in answer
// order and cut at the limit, so that an index walk stops early. Every longer
// key with the prefix sorts after the key itself: "> key" starts the walk past
// the exact matches (thousands of "PLOT 3", one per zone) instead of reading
// and dropping each.
std::string branches(const std::string& layer, int layer_order, const std::string& table, const std::string& column,
                     const std::string& field, const std::string& id, const std::string& label, const std::string& zone,
                     const std::string& file_no, const std::string& geometry, const std::string& zone_order) {
    const std::string key = key_of("t." + column);
    const std::string select = "SELECT '" + layer + "'::text AS layer, " + std::to_string(layer_order) + " AS layer_order, %R AS rank, " +
                               key + " AS k, t." + id + "::bigint AS id, t." + label + "::text AS label, " + zone +
                               "::text AS zone, " + file_no + "::text AS file_no, '" + field + "'::text AS field, t." + geometry +
                               " AS geom FROM " + table + " t WHERE :layer IN ('', '" + layer + "') AND ";
    std::string exact = select;
    exact.replace(exact.find("%R"), 2, "0");
    std::string prefix = select;
    prefix.replace(prefix.find("%R"), 2, "1");
    const std::string order = zone_order.empty() ? "t." + id : zone_order + ", t." + id;
    return "(" + exact + key + " = " + wanted_key() + " ORDER BY " + order + " LIMIT :limit)\n UNION ALL (" + prefix + key +
           " LIKE " + wanted_pattern() + " AND " + key + " > " + wanted_key() + " ORDER BY " + key + ", " + order +
           " LIMIT :limit)";
}

// One statement: every layer's candidates, the best `limit` of them, and only
// for those the degrees and the zone of a beacon. The query text is folded
// as the columns are; LIKE's own characters in it are escaped, so that "%",
// "_" and "\" match themselves.
std::string build_search_sql() {
    std::string sql =
        "SELECT h.layer, h.id, h.label, coalesce(h.zone, (SELECT z.name FROM \"CadZones\" z WHERE ST_Intersects(z.geometry_3857, h.geom) "
        "ORDER BY z.id LIMIT 1)) AS zone, h.file_no, h.field, h.rank, ST_XMin(b.box) AS west, ST_YMin(b.box) AS south, "
        "ST_XMax(b.box) AS east, ST_YMax(b.box) AS north, ST_X(b.centre) AS lon, ST_Y(b.centre) AS lat\n"
        "FROM (\n" +
        branches("plots", 0, "\"PLOT\"", "\"PLOT_NO\"", "plot_no", "\"ID\"", "\"PLOT_NO\"", "t.\"CADZONE\"", "t.file_no",
                 "\"GEOMETRY_3857\"", "t.\"CADZONE\"") +
        "\n UNION ALL " +
        branches("plots", 0, "\"PLOT\"", "file_no", "file_no", "\"ID\"", "\"PLOT_NO\"", "t.\"CADZONE\"", "t.file_no",
                 "\"GEOMETRY_3857\"", "t.\"CADZONE\"") +
        "\n UNION ALL " +
        branches("beacons", 1, "\"BEACON\"", "\"BEACON_NO\"", "beacon_no", "\"ID\"", "\"BEACON_NO\"", "NULL", "NULL",
                 "\"GEOMETRY_3857\"", "") +
        "\n UNION ALL " +
        branches("cadzones", 2, "\"CadZones\"", "name", "name", "id", "name", "t.name", "NULL", "geometry_3857", "") +
        "\n ORDER BY rank, k, layer_order, zone, id LIMIT :limit) h\n"
        "CROSS JOIN LATERAL (SELECT Box2D(g) AS box, ST_PointOnSurface(g) AS centre FROM ST_Transform(h.geom, 4326) g) b\n"
        "ORDER BY h.rank, h.k, h.layer_order, h.zone, h.id";
    return sql;
}

const std::string& search_sql() {
    static const std::string sql = build_search_sql();
    return sql;
}

// Out of the coroutines: GCC 12 mistranslates braced lists of string literals in them.
[[noreturn]] void reject(const char* name, const std::string& message, const char* type) {
    throw common::validation_error({{{"query", name}, message, type}});
}

std::size_t characters_in(const std::string& text) {
    std::size_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

double real_of(const database::row& r, std::string_view column) { return r.real(column); }

std::string text_of(const database::row& r, std::string_view column) {
    const auto& v = r[column];
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    return {};
}

json answer_of(const query& q, const database::result& rows) {
    json results = json::array();
    for (const auto& r : rows.rows()) {
        json item;
        item["layer"] = text_of(r, "layer");
        item["id"] = std::get<std::int64_t>(r["id"]);
        item["label"] = text_of(r, "label");
        if (r.is_null("zone")) {
            item["zone"] = nullptr;
        } else {
            item["zone"] = text_of(r, "zone");
        }
        if (item["layer"] == "plots") item["file_no"] = r.is_null("file_no") ? json(nullptr) : json(text_of(r, "file_no"));
        item["matched"] = text_of(r, "field");
        item["match"] = std::get<std::int64_t>(r["rank"]) == 0 ? "exact" : "prefix";
        item["bbox"] = {real_of(r, "west"), real_of(r, "south"), real_of(r, "east"), real_of(r, "north")};
        item["centre"] = {real_of(r, "lon"), real_of(r, "lat")};
        results.push_back(std::move(item));
    }
    json body;
    body["query"] = q.text;
    body["results"] = std::move(results);
    return body;
}

struct statement_timeout {};

// The search as a transaction's body: read-only, bounded by the deadline.
// Named, so that nothing temporary is bound inside the awaited call.
struct search_statement {
    const query& q;
    std::chrono::milliseconds deadline;

    asio::awaitable<database::result> operator()(database::session& s) const {
        database::params params;
        params.emplace_back("q", q.text);
        params.emplace_back("layer", q.layer);
        params.emplace_back("limit", q.limit);
        s.read_only();
        auto statement = s.execute_last(search_sql(), std::move(params));
        auto value = co_await common::with_deadline(std::move(statement), deadline);
        if (!value) throw statement_timeout{};
        co_return std::move(*value);
    }
};

// Database failures pass on as they are: the server answers them (503 with
// Retry-After when the database cannot be reached).
asio::awaitable<common::response> search_handler(search_options options, common::request_context& ctx) {
    const query q = parse_query(ctx.text("q"), ctx.text("layer"), ctx.integer("limit"));
    try {
        // Rolled back (the statement cancelled on the server) when it did not end well.
        const search_statement body{q, options.deadline};
        const auto rows = co_await database::db_transaction(ctx.db(), body);
        co_return common::json_response(answer_of(q, rows));
    } catch (const statement_timeout&) {
        logger::get_logger()->error("Search for '{}' took longer than {} ms", q.text, options.deadline.count());
        throw common::timed_out("The search did not finish in time");
    }
}

}  // namespace

query parse_query(const std::string& q, const std::string& layer, std::int64_t limit) {
    if (q.find_first_not_of(" \t\r\n\f\v") == std::string::npos) reject("q", "The search text is empty", "string_too_short");
    // The database refuses malformed UTF-8 and cuts text at a NUL: the caller's error, not a fault.
    if (!helpers::utils::is_database_text(q)) reject("q", "The search text is not valid UTF-8 text", "string_unicode");
    if (characters_in(q) > max_query_chars) {
        reject("q", "The search text is longer than " + std::to_string(max_query_chars) + " characters", "string_too_long");
    }
    if (limit < 1 || limit > max_limit) {
        reject("limit", "limit must be between 1 and " + std::to_string(max_limit) + ", not " + std::to_string(limit), "out_of_range");
    }
    if (!layer.empty() && layer != "plots" && layer != "beacons" && layer != "cadzones") {
        reject("layer", "layer must be plots, beacons or cadzones", "enum");
    }
    return {q, layer, limit};
}

common::router search_router(search_options options) {
    common::router r("", {"Search"});
    common::route route;
    route.method = common::verb::get;
    route.path = "/search";
    route.name = "search";
    route.description =
        "Find plots by plot number or file number, beacons by number and cadastral zones by name, ignoring case and spaces: "
        "exact matches first, then prefix matches. Answer: {\"query\": q, \"results\": [{\"layer\", \"id\", \"label\", "
        "\"zone\", \"file_no\" (plots), \"matched\", \"match\": \"exact\"|\"prefix\", \"bbox\": [w, s, e, n], \"centre\": "
        "[lon, lat]}]} in degrees.";
    route.params = {common::required_query_param("q", common::param_type::text, "What to look for (1 to 100 characters)"),
                    common::query_param("layer", common::param_type::text, std::string(), "plots, beacons or cadzones (default: all)"),
                    common::query_param("limit", common::param_type::integer, default_limit, "Results, 1 to 50")};
    route.uses_db = true;
    route.handler = [options](common::request_context& ctx) { return search_handler(options, ctx); };
    r.add_api_route(std::move(route));
    return r;
}

const std::vector<std::string>& index_statements() {
    static const std::vector<std::string> statements = {
        "CREATE INDEX IF NOT EXISTS \"PLOT_search_plot_no_idx\" ON \"PLOT\" (" + key_of("\"PLOT_NO\"") + ", \"CADZONE\", \"ID\")",
        "CREATE INDEX IF NOT EXISTS \"PLOT_search_file_no_idx\" ON \"PLOT\" (" + key_of("file_no") + ", \"CADZONE\", \"ID\")",
        "CREATE INDEX IF NOT EXISTS \"BEACON_search_idx\" ON \"BEACON\" (" + key_of("\"BEACON_NO\"") + ", \"ID\")",
        "CREATE INDEX IF NOT EXISTS \"CadZones_search_idx\" ON \"CadZones\" (" + key_of("name") + ", id)",
        "ANALYZE \"PLOT\", \"BEACON\", \"CadZones\"",
    };
    return statements;
}

int run_install_command(const database::pool_options& pool_options, bool print_only, std::ostream& out) {
    if (print_only) {
        for (const auto& statement : index_statements()) out << statement << ";\n";
        return 0;
    }
    asio::io_context ioc(1);
    database::pool pool(ioc.get_executor(), pool_options);
    std::exception_ptr failure;
    auto install = [&pool]() -> asio::awaitable<void> {
        auto db = pool.make_session();
        // Each index on its own: one that fails does not undo those before it.
        for (const auto& statement : index_statements()) {
            co_await db->execute(statement);
            co_await db->commit();
        }
        co_await db->close();
    };
    asio::co_spawn(ioc, install(), [&failure](std::exception_ptr e) { failure = std::move(e); });
    ioc.run();
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            out << "search install: failed: " << e.what() << std::endl;
        }
        return 1;
    }
    out << "search install: " << index_statements().size() - 1 << " indexes in place" << std::endl;
    return 0;
}

}  // namespace search
