#pragma once
// The text style of every plan: a serif face in three weights, matched once
// through fontconfig, and the rendering options that keep text identical
// from one call (and one thread) to the next.

#include "detail/labels.hpp"

#include <cairo.h>

namespace plots::detail {

class text_style {
public:
    // The style of the process, made on first use and kept until exit. Cairo
    // font faces are thread-safe, so every call shares them. Throws
    // plots::error if fontconfig finds no face at all.
    static const text_style& get();

    // Not owned by the caller.
    cairo_font_face_t* face(font_weight weight) const;
    const cairo_font_options_t* options() const { return m_options; }

    text_style(const text_style&) = delete;
    text_style& operator=(const text_style&) = delete;

private:
    text_style();
    ~text_style() = default;  // Lives until the process ends.

    cairo_font_face_t* m_normal = nullptr;
    cairo_font_face_t* m_medium = nullptr;
    cairo_font_face_t* m_bold = nullptr;
    cairo_font_options_t* m_options = nullptr;
};

}  // namespace plots::detail
