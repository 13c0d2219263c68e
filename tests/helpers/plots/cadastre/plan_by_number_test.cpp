// Plans by plot number against the test cadastre: each plan must be the one
// that POST /plans draws from a request this test assembles with its own SQL,
// and the figures in it the test's own. Plots with odd numbers, missing
// beacons and broken shapes are added to copies of the tables in a scratch
// schema, so that tests running meanwhile see the shared tables unchanged.

#include <libpq-fe.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plots/cadastre/plan_source.hpp"
#include "database/database.hpp"
#include "routers/plans/plan_routes.hpp"
#include "plots/plots.hpp"
#include "server/application.hpp"
#include "support/child_process.hpp"
#include "support/env.hpp"
#include "support/gisd_process.hpp"
#include "support/http_client.hpp"
#include "support/run.hpp"

namespace {

using json = nlohmann::ordered_json;
using rows_t = std::vector<std::vector<std::string>>;

// One blocking connection for arranging data and for the test's own figures.
class pg {
public:
    explicit pg(const std::string& url) : m_conn(PQconnectdb(url.c_str())) {
        if (PQstatus(m_conn) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(m_conn));
    }
    ~pg() { PQfinish(m_conn); }
    pg(const pg&) = delete;
    pg& operator=(const pg&) = delete;

    rows_t rows(const std::string& sql) {
        PGresult* r = PQexec(m_conn, sql.c_str());
        const auto st = PQresultStatus(r);
        if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
            std::string message = PQresultErrorMessage(r);
            PQclear(r);
            throw std::runtime_error(message + " in " + sql.substr(0, 200));
        }
        rows_t out;
        for (int i = 0; i < PQntuples(r); ++i) {
            out.emplace_back();
            for (int c = 0; c < PQnfields(r); ++c) out.back().emplace_back(PQgetvalue(r, i, c));
        }
        PQclear(r);
        return out;
    }

private:
    PGconn* m_conn;
};

std::string with_search_path(const std::string& url, const std::string& schema) {
    return url + (url.find('?') == std::string::npos ? "?" : "&") + "options=-c%20search_path%3D" + schema + "%2Cpublic";
}

