// PDF plans read by poppler: the page is A4 landscape, the plan on it at 300
// dpi is the PNG's drawing, distances on paper times the scale are ground
// distances, and the text (beacon names, the caption) is text.

#include <libpq-fe.h>
#include <png.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "database/database.hpp"
#include "http/plan_routes.hpp"
#include "plots.hpp"
#include "server/application.hpp"
#include "support/child_process.hpp"
#include "support/env.hpp"
#include "support/run.hpp"

namespace {

using json = nlohmann::ordered_json;

struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;  // RGB, row by row
    int at(int x, int y, int c) const { return pixels[(static_cast<std::size_t>(y) * width + x) * 3 + c]; }
    bool dark(int x, int y) const { return at(x, y, 0) < 80 && at(x, y, 1) < 80 && at(x, y, 2) < 80; }
};

rgb_image decode_png(const std::string& bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) throw std::runtime_error("not a PNG");
    image.format = PNG_FORMAT_RGB;
    rgb_image out{static_cast<int>(image.width), static_cast<int>(image.height), std::vector<unsigned char>(PNG_IMAGE_SIZE(image))};
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) throw std::runtime_error("bad PNG");
    return out;
}

// A binary PPM (P6, maxval 255) as pdftoppm writes it.
rgb_image read_ppm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxval = 0;
    rgb_image out;
    in >> magic >> out.width >> out.height >> maxval;
    in.get();
    if (magic != "P6" || maxval != 255) throw std::runtime_error("not a P6 file: " + path);
    out.pixels.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    in.read(reinterpret_cast<char*>(out.pixels.data()), static_cast<std::streamsize>(out.pixels.size()));
    return out;
}

std::string run_tool(std::vector<std::string> args) {
    test_support::child_process tool({.args = std::move(args)});
    const auto status = tool.wait(std::chrono::seconds(60));
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) throw std::runtime_error("tool failed: " + tool.err());
    return tool.out();
}

std::string first_row(const std::string& sql) {
    PGconn* conn = PQconnectdb(test_support::database_url().c_str());
    PGresult* r = PQexec(conn, sql.c_str());
    std::string out = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    PQfinish(conn);
    return out;
}

std::string encoded(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The centre of the beacon's disc nearest `guess` (page pixels): the place
// within `reach` where a disc of dark pixels fits best, refined to the mean
// of the dark pixels around it. Thin strokes of text never fill a disc.
std::pair<double, double> beacon_centre(const rgb_image& page, double gx, double gy, int reach) {
    constexpr int r = 3;
    int best = -1;
    int bx = 0, by = 0;
    for (int y = static_cast<int>(gy) - reach; y <= static_cast<int>(gy) + reach; ++y) {
        for (int x = static_cast<int>(gx) - reach; x <= static_cast<int>(gx) + reach; ++x) {
            int n = 0;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx)
                    if (dx * dx + dy * dy <= r * r && page.dark(x + dx, y + dy)) ++n;
            if (n > best) best = n, bx = x, by = y;
        }
    }
    double sx = 0, sy = 0, n = 0;
    for (int dy = -r - 2; dy <= r + 2; ++dy)
        for (int dx = -r - 2; dx <= r + 2; ++dx)
            if (page.dark(bx + dx, by + dy)) sx += bx + dx, sy += by + dy, n += 1;
    return {sx / n + 0.5, sy / n + 0.5};
}

struct plans_as_pdf : testing::Test {
    plans_as_pdf()
        : pool(ioc.get_executor(), database::pool_options{.url = test_support::database_url(), .size = 2}),
          resources({}, plots::cadastre::source_options{.roads_table = std::string("Roads")}) {
        app.set_session_factory([this] { return pool.make_session(); });
        app.include_router(plots::http::plan_router(resources));
    }
    common::response call(common::verb method, const std::string& target, std::string body = {},
                          std::vector<std::pair<std::string, std::string>> headers = {}) {
        requests.push_back({method, target, std::move(body), std::move(headers)});
        return test_support::run(ioc, app.handle(requests.back()));
    }
    static std::string temp(const std::string& name) { return testing::TempDir() + "plan_pdf_" + std::to_string(::getpid()) + "_" + name; }

    boost::asio::io_context ioc;
    database::pool pool;
    plots::http::plan_resources resources;
    server::application app;
    std::deque<common::request> requests;
};

