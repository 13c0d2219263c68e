#include "detail/pdf_page.hpp"

#include "detail/plan_drawing.hpp"
#include "detail/text_style.hpp"
#include "plots.hpp"

#include <cairo-pdf.h>
#include <cairo.h>

#include <algorithm>
#include <memory>
#include <new>

namespace plots::detail {
namespace {

constexpr double points_per_mm = points_per_inch / mm_per_inch;
constexpr double caption_size_pt = 9;
// From the frame's south side to the caption's baseline.
constexpr double caption_gap_mm = 7;

struct surface_deleter {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct context_deleter {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

void check(cairo_status_t status, const char* what) {
    if (status != CAIRO_STATUS_SUCCESS) {
        throw plots::error(std::string("cairo failed to ") + what + ": " + cairo_status_to_string(status));
    }
}

// Cairo's writer: appends to the string. Nothing may be thrown through Cairo.
cairo_status_t append(void* closure, const unsigned char* data, unsigned int length) {
    try {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
    } catch (const std::bad_alloc&) {
        return CAIRO_STATUS_WRITE_ERROR;
    }
}

void draw_caption(cairo_t* cr, const plan& p, const frame_on_page& at, const std::string& caption) {
    const text_style& style = text_style::get();
    cairo_set_font_options(cr, style.options());
    cairo_set_font_face(cr, style.face(font_weight::normal));
    cairo_set_font_size(cr, caption_size_pt);
    cairo_text_extents_t extents{};
    cairo_text_extents(cr, caption.c_str(), &extents);
    const double centre_x = (at.left_mm + p.page.target_width_mm / 2) * points_per_mm;
    // Under the frame, but never into the bottom margin.
    const double baseline = std::min((at.top_mm + p.page.target_height_mm + caption_gap_mm) * points_per_mm,
                                     (paper_height_mm - margin_mm) * points_per_mm - (extents.height + extents.y_bearing));
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, centre_x - extents.x_advance / 2, baseline);
    cairo_show_text(cr, caption.c_str());
}

}  // namespace

frame_on_page place_frame(const plan& p) {
    return {margin_mm + (usable_width_mm - p.page.target_width_mm) / 2, margin_mm + (usable_height_mm - p.page.target_height_mm) / 2};
}

std::string render_pdf(const plan& p, const std::string& caption) {
    std::string out;
    {
        const std::unique_ptr<cairo_surface_t, surface_deleter> surface(cairo_pdf_surface_create_for_stream(
            append, &out, paper_width_mm * points_per_mm, paper_height_mm * points_per_mm));
        check(cairo_surface_status(surface.get()), "create the PDF surface");
        cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_TITLE, ("Survey plan: " + caption).c_str());
        cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATOR, "gisd survey-plan");
        const std::unique_ptr<cairo_t, context_deleter> cr(cairo_create(surface.get()));
        check(cairo_status(cr.get()), "create a drawing context");

        const frame_on_page at = place_frame(p);
        cairo_save(cr.get());
        cairo_translate(cr.get(), at.left_mm * points_per_mm, at.top_mm * points_per_mm);
        cairo_scale(cr.get(), points_per_inch / dots_per_inch, points_per_inch / dots_per_inch);
        draw_plan(cr.get(), p);
        cairo_restore(cr.get());
        draw_caption(cr.get(), p, at, caption);

        cairo_show_page(cr.get());
        check(cairo_status(cr.get()), "draw the PDF page");
        cairo_surface_finish(surface.get());
        check(cairo_surface_status(surface.get()), "write the PDF");
    }
    return out;
}

}  // namespace plots::detail