double real(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

std::string encoded(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.') {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

// The shared cadastre copied into a schema of this test, with plots of its own added.
class plans_by_number : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_schema = "plans_" + test_support::unique_suffix();
        pg db(test_support::database_url());
        db.rows("CREATE SCHEMA " + s_schema + ";"
                "CREATE TABLE " + s_schema + ".\"PLOT\" AS SELECT * FROM public.\"PLOT\";"
                "CREATE TABLE " + s_schema + ".\"BEACON\" AS SELECT * FROM public.\"BEACON\";"
                "CREATE TABLE " + s_schema + ".\"Roads\" AS SELECT * FROM public.\"Roads\";"
                "CREATE TABLE " + s_schema + ".\"EmptyRoads\" (id integer, geom geometry(LineString, 3857));"
                "CREATE INDEX ON " + s_schema + ".\"PLOT\" USING gist (\"GEOMETRY_3857\");"
                "CREATE INDEX ON " + s_schema + ".\"BEACON\" USING gist (\"GEOMETRY_3857\");"
                "ANALYZE " + s_schema + ".\"PLOT\"; ANALYZE " + s_schema + ".\"BEACON\";");
        // Far from the city (one degree east), each in zone TEST: plots with
        // odd numbers, a corner without a beacon, a side running 0.001 m west
        // over 40 m north (its bearing rounds to 360°), and a bow tie.
        db.rows("SET search_path = " + s_schema + ", public;"
                "WITH p(id, no, wkt) AS (VALUES"
                " (900001, 'PLOT 7/B Ñ', 'POLYGON((400000 1000000, 400000 1000030, 400025 1000030, 400025 1000000, 400000 1000000))'),"
                " (900002, 'LOT 12 ½', 'POLYGON((400100 1000000, 400099.999 1000040, 400130 1000040, 400130 1000000, 400100 1000000))'),"
                " (900003, 'BOW TIE', 'POLYGON((400200 1000000, 400230 1000030, 400230 1000000, 400200 1000030, 400200 1000000))'))"
                "INSERT INTO \"PLOT\" (\"ID\", \"PLOT_NO\", \"STATUS\", \"AREA_SYSTEM\", \"GENERAL_LU\", \"CADZONE\", \"DETAIL_LU\", \"GEOMETRY_3857\")"
                " SELECT id, no, 'Allocated', 0, 'Residential', 'TEST', 'Test', ST_Multi(ST_Transform(ST_GeomFromText(wkt, 26332), 3857)) FROM p;"
                // Beacons on every corner but the south-east one of LOT 12 ½, each 1 cm off.
                "INSERT INTO \"BEACON\" (\"ID\", \"BEACON_NO\", \"STATUS\", \"GEOMETRY_3857\")"
                " SELECT 900000 + row_number() OVER (), 'TB ' || row_number() OVER (ORDER BY p.\"ID\", d.path),"
                "        'Intact', ST_Transform(ST_Translate(d.geom, 0.01, 0), 3857)"
                " FROM \"PLOT\" p, ST_DumpPoints(ST_Transform(p.\"GEOMETRY_3857\", 26332)) d"
                " WHERE p.\"ID\" IN (900001, 900002) AND d.path[3] < 5"
                "   AND NOT (p.\"ID\" = 900002 AND d.path[3] = 4);");
    }
    static void TearDownTestSuite() {
        pg db(test_support::database_url());
        db.rows("DROP SCHEMA IF EXISTS " + s_schema + " CASCADE");
    }

    using cadastre_source = plots::cadastre::source_options;

    // gisd's plan routes in this process, reading the scratch schema (or `url`).
    struct host {
        explicit host(const std::string& url, cadastre_source source)
            : pool(ioc.get_executor(), database::pool_options{.url = url, .size = 4, .acquire_timeout = std::chrono::seconds(5)}),
              resources({}, std::move(source)) {
            app.set_session_factory([this] { return pool.make_session(); });
            app.include_router(plans::plan_router(resources));
        }
        common::response call(common::verb method, const std::string& target, std::string body = {}) {
            requests.push_back({method, target, std::move(body), {}});
            return test_support::run(ioc, app.handle(requests.back()));
        }
        boost::asio::io_context ioc;
        database::pool pool;
        plans::plan_resources resources;
        server::application app;
        std::deque<common::request> requests;  // borrowed by the application until answered
    };

    static std::string scratch_url() { return with_search_path(test_support::database_url(), s_schema); }
    static cadastre_source with_roads(const char* table) { return cadastre_source{.roads_table = std::string(table)}; }

    static inline std::string s_schema;
};

