#pragma once
// The drawing of a plan on any Cairo surface, shared by the PNG and the PDF.
// Apart from renderer.hpp so that only the module's sources need Cairo's headers.

#include "detail/plan.hpp"

#include <cairo.h>

namespace plots::detail {

// Draws `p` on `cr` exactly as render_plan draws it, in 300-dpi pixel units
// with the map frame's north-west corner at the origin; the caller's
// transformation places and scales it (a PDF page: 72/300 points a pixel).
// Throws plots::error when Cairo fails.
void draw_plan(cairo_t* cr, const plan& p);

}  // namespace plots::detail