TEST_F(plans_as_pdf, the_page_is_a4_at_true_scale_with_the_pngs_drawing_and_text) {
    // A plot in the middle of the city, its number used in several zones.
    const std::string zone = first_row("SELECT \"CADZONE\" FROM \"PLOT\" WHERE \"PLOT_NO\" = 'PLOT 12' ORDER BY \"CADZONE\" LIMIT 1");
    ASSERT_FALSE(zone.empty());
    const std::string target = "/plans/" + encoded("PLOT 12");
    const auto pdf = call(common::verb::get, target + ".pdf?zone=" + zone);
    ASSERT_EQ(pdf.status, 200u) << pdf.body;
    EXPECT_EQ(pdf.media_type, "application/pdf");
    const auto png = call(common::verb::get, target + ".png?zone=" + zone);
    ASSERT_EQ(png.status, 200u);
    const auto described = call(common::verb::get, target + ".json?zone=" + zone);
    ASSERT_EQ(described.status, 200u);
    const json plan = json::parse(described.body);
    const double scale = plan["scale"].get<double>();
    const double width_mm = plan["size_mm"][0].get<double>();
    const double height_mm = plan["size_mm"][1].get<double>();

    const std::string pdf_path = temp("plan.pdf");
    write_file(pdf_path, pdf.body);
    const std::string info = run_tool({"/usr/bin/pdfinfo", pdf_path});
    double w_pt = 0, h_pt = 0;
    const auto size_at = info.find("Page size:");
    ASSERT_NE(size_at, std::string::npos) << info;
    ASSERT_EQ(std::sscanf(info.c_str() + size_at, "Page size: %lf x %lf", &w_pt, &h_pt), 2) << info;
    EXPECT_NEAR(w_pt / 72 * 25.4, 297, 0.1) << info;
    EXPECT_NEAR(h_pt / 72 * 25.4, 210, 0.1) << info;
    const auto pages_at = info.find("Pages:");
    ASSERT_NE(pages_at, std::string::npos) << info;
    EXPECT_EQ(std::strtol(info.c_str() + pages_at + 6, nullptr, 10), 1) << info;

    // The page at 300 dpi, cropped to the frame centred within the margins.
    run_tool({"/usr/bin/pdftoppm", "-r", "300", "-singlefile", pdf_path, temp("page")});
    const rgb_image page = read_ppm(temp("page") + ".ppm");
    const rgb_image image = decode_png(png.body);
    const double px_per_mm = 300 / 25.4;
    const int left = static_cast<int>(std::lround((10 + (277 - width_mm) / 2) * px_per_mm));
    const int top = static_cast<int>(std::lround((10 + (190 - height_mm) / 2) * px_per_mm));
    const int frame_w = static_cast<int>(std::lround(width_mm * px_per_mm));
    const int frame_h = static_cast<int>(std::lround(height_mm * px_per_mm));
    EXPECT_NEAR(image.width, frame_w, 2);
    EXPECT_NEAR(image.height, frame_h, 2);

    // Same drawing: a pixel that differs from the PNG's by much is one with no
    // close match among the neighbours either (anti-aliasing moves edges by a pixel).
    long differing = 0;
    const int w = std::min(image.width, frame_w), h = std::min(image.height, frame_h);
    for (int y = 1; y < h - 1; ++y) {
        for (int x = 1; x < w - 1; ++x) {
            bool matched = false;
            for (int dy = -1; dy <= 1 && !matched; ++dy) {
                for (int dx = -1; dx <= 1 && !matched; ++dx) {
                    int worst = 0;
                    for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(image.at(x, y, c) - page.at(left + x + dx, top + y + dy, c)));
                    matched = worst <= 96;
                }
            }
            if (!matched) ++differing;
        }
    }
    EXPECT_LT(static_cast<double>(differing) / (static_cast<double>(w) * h), 0.005) << differing << " pixels differ";
    // The margins outside the frame and the caption are white but for the plan's own text.
    long inked_in_margin = 0;
    for (int y = 0; y < static_cast<int>(10 * px_per_mm); ++y)
        for (int x = 0; x < page.width; ++x) inked_in_margin += page.dark(x, y) ? 1 : 0;
    EXPECT_EQ(inked_in_margin, 0);

    // The two beacons farthest apart, measured on the page, times the scale.
    const auto& parcel = plan["request"]["parcel_data"][0];
    const auto& boundary = parcel["boundary"];
    ASSERT_GE(boundary.size(), 3u);
    std::size_t a = 0, b = 1;
    double longest = 0;
    for (std::size_t i = 0; i < boundary.size(); ++i) {
        for (std::size_t j = i + 1; j < boundary.size(); ++j) {
            const auto& p = boundary[i]["geometry"]["coordinates"];
            const auto& q = boundary[j]["geometry"]["coordinates"];
            const double d = std::hypot(p[0].get<double>() - q[0].get<double>(), p[1].get<double>() - q[1].get<double>());
            if (d > longest) longest = d, a = i, b = j;
        }
    }
    // Where each beacon should be, only to seed the search for its disc.
    std::vector<std::pair<double, double>> ring;
    for (const auto& point : parcel["geometry"]["coordinates"][0]) ring.emplace_back(point[0].get<double>(), point[1].get<double>());
    const plots::ground_window window = plots::plan_window(ring);
    const double px_per_m = 1000 / scale * px_per_mm;
    const auto on_page = [&](const json& beacon) {
        const auto& c = beacon["geometry"]["coordinates"];
        return beacon_centre(page, left + (c[0].get<double>() - window.minx) * px_per_m, top + (window.maxy - c[1].get<double>()) * px_per_m, 12);
    };
    const auto [ax, ay] = on_page(boundary[a]);
    const auto [bx, by] = on_page(boundary[b]);
    const double measured_m = std::hypot(bx - ax, by - ay) / px_per_mm * scale / 1000;
    EXPECT_NEAR(measured_m, longest, longest * 0.005) << "between " << boundary[a]["beacon_name"] << " and " << boundary[b]["beacon_name"];

    // Text is text: the beacons' names and the caption. Turned text comes out
    // of pdftotext in pieces, in drawing order: compared without white space.
    const std::string text = run_tool({"/usr/bin/pdftotext", "-raw", pdf_path, "-"});
    const auto squeezed = [](std::string s) {
        std::erase_if(s, [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
        return s;
    };
    for (const auto& beacon : boundary) {
        const std::string name = beacon["beacon_name"].get<std::string>();
        EXPECT_NE(squeezed(text).find(squeezed(name)), std::string::npos) << name << " in\n" << text;
    }
    for (const std::string& caption : std::vector<std::string>{"Plot PLOT 12", "Zone " + zone, "Scale 1:" + std::to_string(static_cast<int>(scale)), "m\u00B2", "Drawn 20"}) {
        EXPECT_NE(text.find(caption), std::string::npos) << caption << " in\n" << text;
    }
    std::remove(pdf_path.c_str());
    std::remove((temp("page") + ".ppm").c_str());
}

TEST_F(plans_as_pdf, post_survey_plan_and_the_command_give_pdf_when_asked) {
    const std::string zone = first_row("SELECT \"CADZONE\" FROM \"PLOT\" WHERE \"PLOT_NO\" = 'PLOT 12' ORDER BY \"CADZONE\" LIMIT 1");
    const auto described = call(common::verb::get, "/plans/" + encoded("PLOT 12") + ".json?zone=" + zone);
    ASSERT_EQ(described.status, 200u);
    json request = json::parse(described.body)["request"];
    struct ask {
        const char* what;
        bool format_pdf;
        std::vector<std::pair<std::string, std::string>> headers;
        bool pdf;
    };
    const std::vector<ask> asks = {
        {"body format", true, {}, true},
        {"Accept header", false, {{"accept", "application/pdf"}}, true},
        {"Accept refusing PDF", false, {{"Accept", "application/pdf;q=0, application/json"}}, false},
        {"neither", false, {}, false},
    };
    for (const auto& k : asks) {
        SCOPED_TRACE(k.what);
        json body = request;
        if (k.format_pdf) body["format"] = "pdf";
        const auto answer = call(common::verb::post, "/plans", body.dump(), k.headers);
        ASSERT_EQ(answer.status, 200u) << answer.body.substr(0, 200);
        EXPECT_EQ(answer.media_type, k.pdf ? "application/pdf" : "application/json");
        EXPECT_EQ(answer.body.rfind("%PDF-", 0) == 0, k.pdf);
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
        const auto answer = call(common::verb::get, target);
        EXPECT_EQ(answer.status, 422u) << target << ": " << answer.body;
    }
}

}  // namespace