// The request of plot `id`, assembled by the test from its own SQL.
json request_of(pg& db, const std::string& id, const std::optional<std::string>& roads) {
    const auto corners = db.rows(
        "WITH g AS (SELECT \"PLOT_NO\" AS no, ST_ForcePolygonCW(ST_GeometryN(ST_Transform(\"GEOMETRY_3857\", 26332), 1)) AS g "
        "           FROM \"PLOT\" WHERE \"ID\" = " + id + "), "
        "s AS (SELECT no, g, n, ST_PointN(ST_ExteriorRing(g), n) AS a, ST_PointN(ST_ExteriorRing(g), n + 1) AS b "
        "      FROM g, generate_series(1, ST_NPoints(ST_ExteriorRing(g)) - 1) n) "
        "SELECT no, ST_X(a), ST_Y(a), ST_Length(ST_MakeLine(a, b)), degrees(ST_Azimuth(a, b)), ST_Area(g), "
        "       coalesce((SELECT \"BEACON_NO\" FROM \"BEACON\" WHERE ST_DWithin(ST_Transform(\"GEOMETRY_3857\", 26332), a, 0.05) "
        "                 ORDER BY ST_Distance(ST_Transform(\"GEOMETRY_3857\", 26332), a) LIMIT 1), '(no beacon)') "
        "FROM s ORDER BY n");
    // Clockwise from the most northerly corner, the westerly one of those within a millimetre of it.
    double north = -1e300;
    for (const auto& c : corners) north = std::max(north, real(c[2]));
    std::size_t first = 0;
    double west = 1e300;
    for (std::size_t i = 0; i < corners.size(); ++i) {
        if (real(corners[i][2]) >= north - 0.001 && real(corners[i][1]) < west) {
            first = i;
            west = real(corners[i][1]);
        }
    }
    json ring = json::array();
    json boundary = json::array();
    std::vector<std::pair<double, double>> points;
    for (std::size_t k = 0; k < corners.size(); ++k) {
        const auto& c = corners[(first + k) % corners.size()];
        const double x = real(c[1]), y = real(c[2]);
        const long minutes = std::lround(real(c[4]) * 60) % 21600;
        ring.push_back({x, y});
        points.emplace_back(x, y);
        boundary.push_back({{"geometry", {{"coordinates", {x, y}}}},
                            {"beacon_name", c[6]},
                            {"distance_to_next", real(c[3])},
                            {"bearing_deg_to_next", minutes / 60},
                            {"bearing_min_to_next", minutes % 60}});
    }
    ring.push_back(ring.front());
    json parcels = json::array();
    parcels.push_back({{"plot_no", corners[0][0]}, {"name", corners[0][0]}, {"area", real(corners[0][5])},
                       {"geometry", {{"coordinates", {ring}}}}, {"boundary", boundary}});

    const auto w = plots::plan_window(points);
    char envelope[200];
    std::snprintf(envelope, sizeof envelope, "ST_MakeEnvelope(%.17g, %.17g, %.17g, %.17g, 26332)", w.minx, w.miny, w.maxx, w.maxy);
    json* current = nullptr;
    std::string last;
    for (const auto& p : db.rows("SELECT \"ID\", \"PLOT_NO\", ST_X(q.geom), ST_Y(q.geom) FROM \"PLOT\", "
                                 "ST_DumpPoints(ST_ExteriorRing(ST_GeometryN(ST_Transform(\"GEOMETRY_3857\", 26332), 1))) q "
                                 "WHERE \"ID\" <> " + id + " AND ST_Intersects(ST_Transform(\"GEOMETRY_3857\", 26332), " + envelope +
                                 ") ORDER BY \"ID\", q.path")) {
        if (p[0] != last) {
            last = p[0];
            parcels.push_back({{"plot_no", p[1]}, {"geometry", {{"coordinates", {json::array()}}}}});
            current = &parcels.back()["geometry"]["coordinates"][0];
        }
        current->push_back({real(p[2]), real(p[3])});
    }
    json road_data = json::array();
    if (roads) {
        last.clear();
        for (const auto& p : db.rows("SELECT r.n, ST_X(q.geom), ST_Y(q.geom) FROM "
                                     "(SELECT row_number() OVER (ORDER BY geometry_3857) AS n, ST_Transform(geometry_3857, 26332) AS g "
                                     " FROM " + *roads + " WHERE ST_Intersects(ST_Transform(geometry_3857, 26332), " + envelope + ")) r, "
                                     "ST_DumpPoints(r.g) q ORDER BY r.n, q.path")) {
            if (p[0] != last) {
                last = p[0];
                road_data.push_back({{"geometry", {{"coordinates", json::array()}}}});
            }
            road_data.back()["geometry"]["coordinates"].push_back({real(p[1]), real(p[2])});
        }
    }
    return {{"parcel_data", parcels}, {"selected_parcel_number", corners[0][0]}, {"road_data", road_data}, {"columnname", "plot_no"}};
}

TEST(bearing, rounds_to_the_nearest_minute_and_carries) {
    struct row {
        double degrees;
        plots::cadastre::degrees_minutes expected;
    };
    for (const row& r : {row{0, {0, 0}}, row{45.5, {45, 30}}, row{12.9999, {13, 0}}, row{12.991, {12, 59}},
                         row{359.9999, {0, 0}}, row{359.99, {359, 59}}, row{180.0083, {180, 0}}, row{90.0084, {90, 1}}}) {
        EXPECT_EQ(plots::cadastre::bearing_of(r.degrees), r.expected) << r.degrees;
    }
}

