#pragma once
// The page of a survey plan as data: scale, map size on paper, ground window
// and text size, before anything is drawn.

#include "detail/geometry.hpp"

#include <optional>

namespace plots::detail {

inline constexpr double survey_buffer_m = 15;
inline constexpr double paper_width_mm = 297;
inline constexpr double paper_height_mm = 210;
inline constexpr double margin_mm = 10;
inline constexpr double usable_width_mm = paper_width_mm - 2 * margin_mm;
inline constexpr double usable_height_mm = paper_height_mm - 2 * margin_mm;
inline constexpr double max_map_width_mm = usable_width_mm * 0.96;
inline constexpr double max_map_height_mm = usable_height_mm * 0.8;
inline constexpr double mm_per_inch = 25.4;
inline constexpr double dots_per_inch = 300;
inline constexpr double points_per_inch = 72;

struct page_geometry {
    int scale = 0;                 // denominator N of 1:N
    double target_width_mm = 0;    // map size on paper
    double target_height_mm = 0;
    window frame;                  // ground shown, EPSG:26332 metres
    double norm = 0;               // paper millimetres per ground metre
    int fontsize = 0;              // points, ordinary label text

    double width_inches() const { return target_width_mm / mm_per_inch; }
    double height_inches() const { return target_height_mm / mm_per_inch; }
};

// Point size of ordinary label text at 1:`scale`: 10 at 1:250 and below, one
// point less for every doubling of the scale (rounded half to even), never
// below 4.
int fontsize_for_scale(int scale);

// The page of a parcel with the given bounds and area centroid. Without a
// box, the map is 265.92 mm x 152 mm at the parcel's recommended scale,
// centred on the centroid. With a box (already in EPSG:26332), the page shows
// exactly that box at the box's recommended scale, the map shaped like it.
// The parcel's scale is computed (and logged) in both cases. Throws
// plots::invalid_argument "Bounding box dimensions must be positive." for a
// box of no width or height.
page_geometry layout_page(const window& parcel_bounds, point parcel_centroid, const std::optional<window>& box);

}  // namespace plots::detail
