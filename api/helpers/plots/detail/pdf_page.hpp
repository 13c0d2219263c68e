#pragma once
// A plan on a PDF page: A4 landscape, the map at exactly its scale.

#include "detail/plan.hpp"

#include <string>

namespace plots::detail {

// Where the map frame's north-west corner lands on the page, in millimetres
// from the page's top-left corner: the frame centred within the margins.
struct frame_on_page {
    double left_mm = 0;
    double top_mm = 0;
};
frame_on_page place_frame(const plan& p);

// Draws `p` with draw_plan as vectors on one A4 landscape page (text stays
// text, in the plan's serif face), the frame placed by place_frame so that
// one millimetre of paper is `p.page.scale` millimetres of ground, and
// `caption` on one line under the frame. Returns the PDF's bytes. Throws
// plots::error when Cairo fails.
std::string render_pdf(const plan& p, const std::string& caption);

}  // namespace plots::detail