TEST_F(plans_by_number, draw_what_post_draws_from_the_tests_own_request) {
    pg db(scratch_url());
    // Plots of the generated cadastre: the squarest, the least square, the
    // one nearest a street, and the one nearest the edge of its zone.
    const std::string corner_angles =
        "(SELECT max(abs(90 - abs(180 - degrees(ST_Angle(ST_PointN(r, n), ST_PointN(r, n + 1), ST_PointN(r, CASE WHEN n + 2 > ST_NPoints(r) THEN 2 ELSE n + 2 END)))))) "
        " FROM generate_series(1, ST_NPoints(r) - 1) n)";
    const std::string angles_of =
        "SELECT \"ID\" FROM (SELECT \"ID\", ST_ExteriorRing(ST_GeometryN(\"GEOMETRY_3857\", 1)) AS r FROM \"PLOT\" WHERE \"ID\" < 900000) p ";
    struct row {
        const char* name;
        std::string pick;  // the ID of the plot
    };
    const row table[] = {
        {"a rectangle", angles_of + "ORDER BY " + corner_angles + ", \"ID\" LIMIT 1"},
        {"an irregular quadrilateral", angles_of + "ORDER BY " + corner_angles + " DESC, \"ID\" LIMIT 1"},
        {"beside a road", "SELECT p.\"ID\" FROM \"PLOT\" p, \"Roads\" r WHERE r.kind = 'Street' AND p.\"ID\" < 900000 "
                          "ORDER BY ST_Distance(p.\"GEOMETRY_3857\", r.geometry_3857), p.\"ID\" LIMIT 1"},
        {"at a zone edge", "SELECT p.\"ID\" FROM \"PLOT\" p JOIN \"CadZones\" z ON z.name = p.\"CADZONE\" WHERE p.\"ID\" < 900000 "
                           "ORDER BY ST_Distance(p.\"GEOMETRY_3857\", ST_Boundary(z.geometry_3857)), p.\"ID\" LIMIT 1"},
    };
    host h(scratch_url(), with_roads("Roads"));
    for (const auto& r : table) {
        const std::string id = db.rows(r.pick).at(0).at(0);
        const auto key = db.rows("SELECT \"PLOT_NO\", \"CADZONE\" FROM \"PLOT\" WHERE \"ID\" = " + id).at(0);
        const json expected = request_of(db, id, "\"Roads\"");
        const std::string target = "/plans/" + encoded(key[0]) + ".json?zone=" + encoded(key[1]);
        const auto answer = h.call(common::verb::get, target);
        ASSERT_EQ(answer.status, 200u) << r.name << ": " << answer.body.substr(0, 300);
        const json got = json::parse(answer.body);
        const json& plot = got["request"]["parcel_data"][0];
        const json& want = expected["parcel_data"][0];
        EXPECT_NEAR(plot["area"].get<double>(), want["area"].get<double>(), 1e-6) << r.name;
        ASSERT_EQ(plot["boundary"].size(), want["boundary"].size()) << r.name;
        for (std::size_t i = 0; i < want["boundary"].size(); ++i) {
            const json& b = plot["boundary"][i];
            const json& e = want["boundary"][i];
            EXPECT_EQ(b["geometry"], e["geometry"]) << r.name << " corner " << i;
            EXPECT_EQ(b["beacon_name"], e["beacon_name"]) << r.name << " corner " << i;
            EXPECT_NEAR(b["distance_to_next"].get<double>(), e["distance_to_next"].get<double>(), 1e-9) << r.name << " corner " << i;
            EXPECT_EQ(b["bearing_deg_to_next"], e["bearing_deg_to_next"]) << r.name << " corner " << i;
            EXPECT_EQ(b["bearing_min_to_next"], e["bearing_min_to_next"]) << r.name << " corner " << i;
        }
        EXPECT_EQ(got["request"]["parcel_data"].size(), expected["parcel_data"].size()) << r.name;
        EXPECT_EQ(got["request"]["road_data"].size(), expected["road_data"].size()) << r.name;
        if (std::string(r.name) == "beside a road") {
            EXPECT_FALSE(expected["road_data"].empty());
        }

        const auto posted = h.call(common::verb::post, "/plans", expected.dump());
        ASSERT_EQ(posted.status, 200u) << r.name << ": " << posted.body.substr(0, 300);
        EXPECT_EQ(got["image"], json::parse(posted.body)["image"]) << r.name << ": the plan by number differs from POST /plans";
        const auto png = h.call(common::verb::get, "/plans/" + encoded(key[0]) + ".png?zone=" + encoded(key[1]));
        EXPECT_EQ(png.media_type, "image/png") << r.name;
        EXPECT_EQ(png.body, plots::png_bytes({json::parse(posted.body)["image"].get<std::string>(), {}, 0})) << r.name;
    }
}

