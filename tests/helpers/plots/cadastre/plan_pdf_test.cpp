// PDF plans read by poppler: an A4 landscape page, the PNG's drawing at true
// scale (distances on paper times the scale are ground distances), and text
// that is text.

#include <libpq-fe.h>
#include <png.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "database/database.hpp"
#include "routers/plans/plan_routes.hpp"
#include "plots/plots.hpp"
#include "server/application.hpp"
#include "support/child_process.hpp"
#include "support/env.hpp"
#include "support/run.hpp"

namespace {

using json = nlohmann::ordered_json;

struct rgb_image {
    int width = 0, height = 0;
    std::vector<unsigned char> pixels;  // RGB, row by row
    int at(int x, int y, int c) const { return pixels[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3 + static_cast<std::size_t>(c)]; }
    bool dark(int x, int y) const { return at(x, y, 0) < 80 && at(x, y, 1) < 80 && at(x, y, 2) < 80; }
};

rgb_image decode_png(const std::string& bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    png_image_begin_read_from_memory(&image, bytes.data(), bytes.size());
    image.format = PNG_FORMAT_RGB;
    rgb_image out{static_cast<int>(image.width), static_cast<int>(image.height), std::vector<unsigned char>(PNG_IMAGE_SIZE(image))};
    png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr);
    return out;
}

std::string run_tool(std::vector<std::string> args) {
    test_support::child_process tool({.args = std::move(args)});
    const auto status = tool.wait(std::chrono::seconds(60));
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << tool.err();
    return tool.out();
}

// The centre of the beacon disc nearest (gx, gy): where a disc of radius 3 px
// is darkest within `reach`, refined to the mean of the dark pixels there.
// Thin strokes of text never fill the disc.
std::pair<double, double> beacon_centre(const rgb_image& page, double gx, double gy, int reach) {
    int best = -1, bx = 0, by = 0;
    for (int y = static_cast<int>(gy) - reach; y <= static_cast<int>(gy) + reach; ++y) {
        for (int x = static_cast<int>(gx) - reach; x <= static_cast<int>(gx) + reach; ++x) {
            int n = 0;
            for (int dy = -3; dy <= 3; ++dy)
                for (int dx = -3; dx <= 3; ++dx) n += dx * dx + dy * dy <= 9 && page.dark(x + dx, y + dy) ? 1 : 0;
            if (n > best) best = n, bx = x, by = y;
        }
    }
    double sx = 0, sy = 0, n = 0;
    for (int dy = -5; dy <= 5; ++dy)
        for (int dx = -5; dx <= 5; ++dx)
            if (page.dark(bx + dx, by + dy)) sx += bx + dx, sy += by + dy, n += 1;
    return {sx / n + 0.5, sy / n + 0.5};
}

struct plans_as_pdf : testing::Test {
    plans_as_pdf() {
        app.set_session_factory([this] { return pool.make_session(); });
        app.include_router(plans::plan_router(resources));
        PGconn* conn = PQconnectdb(test_support::database_url().c_str());
        PGresult* r = PQexec(conn, "SELECT min(\"CADZONE\") FROM \"PLOT\" WHERE \"PLOT_NO\" = 'PLOT 12'");
        zone = PQgetvalue(r, 0, 0);
        PQclear(r);
        PQfinish(conn);
    }
    common::response call(common::verb method, const std::string& target, std::string body = {},
                          std::vector<std::pair<std::string, std::string>> headers = {}) {
        requests.push_back({method, target, std::move(body), std::move(headers)});
        return test_support::run(ioc, app.handle(requests.back()));
    }
    std::string temp(const std::string& name) const { return testing::TempDir() + "plan_pdf_" + std::to_string(::getpid()) + "_" + name; }

    boost::asio::io_context ioc;
    database::pool pool{ioc.get_executor(), database::pool_options{.url = test_support::database_url(), .size = 2}};
    plans::plan_resources resources{{}, plots::cadastre::source_options{.roads_table = std::string("Roads")}};
    server::application app;
    std::deque<common::request> requests;  // borrowed by the application until answered
    std::string zone;                       // of a PLOT 12 in the middle of the city
};

