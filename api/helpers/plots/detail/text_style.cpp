#include "detail/text_style.hpp"

#include "plots.hpp"

#include <cairo-ft.h>
#include <fontconfig/fontconfig.h>

#include <memory>

namespace plots::detail {
namespace {

struct pattern_deleter {
    void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using pattern_ptr = std::unique_ptr<FcPattern, pattern_deleter>;

// Preferred faces first; "serif" lets fontconfig fall back to any serif face.
constexpr const char* families[] = {"DejaVu Serif", "Liberation Serif", "Times New Roman", "serif"};

// Matches the serif face of `fc_weight` and pins the rendering settings in
// the resolved pattern, so that the machine's fontconfig preferences (hinting,
// sub-pixel order) cannot make two plans of the same data differ.
cairo_font_face_t* match_face(int fc_weight) {
    const pattern_ptr wanted(FcPatternCreate());
    if (!wanted) {
        throw plots::error("fontconfig cannot create a pattern");
    }
    for (const char* family : families) {
        FcPatternAddString(wanted.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
    }
    FcPatternAddInteger(wanted.get(), FC_WEIGHT, fc_weight);
    FcPatternAddInteger(wanted.get(), FC_SLANT, FC_SLANT_ROMAN);
    FcPatternAddInteger(wanted.get(), FC_WIDTH, FC_WIDTH_NORMAL);
    FcConfigSubstitute(nullptr, wanted.get(), FcMatchPattern);
    FcDefaultSubstitute(wanted.get());

    FcResult result = FcResultNoMatch;
    const pattern_ptr found(FcFontMatch(nullptr, wanted.get(), &result));
    if (!found || result != FcResultMatch) {
        throw plots::error("fontconfig finds no serif font face");
    }
    for (const char* property : {FC_HINTING, FC_HINT_STYLE, FC_AUTOHINT, FC_ANTIALIAS, FC_RGBA, FC_LCD_FILTER,
                                 FC_EMBEDDED_BITMAP}) {
        FcPatternDel(found.get(), property);
    }
    FcPatternAddBool(found.get(), FC_HINTING, FcFalse);
    FcPatternAddBool(found.get(), FC_AUTOHINT, FcFalse);
    FcPatternAddBool(found.get(), FC_ANTIALIAS, FcTrue);
    FcPatternAddInteger(found.get(), FC_RGBA, FC_RGBA_NONE);
    FcPatternAddBool(found.get(), FC_EMBEDDED_BITMAP, FcFalse);

    cairo_font_face_t* face = cairo_ft_font_face_create_for_pattern(found.get());
    if (cairo_font_face_status(face) != CAIRO_STATUS_SUCCESS) {
        throw plots::error(std::string("cairo cannot use the serif face: ") +
                           cairo_status_to_string(cairo_font_face_status(face)));
    }
    return face;
}

}  // namespace

text_style::text_style()
    : m_normal(match_face(FC_WEIGHT_REGULAR)),
      m_medium(match_face(FC_WEIGHT_MEDIUM)),
      m_bold(match_face(FC_WEIGHT_BOLD)),
      m_options(cairo_font_options_create()) {
    cairo_font_options_set_antialias(m_options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_subpixel_order(m_options, CAIRO_SUBPIXEL_ORDER_DEFAULT);
    cairo_font_options_set_hint_style(m_options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(m_options, CAIRO_HINT_METRICS_OFF);
}

const text_style& text_style::get() {
    // Made once, on first use, and never destroyed: faces stay valid while
    // other threads may still be drawing at process exit.
    static const text_style* style = new text_style();
    return *style;
}

cairo_font_face_t* text_style::face(font_weight weight) const {
    switch (weight) {
    case font_weight::medium:
        return m_medium;
    case font_weight::bold:
        return m_bold;
    case font_weight::normal:
        break;
    }
    return m_normal;
}

}  // namespace plots::detail
