#include "detail/page.hpp"

#include "plots.hpp"

#include <algorithm>
#include <cmath>

namespace plots::detail {

int fontsize_for_scale(int scale) {
    // nearbyint rounds half to even in the default rounding mode.
    const double factor = std::nearbyint(std::log2(std::max(scale / 250.0, 1.0)));
    return static_cast<int>(std::max(10.0 - factor, 4.0));
}

page_geometry layout_page(const window& parcel_bounds, point parcel_centroid, const std::optional<window>& box) {
    page_geometry page;
    const double initial_width_m = (parcel_bounds.xmax - parcel_bounds.xmin) + 2 * survey_buffer_m;
    const double initial_height_m = (parcel_bounds.ymax - parcel_bounds.ymin) + 2 * survey_buffer_m;
    page.scale = get_recommended_scale(initial_width_m, initial_height_m);
    page.target_width_mm = max_map_width_mm;
    page.target_height_mm = max_map_height_mm;

    if (box) {
        const double bb_width_m = box->xmax - box->xmin;
        const double bb_height_m = box->ymax - box->ymin;
        // Negated so that a NaN extent fails too.
        if (!(bb_width_m > 0) || !(bb_height_m > 0)) {
            throw invalid_argument("Bounding box dimensions must be positive.");
        }
        page.scale = get_recommended_scale(bb_width_m, bb_height_m, paper_width_mm, paper_height_mm, margin_mm);
        const double bb_aspect_ratio = bb_width_m / bb_height_m;
        const double usable_aspect_ratio = max_map_width_mm / max_map_height_mm;
        if (bb_aspect_ratio > usable_aspect_ratio) {
            page.target_height_mm = max_map_width_mm / bb_aspect_ratio;
        } else {
            page.target_width_mm = max_map_height_mm * bb_aspect_ratio;
        }
        page.frame = *box;
    } else {
        const double target_width_m = page.target_width_mm / 1000 * page.scale;
        const double target_height_m = page.target_height_mm / 1000 * page.scale;
        page.frame = {parcel_centroid.x - target_width_m / 2, parcel_centroid.x + target_width_m / 2,
                      parcel_centroid.y - target_height_m / 2, parcel_centroid.y + target_height_m / 2};
    }

    page.norm = 1000.0 / page.scale;
    page.fontsize = fontsize_for_scale(page.scale);
    return page;
}

}  // namespace plots::detail
