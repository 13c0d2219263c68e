#include "detail/renderer.hpp"

#include "detail/plan_drawing.hpp"

#include "detail/png_encoder.hpp"
#include "detail/text_form.hpp"
#include "detail/text_style.hpp"
#include "plots.hpp"

#include <cairo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>

namespace plots::detail {
namespace {

constexpr double pixels_per_point = dots_per_inch / points_per_inch;

struct rgba {
    double r = 0;
    double g = 0;
    double b = 0;
    double a = 1;
};

struct stroke_style {
    rgba colour;
    double width_pt = 0;
};

// Drawing styles, widths in points.
constexpr stroke_style road_style{{0, 0, 0, 0.5}, 0.55};
constexpr rgba parcel_fill{1, 1, 1, 1};
constexpr stroke_style parcel_edge{{0, 0, 0, 1}, 0.5};
constexpr rgba selected_fill{1, 0.85, 0.85, 1};
constexpr stroke_style selected_edge{{1, 0, 0, 1}, 0.75};
constexpr stroke_style boundary_style{{1, 0, 0, 1}, 0.75};
constexpr rgba beacon_colour{0, 0, 0, 1};
constexpr double beacon_diameter_pt = 2;

struct surface_deleter {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct context_deleter {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
struct scaled_font_deleter {
    void operator()(cairo_scaled_font_t* font) const { cairo_scaled_font_destroy(font); }
};
using surface_ptr = std::unique_ptr<cairo_surface_t, surface_deleter>;
using context_ptr = std::unique_ptr<cairo_t, context_deleter>;
using scaled_font_ptr = std::unique_ptr<cairo_scaled_font_t, scaled_font_deleter>;

void check(cairo_status_t status, const char* what) {
    if (status != CAIRO_STATUS_SUCCESS) {
        throw plots::error(std::string("cairo failed to ") + what + ": " + cairo_status_to_string(status));
    }
}

// Maps ground metres to surface pixels (y grows downwards on the surface).
struct ground_to_pixels {
    window frame;
    double left = 0;
    double top = 0;
    double scale = 0;  // pixels per metre

    point operator()(point p) const { return {left + (p.x - frame.xmin) * scale, top + (frame.ymax - p.y) * scale}; }
};

// A label with its font and its placement on the surface.
struct placed_label {
    const label* source = nullptr;
    cairo_font_face_t* face = nullptr;
    double size_px = 0;
    point centre;        // pixels
    double angle = 0;    // radians, counter-clockwise on the page
    point origin;        // start of the baseline relative to the centre, before turning
};

struct pixel_box {
    double xmin = 0;
    double ymin = 0;
    double xmax = 0;
    double ymax = 0;
};

class text_measurer {
public:
    explicit text_measurer(const text_style& style) : m_style(style) {}

    // Places `l` centred on `centre` and widens `ink` by its turned ink box.
    placed_label place(const label& l, point centre, pixel_box& ink, bool& has_ink) {
        placed_label placed;
        placed.source = &l;
        placed.face = m_style.face(l.weight);
        placed.size_px = l.size_pt * pixels_per_point;
        placed.centre = centre;
        placed.angle = l.angle_deg * std::numbers::pi / 180;

        cairo_scaled_font_t* font = scaled_font(l.weight, placed.size_px);
        cairo_font_extents_t font_extents{};
        cairo_scaled_font_extents(font, &font_extents);
        cairo_text_extents_t text_extents{};
        cairo_scaled_font_text_extents(font, l.text.c_str(), &text_extents);
        check(cairo_scaled_font_status(font), "measure text");

        // Centred on the advance width and on the line box from descent to ascent.
        placed.origin = {-text_extents.x_advance / 2, (font_extents.ascent - font_extents.descent) / 2};
        if (text_extents.width <= 0 || text_extents.height <= 0) {
            return placed;
        }
        const double c = std::cos(placed.angle);
        const double s = std::sin(placed.angle);
        const double x0 = placed.origin.x + text_extents.x_bearing;
        const double y0 = placed.origin.y + text_extents.y_bearing;
        const std::array corners{point{x0, y0}, point{x0 + text_extents.width, y0},
                                 point{x0, y0 + text_extents.height},
                                 point{x0 + text_extents.width, y0 + text_extents.height}};
        for (const point& corner : corners) {
            // Counter-clockwise on the page is clockwise in pixel coordinates.
            const double x = centre.x + corner.x * c + corner.y * s;
            const double y = centre.y - corner.x * s + corner.y * c;
            if (!has_ink) {
                ink = {x, y, x, y};
                has_ink = true;
            }
            ink = {std::min(ink.xmin, x), std::min(ink.ymin, y), std::max(ink.xmax, x), std::max(ink.ymax, y)};
        }
        return placed;
    }

private:
    cairo_scaled_font_t* scaled_font(font_weight weight, double size_px) {
        for (const auto& [w, size, font] : m_fonts) {
            if (w == weight && size == size_px) {
                return font.get();
            }
        }
        cairo_matrix_t font_matrix;
        cairo_matrix_init_scale(&font_matrix, size_px, size_px);
        cairo_matrix_t identity;
        cairo_matrix_init_identity(&identity);
        scaled_font_ptr font(cairo_scaled_font_create(m_style.face(weight), &font_matrix, &identity,
                                                      m_style.options()));
        check(cairo_scaled_font_status(font.get()), "create a font");
        m_fonts.push_back({weight, size_px, std::move(font)});
        return m_fonts.back().font.get();
    }