TEST_F(plans_by_number, answer_odd_numbers_missing_beacons_and_bad_shapes) {
    pg db(scratch_url());
    host h(scratch_url(), with_roads("Roads"));
    struct row {
        std::string target;
        unsigned status;
        const char* part;             // of the answer's body
        std::size_t warnings;         // of a plan
        std::optional<std::string> id;  // whose figures the plan must carry
    };
    const row table[] = {
        {"/plans/" + encoded("PLOT 7/B Ñ") + ".json", 200, "\"PLOT 7/B Ñ\"", 0, "900001"},
        {"/plans/" + encoded("LOT 12 ½") + ".json?zone=TEST", 200, "(no beacon)", 1, "900002"},
        {"/plans/" + encoded("BOW TIE") + ".json", 422, "not a simple polygon: Self-intersection", 0, std::nullopt},
        {"/plans/" + encoded("PLOT 404/Ü") + ".png", 404, "PLOT 404/Ü", 0, std::nullopt},
        {"/plans/" + encoded("LOT 12 ½") + ".png?zone=A00", 404, "in zone 'A00'", 0, std::nullopt},
        {"/plans/" + encoded("PLOT 1") + ".png", 422, "ambiguous_plot", 0, std::nullopt},
    };
    for (const auto& r : table) {
        const auto answer = h.call(common::verb::get, r.target);
        EXPECT_EQ(answer.status, r.status) << r.target << ": " << answer.body.substr(0, 300);
        EXPECT_NE(answer.body.find(r.part), std::string::npos) << r.target << ": " << answer.body.substr(0, 300);
        if (!r.id) continue;
        const json got = json::parse(answer.body);
        EXPECT_EQ(got["warnings"].size(), r.warnings) << r.target << ": " << got["warnings"];
        const json expected = request_of(db, *r.id, "\"Roads\"");
        EXPECT_EQ(got["request"]["parcel_data"][0]["boundary"].dump(), expected["parcel_data"][0]["boundary"].dump()) << r.target;
        EXPECT_EQ(got["image"], json::parse(h.call(common::verb::post, "/plans", expected.dump()).body)["image"]) << r.target;
    }
    // LOT 12 ½ starts at its north-west corner, 0.001 m west of the north-east
    // one at the same northing; its last side, from the south-west corner,
    // runs 0.001 m west over 40 m north.
    const json lot = json::parse(h.call(common::verb::get, "/plans/" + encoded("LOT 12 ½") + ".json").body);
    const json& last = lot["request"]["parcel_data"][0]["boundary"][3];
    EXPECT_EQ(last["beacon_name"], "TB 5") << lot["request"]["parcel_data"][0]["boundary"];
    EXPECT_EQ(last["bearing_deg_to_next"], 0);
    EXPECT_EQ(last["bearing_min_to_next"], 0);
}

TEST_F(plans_by_number, draw_no_roads_from_a_roads_table_that_is_missing_or_empty) {
    struct row {
        const char* table;
        std::size_t warnings;
    };
    const auto target = "/plans/" + encoded("PLOT 7/B Ñ") + ".json";
    for (const row& r : {row{"NoSuchRoads", 1}, row{"EmptyRoads", 0}, row{"public.Roads", 0}}) {
        host h(scratch_url(), with_roads(r.table));
        const auto answer = h.call(common::verb::get, target);
        ASSERT_EQ(answer.status, 200u) << r.table << ": " << answer.body.substr(0, 300);
        const json got = json::parse(answer.body);
        EXPECT_EQ(got["request"]["road_data"], json::array()) << r.table;
        EXPECT_EQ(got["warnings"].size(), r.warnings) << r.table << ": " << got["warnings"];
    }
}

TEST_F(plans_by_number, answer_503_when_the_database_cannot_be_reached) {
    // Port 1: nothing listens there, as on a stopped server's port.
    host h("postgresql://postgres@127.0.0.1:1/gis?connect_timeout=2", {});
    const auto answer = h.call(common::verb::get, "/plans/PLOT%201.png?zone=A00");
    EXPECT_EQ(answer.status, 503u) << answer.body;
    EXPECT_NE(answer.body.find("Database unavailable"), std::string::npos) << answer.body;
}

