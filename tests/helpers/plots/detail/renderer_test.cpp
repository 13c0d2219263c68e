#include "detail/renderer.hpp"
#include "plots.hpp"

#include "fixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace {

using namespace plots_test;
using plots::detail::prepare_plan;
using plots::detail::render_plan;

struct rendered {
    plots::detail::rendered_plan plan;
    image png;
};

rendered render(const json& parcels, const json& roads = nullptr, const json& box = nullptr) {
    auto r = render_plan(prepare_plan(parcels, "P1", roads, "parcel_number", box));
    image decoded = read_png(r.png);
    return {std::move(r), std::move(decoded)};
}

// The pixel under a ground point.
image::pixel pixel_at(const rendered& r, const plots::detail::window& frame, double x, double y) {
    const auto px = static_cast<int>(std::floor(r.plan.plot_left + (x - frame.xmin) * r.plan.pixels_per_metre));
    const auto py = static_cast<int>(std::floor(r.plan.plot_top + (frame.ymax - y) * r.plan.pixels_per_metre));
    return r.png.at(px, py);
}

void expect_colour(image::pixel p, int r, int g, int b, const char* what) {
    EXPECT_NEAR(p.r, r, 2) << what;
    EXPECT_NEAR(p.g, g, 2) << what;
    EXPECT_NEAR(p.b, b, 2) << what;
}

TEST(image, is_a_300_dpi_png_of_the_page_size) {
    const plots::plot_result result = plots::generate_plot(hundred_by_fifty(), "P1", nullptr);
    EXPECT_EQ(result.image64.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(result.image64.size() % 4, 0u);
    const image png = read_png(decode_base64(result.image64));
    // 265.92 mm x 152 mm at 300 dpi.
    EXPECT_EQ(png.width, 3141);
    EXPECT_EQ(png.height, 1795);
    ASSERT_TRUE(png.pixels_per_metre_x.has_value());
    EXPECT_EQ(*png.pixels_per_metre_x, 11811u);
    EXPECT_EQ(*png.pixels_per_metre_y, 11811u);
    EXPECT_EQ(png.phys_unit, 1);  // metres
}

TEST(image, bounding_box_page_has_its_shape) {
    const json box = {{"minx", 499900}, {"maxx", 500200}, {"miny", 699950}, {"maxy", 700100}, {"srid", 26332}};
    // 300 m x 150 m: as wide as the page allows, half as high.
    const rendered r = render(hundred_by_fifty(), nullptr, box);
    EXPECT_EQ(r.png.width, 3141);
    EXPECT_EQ(r.png.height, static_cast<int>(std::lround(132.96 / 25.4 * 300)));
    EXPECT_EQ(r.plan.plot_left, 0);
    EXPECT_EQ(r.plan.plot_top, 0);
}

TEST(image, grows_only_on_the_side_where_labels_overflow) {
    // The parcel touches the box's west edge: names and bearings of its west
    // side fall outside, nothing else does.
    const json box = {{"minx", e0}, {"maxx", e0 + 300}, {"miny", n0 - 100}, {"maxy", n0 + 100}, {"srid", 26332}};
    const rendered r = render(hundred_by_fifty(), nullptr, box);
    const double aspect = 300.0 / 200;
    const int page_width = static_cast<int>(std::lround(152 * aspect / 25.4 * 300));
    const int page_height = static_cast<int>(std::lround(152 / 25.4 * 300));
    EXPECT_GT(r.plan.plot_left, 10);
    EXPECT_EQ(r.plan.plot_top, 0);
    EXPECT_EQ(r.png.width, page_width + static_cast<int>(std::lround(r.plan.plot_left)));
    EXPECT_EQ(r.png.height, page_height);
    // Text reached into the new strip.
    bool ink = false;
    for (int y = 0; y < r.png.height && !ink; ++y) {
        for (int x = 0; x < static_cast<int>(r.plan.plot_left) && !ink; ++x) {
            ink = r.png.at(x, y).r < 128;
        }
    }
    EXPECT_TRUE(ink);
    // Ink comes close to the left edge: the crop adds no margin.
    int leftmost = r.png.width;
    for (int y = 0; y < r.png.height; ++y) {
        for (int x = 0; x < leftmost; ++x) {
            if (r.png.at(x, y).r < 250) {
                leftmost = x;
            }
        }
    }
    EXPECT_LE(leftmost, 3);
}

TEST(image, draws_the_layers_in_their_colours) {
    json roads = json::array({road({{e0 - 500, n0 - 5}, {e0 + 500, n0 - 5}}), road({{e0 - 500, n0 + 30}, {e0 + 500, n0 + 30}})});
    const rendered r = render(hundred_by_fifty(), roads);
    const auto frame = prepare_plan(hundred_by_fifty(), "P1", nullptr, "parcel_number", nullptr).page.frame;
    expect_colour(pixel_at(r, frame, e0 + 20, n0 + 40), 255, 217, 217, "selected parcel inside");
    expect_colour(pixel_at(r, frame, e0 + 60, n0), 255, 0, 0, "south boundary");
    expect_colour(pixel_at(r, frame, e0 + 100, n0 + 10), 255, 0, 0, "east boundary");
    expect_colour(pixel_at(r, frame, e0 + 100, n0 + 50), 0, 0, 0, "beacon marker");
    expect_colour(pixel_at(r, frame, e0 + 150, n0 + 40), 255, 255, 255, "neighbour inside");
    expect_colour(pixel_at(r, frame, e0 + 110, n0 + 40), 0, 0, 0, "neighbour edge");
    expect_colour(pixel_at(r, frame, e0 - 40, n0 - 5), 128, 128, 128, "road at half opacity");
    expect_colour(pixel_at(r, frame, e0 - 40, n0 + 40), 255, 255, 255, "background");
    // Parcels are painted over roads.
    expect_colour(pixel_at(r, frame, e0 + 20, n0 + 30), 255, 217, 217, "road under the selected parcel");
    expect_colour(pixel_at(r, frame, e0 + 150, n0 + 30), 255, 255, 255, "road under a neighbour");
}

TEST(image, same_bytes_every_time_and_on_every_thread) {
    json parcels = hundred_by_fifty();
    parcels.push_back(neighbour("P3", rectangle(e0 - 110, n0 - 60, 100, 50)));
    const json roads = json::array({road({{e0 - 500, n0 - 5}, {e0 + 500, n0 - 7}})});
    const std::string first = plots::generate_plot(parcels, "P1", roads).image64;
    EXPECT_EQ(plots::generate_plot(parcels, "P1", roads).image64, first);

    constexpr int thread_count = 8;
    std::vector<std::string> images(thread_count);
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; ++i) {
        threads.emplace_back([&, i] { images[static_cast<std::size_t>(i)] = plots::generate_plot(parcels, "P1", roads).image64; });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const std::string& image : images) {
        EXPECT_TRUE(image == first);
    }
}

TEST(image, labels_far_outside_are_refused) {
    // A beacon 10 km from its parcel puts its name far beyond any page.
    json parcels = hundred_by_fifty();
    parcels[0]["boundary"][2]["geometry"]["coordinates"] = {e0 + 10000, n0 + 10000};
    EXPECT_THROW(plots::generate_plot(parcels, "P1", nullptr), plots::invalid_argument);
}

}  // namespace