    struct cached_font {
        font_weight weight;
        double size_px;
        scaled_font_ptr font;
    };
    const text_style& m_style;
    std::vector<cached_font> m_fonts;
};

void trace_path(cairo_t* cr, const ground_to_pixels& to_pixels, const path& points) {
    bool first = true;
    for (const point& p : points) {
        const point q = to_pixels(p);
        if (first) {
            cairo_move_to(cr, q.x, q.y);
            first = false;
        } else {
            cairo_line_to(cr, q.x, q.y);
        }
    }
}

void set_colour(cairo_t* cr, const rgba& colour) { cairo_set_source_rgba(cr, colour.r, colour.g, colour.b, colour.a); }

void set_stroke(cairo_t* cr, const stroke_style& style) {
    set_colour(cr, style.colour);
    cairo_set_line_width(cr, style.width_pt * pixels_per_point);
}

bool overlaps(const path& ring, const window& area) {
    window box{ring.front().x, ring.front().x, ring.front().y, ring.front().y};
    for (const point& p : ring) {
        box = {std::min(box.xmin, p.x), std::max(box.xmax, p.x), std::min(box.ymin, p.y), std::max(box.ymax, p.y)};
    }
    return box.xmin <= area.xmax && box.xmax >= area.xmin && box.ymin <= area.ymax && box.ymax >= area.ymin;
}

void draw_map(cairo_t* cr, const plan& p, const ground_to_pixels& to_pixels, const pixel_box& plot_area) {
    cairo_save(cr);
    // Lines and fills stay inside the frame; the clip is pixel-aligned so
    // Cairo can clip without a mask.
    cairo_rectangle(cr, std::round(plot_area.xmin), std::round(plot_area.ymin),
                    std::round(plot_area.xmax) - std::round(plot_area.xmin),
                    std::round(plot_area.ymax) - std::round(plot_area.ymin));
    cairo_clip(cr);

    // Layer 0: roads, already clipped to the frame.
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    set_stroke(cr, road_style);
    for (const path& road : p.roads) {
        trace_path(cr, to_pixels, road);
        cairo_stroke(cr);
    }

    // Layer 1: every parcel, white with a black edge. Parcels wholly outside
    // the frame (widened by the edge width) cannot show and are skipped.
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
    const double reach_m = parcel_edge.width_pt * pixels_per_point / to_pixels.scale;
    const window visible{p.page.frame.xmin - reach_m, p.page.frame.xmax + reach_m, p.page.frame.ymin - reach_m,
                         p.page.frame.ymax + reach_m};
    cairo_set_line_width(cr, parcel_edge.width_pt * pixels_per_point);
    for (const path& ring : p.parcels) {
        if (!overlaps(ring, visible)) {
            continue;
        }
        trace_path(cr, to_pixels, ring);
        cairo_close_path(cr);
        set_colour(cr, parcel_fill);
        cairo_fill_preserve(cr);
        set_colour(cr, parcel_edge.colour);
        cairo_stroke(cr);
    }

    // Layer 2: the selected parcel, then the boundary lines between beacons.
    trace_path(cr, to_pixels, p.selected);
    cairo_close_path(cr);
    set_colour(cr, selected_fill);
    cairo_fill_preserve(cr);
    set_stroke(cr, selected_edge);
    cairo_stroke(cr);

    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    set_stroke(cr, boundary_style);
    for (const beacon_label& b : p.beacons) {
        trace_path(cr, to_pixels, {{b.x, b.y}, {b.next_x, b.next_y}});
        cairo_stroke(cr);
    }

    // Layer 3: beacon markers.
    set_colour(cr, beacon_colour);
    const double radius = beacon_diameter_pt / 2 * pixels_per_point;
    for (const beacon_label& b : p.beacons) {
        const point q = to_pixels({b.x, b.y});
        cairo_new_sub_path(cr);
        cairo_arc(cr, q.x, q.y, radius, 0, 2 * std::numbers::pi);
    }
    cairo_fill(cr);
    cairo_restore(cr);
}

void draw_labels(cairo_t* cr, const std::vector<placed_label>& labels, const text_style& style) {
    cairo_set_font_options(cr, style.options());
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (const placed_label& l : labels) {
        cairo_save(cr);
        cairo_translate(cr, l.centre.x, l.centre.y);
        cairo_rotate(cr, -l.angle);
        cairo_set_font_face(cr, l.face);
        cairo_set_font_size(cr, l.size_px);
        cairo_move_to(cr, l.origin.x, l.origin.y);
        cairo_show_text(cr, l.source->text.c_str());
        cairo_restore(cr);
    }
}

// Where everything goes on the 300-dpi page: the map's transformation and
// each label's place, measured before any surface exists.
struct page_layout {
    ground_to_pixels to_pixels;
    pixel_box plot_area;
    std::vector<placed_label> labels;
    pixel_box ink;
    bool has_ink = false;
};

page_layout lay_out(const plan& p, const text_style& style) {
    const window& frame = p.page.frame;
    const double width_px = p.page.width_inches() * dots_per_inch;
    const double height_px = p.page.height_inches() * dots_per_inch;

    // Equal scaling on both axes; the frame is centred should its shape
    // differ from the page's by rounding.
    const double frame_width = frame.xmax - frame.xmin;
    const double frame_height = frame.ymax - frame.ymin;
    page_layout out;
    ground_to_pixels& to_pixels = out.to_pixels;
    to_pixels = {frame, 0, 0, std::min(width_px / frame_width, height_px / frame_height)};
    to_pixels.left = (width_px - frame_width * to_pixels.scale) / 2;
    to_pixels.top = (height_px - frame_height * to_pixels.scale) / 2;
    // What rounding leaves of a centring offset is noise, not a margin.
    for (double* offset : {&to_pixels.left, &to_pixels.top}) {
        if (std::abs(*offset) < 1e-6) {
            *offset = 0;
        }
    }
    out.plot_area = {to_pixels.left, to_pixels.top, to_pixels.left + frame_width * to_pixels.scale,
                     to_pixels.top + frame_height * to_pixels.scale};

    // Text is placed and measured first, so that a surface can be made once
    // at its final, cropped size.
    text_measurer measurer(style);
    out.labels.reserve(p.labels.size());
    for (const label& l : p.labels) {
        out.labels.push_back(measurer.place(l, to_pixels(l.position), out.ink, out.has_ink));
    }
    return out;
}

}  // namespace

void draw_plan(cairo_t* cr, const plan& p) {
    const text_style& style = text_style::get();
    const page_layout layout = lay_out(p, style);
    draw_map(cr, p, layout.to_pixels, layout.plot_area);
    draw_labels(cr, layout.labels, style);
    check(cairo_status(cr), "draw the plan");
}

rendered_plan render_plan(const plan& p) {
    const text_style& style = text_style::get();
    const page_layout layout = lay_out(p, style);
    const ground_to_pixels& to_pixels = layout.to_pixels;
    const pixel_box& ink = layout.ink;
    const bool has_ink = layout.has_ink;
    const int page_width = std::max(1, static_cast<int>(std::lround(p.page.width_inches() * dots_per_inch)));
    const int page_height = std::max(1, static_cast<int>(std::lround(p.page.height_inches() * dots_per_inch)));

    double left = 0;
    double top = 0;
    double right = page_width;
    double bottom = page_height;
    if (has_ink) {
        left = std::min(left, std::floor(ink.xmin));
        top = std::min(top, std::floor(ink.ymin));
        right = std::max(right, std::ceil(ink.xmax));
        bottom = std::max(bottom, std::ceil(ink.ymax));
    }
    const double image_width = right - left;
    const double image_height = bottom - top;
    if (!(image_width <= max_image_side && image_height <= max_image_side &&
          image_width * image_height <= max_image_pixels)) {
        throw invalid_argument("Labels reach too far beyond the map: the image would be " + real_text(image_width) +
                               " x " + real_text(image_height) + " pixels, more than allowed");
    }

    rendered_plan result;
    result.width = static_cast<int>(image_width);
    result.height = static_cast<int>(image_height);
    result.plot_left = to_pixels.left - left;
    result.plot_top = to_pixels.top - top;
    result.pixels_per_metre = to_pixels.scale;

    // The pixels are ours, set to white in one pass; the surface only
    // borrows them, so it is declared (and destroyed) after them.
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, result.width);
    const std::size_t buffer_size = static_cast<std::size_t>(stride) * static_cast<std::size_t>(result.height);
    const auto pixels = std::make_unique_for_overwrite<unsigned char[]>(buffer_size);
    std::memset(pixels.get(), 0xFF, buffer_size);
    const surface_ptr surface(
        cairo_image_surface_create_for_data(pixels.get(), CAIRO_FORMAT_RGB24, result.width, result.height, stride));
    check(cairo_surface_status(surface.get()), "create the drawing surface");
    const context_ptr cr(cairo_create(surface.get()));
    check(cairo_status(cr.get()), "create a drawing context");
    cairo_translate(cr.get(), -left, -top);
    cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_GRAY);

    draw_map(cr.get(), p, to_pixels, layout.plot_area);
    draw_labels(cr.get(), layout.labels, style);
    check(cairo_status(cr.get()), "draw the plan");

    cairo_surface_flush(surface.get());
    result.png = encode_png({pixels.get(), result.width, result.height, stride}, dots_per_inch);
    return result;
}

}  // namespace plots::detail