TEST_F(plans_by_number, answer_408_when_the_read_outlives_its_deadline) {
    // Another transaction holds the beacons: the read waits for it past its half second.
    pg holder(scratch_url());
    holder.rows("BEGIN; LOCK TABLE \"BEACON\" IN ACCESS EXCLUSIVE MODE");
    host h(scratch_url(), cadastre_source{.deadline = std::chrono::milliseconds(500)});
    const auto answer = h.call(common::verb::get, "/plans/" + encoded("PLOT 7/B Ñ") + ".png");
    holder.rows("ROLLBACK");
    EXPECT_EQ(answer.status, 408u) << answer.body;
    EXPECT_NE(answer.body.find("timed out"), std::string::npos) << answer.body;
    // The pool got its connection back clean: the next read goes through.
    EXPECT_EQ(h.call(common::verb::get, "/plans/" + encoded("PLOT 7/B Ñ") + ".png").status, 200u);
}

TEST_F(plans_by_number, the_command_draws_the_same_plan) {
    host h(scratch_url(), with_roads("Roads"));
    const auto png = h.call(common::verb::get, "/plans/" + encoded("PLOT 7/B Ñ") + ".png");
    ASSERT_EQ(png.headers.size(), 1u);
    EXPECT_EQ(png.headers[0].second, "inline; filename=\"plan-PLOT 7_B __.png\"; filename*=UTF-8''plan-PLOT%207%2FB%20%C3%91.png");
    const auto plan = json::parse(h.call(common::verb::get, "/plans/" + encoded("PLOT 7/B Ñ") + ".json").body);
    const std::string out = testing::TempDir() + "plan_by_number_" + test_support::unique_suffix() + ".png";
    test_support::child_process cli({.args = {SURVEY_PLAN_PATH, "--plot", "PLOT 7/B Ñ", "--roads-table", "Roads", "-o", out},
                                     .env = {{"DATABASE_URL", scratch_url()}}});
    const auto status = cli.wait(std::chrono::seconds(60));
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << cli.err();
    EXPECT_EQ(json::parse(cli.out()), json({{"size_mm", plan["size_mm"]}, {"scale", plan["scale"]}})) << cli.out();
    std::ifstream in(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), png.body);
    std::remove(out.c_str());

    test_support::child_process unknown({.args = {SURVEY_PLAN_PATH, "--plot", "PLOT 404", "-o", out},
                                         .env = {{"DATABASE_URL", scratch_url()}}});
    const auto failed = unknown.wait(std::chrono::seconds(60));
    ASSERT_TRUE(failed && WIFEXITED(*failed));
    EXPECT_EQ(WEXITSTATUS(*failed), 2);
    EXPECT_NE(unknown.err().find("No plot numbered 'PLOT 404'"), std::string::npos) << unknown.err();
}

TEST_F(plans_by_number, a_tile_is_answered_while_ten_plans_render) {
    // Room for all ten plans: two render threads with five places each.
    test_support::gisd_process gisd({"--plan-threads", "2", "--plan-queue", "5"}, {{"DATABASE_URL", scratch_url()},
                                         {"REDIS_HOST", test_support::redis_host()},
                                         {"REDIS_PORT", std::to_string(test_support::redis_port())}});
    const auto port = gisd.wait_listening();
    ASSERT_TRUE(port);
    std::atomic<int> plans_done{0};
    std::vector<unsigned> statuses(10);
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < 10; ++i) {
        clients.emplace_back([&, i] {
            statuses[i] = test_support::http_request(*port, boost::beast::http::verb::get, "/plans/" + encoded("PLOT 7/B Ñ") + ".png").status;
            ++plans_done;
        });
    }
    // Once the first plan is out the others are drawing or waiting; the tile must not wait for them.
    while (plans_done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto tile = test_support::http_request(*port, boost::beast::http::verb::get, "/gis/plots/16/34128/31112.pbf");
    const int plans_then = plans_done;
    for (auto& c : clients) c.join();
    EXPECT_TRUE(tile.status == 200u || tile.status == 204u) << tile.status << " " << tile.body.substr(0, 200);
    EXPECT_LT(plans_then, 10) << "the tile waited for every plan";
    for (const auto s : statuses) EXPECT_EQ(s, 200u);
}

}  // namespace