TEST_F(plans_as_pdf, the_page_is_a4_at_true_scale_with_the_pngs_drawing_and_text) {
    const auto pdf = call(common::verb::get, "/plans/PLOT%2012.pdf?zone=" + zone);
    ASSERT_EQ(pdf.status, 200u) << pdf.body;
    EXPECT_EQ(pdf.media_type, "application/pdf");
    const auto png = call(common::verb::get, "/plans/PLOT%2012.png?zone=" + zone);
    const json plan = json::parse(call(common::verb::get, "/plans/PLOT%2012.json?zone=" + zone).body);
    const double scale = plan["scale"], width_mm = plan["size_mm"][0], height_mm = plan["size_mm"][1];
    const std::string path = temp("plan.pdf");
    std::ofstream(path, std::ios::binary) << pdf.body;

    const std::string info = run_tool({"/usr/bin/pdfinfo", path});
    double w_pt = 0, h_pt = 0;
    ASSERT_EQ(std::sscanf(info.c_str() + info.find("Page size:"), "Page size: %lf x %lf", &w_pt, &h_pt), 2) << info;
    EXPECT_NEAR(w_pt / 72 * 25.4, 297, 0.1) << info;
    EXPECT_NEAR(h_pt / 72 * 25.4, 210, 0.1) << info;
    EXPECT_EQ(std::strtol(info.c_str() + info.find("Pages:") + 6, nullptr, 10), 1) << info;

    // The page at 300 dpi, cropped to the frame centred within the 10 mm margins.
    run_tool({"/usr/bin/pdftoppm", "-png", "-r", "300", "-singlefile", path, temp("page")});
    std::ifstream page_file(temp("page") + ".png", std::ios::binary);
    const rgb_image page = decode_png(std::string(std::istreambuf_iterator<char>(page_file), {})), image = decode_png(png.body);
    const double px_per_mm = 300 / 25.4;
    const int left = static_cast<int>(std::lround((10 + (277 - width_mm) / 2) * px_per_mm));
    const int top = static_cast<int>(std::lround((10 + (190 - height_mm) / 2) * px_per_mm));
    EXPECT_NEAR(image.width, width_mm * px_per_mm, 2);
    EXPECT_NEAR(image.height, height_mm * px_per_mm, 2);
    // Same drawing: a pixel far from the PNG's and from each of its neighbours'
    // differs (anti-aliasing moves edges by a pixel).
    long differing = 0;
    for (int y = 1; y < image.height - 1; ++y) {
        for (int x = 1; x < image.width - 1; ++x) {
            bool matched = false;
            for (int d = 0; d < 9 && !matched; ++d) {
                int worst = 0;
                for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(image.at(x, y, c) - page.at(left + x + d % 3 - 1, top + y + d / 3 - 1, c)));
                matched = worst <= 96;
            }
            differing += matched ? 0 : 1;
        }
    }
    EXPECT_LT(static_cast<double>(differing) / (image.width * image.height), 0.005) << differing << " pixels differ";

    // Opposite corners, measured on the page, times the scale.
    const auto& boundary = plan["request"]["parcel_data"][0]["boundary"];
    std::vector<std::pair<double, double>> ring;
    for (const auto& c : boundary) ring.emplace_back(c["geometry"]["coordinates"][0], c["geometry"]["coordinates"][1]);
    const std::size_t a = 0, b = ring.size() / 2;
    const plots::ground_window window = plots::plan_window(ring);  // only to seed the search for each disc
    const double px_per_m = 1000 / scale * px_per_mm;
    const auto on_page = [&](std::pair<double, double> p) {
        return beacon_centre(page, left + (p.first - window.minx) * px_per_m, top + (window.maxy - p.second) * px_per_m, 12);
    };
    const auto [ax, ay] = on_page(ring[a]);
    const auto [bx, by] = on_page(ring[b]);
    const double ground = std::hypot(ring[a].first - ring[b].first, ring[a].second - ring[b].second);
    EXPECT_NEAR(std::hypot(bx - ax, by - ay) / px_per_mm * scale / 1000, ground, ground * 0.005);

    // Text is text. Turned text comes out of pdftotext in pieces, in drawing order.
    std::string text = run_tool({"/usr/bin/pdftotext", "-raw", path, "-"}), squeezed = text;
    std::erase_if(squeezed, [](unsigned char c) { return std::isspace(c) != 0; });
    for (const auto& beacon : boundary) {
        std::string name = beacon["beacon_name"];
        std::erase_if(name, [](unsigned char c) { return std::isspace(c) != 0; });
        EXPECT_NE(squeezed.find(name), std::string::npos) << name << " in\n" << text;
    }
    for (const std::string& caption : {std::string("Plot PLOT 12"), "Zone " + zone, "Scale 1:" + std::to_string(std::lround(scale)), std::string("Drawn 20")}) {
        EXPECT_NE(text.find(caption), std::string::npos) << caption << " in\n" << text;
    }
    std::remove(path.c_str());
    std::remove((temp("page") + ".png").c_str());
}

TEST_F(plans_as_pdf, post_survey_plan_and_the_command_give_pdf_when_asked) {
    json request = json::parse(call(common::verb::get, "/plans/PLOT%2012.json?zone=" + zone).body)["request"];
    json with_format = request;
    with_format["format"] = "pdf";
    using headers = std::vector<std::pair<std::string, std::string>>;
    for (const auto& [body, head, pdf] : std::vector<std::tuple<json, headers, bool>>{
             {with_format, {}, true}, {request, {{"accept", "application/pdf"}}, true},
             {request, {{"Accept", "application/pdf;q=0, application/json"}}, false}, {request, {}, false}}) {
        const auto answer = call(common::verb::post, "/plans", body.dump(), head);
        EXPECT_EQ(answer.media_type, pdf ? "application/pdf" : "application/json") << answer.body.substr(0, 200);
        EXPECT_EQ(answer.body.starts_with("%PDF-"), pdf);
    }

    const std::string out = temp("cli.pdf");
    test_support::child_process cli({.args = {SURVEY_PLAN_PATH, "--plot", "PLOT 12", "--zone", zone, "--format", "pdf", "-o", out},
                                     .env = {{"DATABASE_URL", test_support::database_url()}}});
    const auto status = cli.wait(std::chrono::seconds(60));
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << cli.err();
    EXPECT_NE(run_tool({"/usr/bin/pdfinfo", out}).find("(A4)"), std::string::npos);
    EXPECT_NE(run_tool({"/usr/bin/pdftotext", out, "-"}).find("Zone " + zone), std::string::npos);
    std::remove(out.c_str());
}

TEST_F(plans_as_pdf, text_the_database_refuses_is_the_callers_error) {
    for (const std::string target : {"/plans/%FF.pdf", "/plans/%FF.png", "/plans/PLOT%0012.json", "/plans/PLOT%2012.pdf?zone=%C0%AF"}) {
        EXPECT_EQ(call(common::verb::get, target).status, 422u) << target;
    }
}

}  // namespace
