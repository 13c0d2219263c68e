#pragma once
// Drawing a plan with Cairo and writing it as PNG.

#include "detail/plan.hpp"

#include <cstdint>
#include <vector>

namespace plots::detail {

// Where the map landed in the image, so that a ground point can be found
// among the pixels: pixel x = plot_left + (x - frame.xmin) * pixels_per_metre,
// pixel y = plot_top + (frame.ymax - y) * pixels_per_metre.
struct rendered_plan {
    std::vector<std::uint8_t> png;
    int width = 0;                 // pixels
    int height = 0;
    double plot_left = 0;          // pixels from the image's left edge to the frame's west side
    double plot_top = 0;           // pixels from the image's top edge to the frame's north side
    double pixels_per_metre = 0;
};

// Limits on the image: labels far outside the frame would otherwise ask for
// an image of any size. 16384 pixels is 1.4 m of paper at 300 dpi; 40
// million pixels is 160 MB of drawing surface.
inline constexpr int max_image_side = 16384;
inline constexpr double max_image_pixels = 40e6;

// Draws `p` at 300 dpi on a white surface of its own, cropped to the map
// frame widened to take in any text reaching beyond it, and encodes it as PNG.
// The surface is sized once, from text metrics taken before drawing. Throws
// plots::invalid_argument when the image would pass the limits above, and
// plots::error when Cairo or libpng fails.
rendered_plan render_plan(const plan& p);

}  // namespace plots::detail
