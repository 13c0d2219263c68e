#include "plots.hpp"

#include "detail/module_logger.hpp"
#include "detail/text_form.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace plots {
namespace {

constexpr std::array standard_scales{250, 500, 1000, 2000, 5000, 7500, 10000, 20000, 25000};
constexpr double width_fill = 0.96;
constexpr double height_fill = 0.8;

}  // namespace

int get_recommended_scale(double survey_width_m, double survey_height_m, double paper_width_mm,
                          double paper_height_mm, double margin_mm) {
    auto& log = detail::module_logger();
    log.info("Searching for recommended scale...");

    // NaN passes a "<= 0" test, so finiteness is checked apart.
    if (survey_width_m <= 0 || survey_height_m <= 0) {
        throw invalid_argument("Survey dimensions must be positive.");
    }
    if (!std::isfinite(survey_width_m) || !std::isfinite(survey_height_m)) {
        throw invalid_argument("Survey dimensions must be finite: " + detail::real_text(survey_width_m) + " x " +
                               detail::real_text(survey_height_m) + " m.");
    }
    if (!std::isfinite(paper_width_mm) || !std::isfinite(paper_height_mm) || !std::isfinite(margin_mm)) {
        throw invalid_argument("Paper size and margin must be finite: " + detail::real_text(paper_width_mm) + " x " +
                               detail::real_text(paper_height_mm) + " mm, margin " + detail::real_text(margin_mm) +
                               " mm.");
    }

    // Landscape always: the survey width goes along the longer side.
    const double usable_w = std::max(paper_width_mm, paper_height_mm) - 2 * margin_mm;
    const double usable_h = std::min(paper_width_mm, paper_height_mm) - 2 * margin_mm;
    if (usable_w <= 0 || usable_h <= 0) {
        throw invalid_argument("A margin of " + detail::real_text(margin_mm) + " mm leaves no usable area on a " +
                               detail::real_text(paper_width_mm) + " x " + detail::real_text(paper_height_mm) +
                               " mm sheet.");
    }

    const double min_raw_scale = std::max(survey_width_m * 1000 / usable_w, survey_height_m * 1000 / usable_h);
    for (const int scale : standard_scales) {
        if (scale <= min_raw_scale) {
            continue;
        }
        const double plotted_width = survey_width_m * 1000 / scale;
        const double plotted_height = survey_height_m * 1000 / scale;
        if (plotted_width <= usable_w * width_fill && plotted_height <= usable_h * height_fill) {
            log.info("Found scale: {}", scale);
            return scale;
        }
    }

    const double constrained_scale_w = survey_width_m * 1000 / (usable_w * width_fill);
    const double constrained_scale_h = survey_height_m * 1000 / (usable_h * height_fill);
    const double final_raw_scale = std::max({min_raw_scale, constrained_scale_w, constrained_scale_h});
    log.info("Final raw scale: {}", detail::real_text(final_raw_scale));

    const double rounded = std::ceil(final_raw_scale / 1000) * 1000;
    if (!(rounded <= static_cast<double>(std::numeric_limits<int>::max()))) {
        throw invalid_argument("Survey of " + detail::real_text(survey_width_m) + " x " +
                               detail::real_text(survey_height_m) + " m needs a scale beyond 1:" +
                               std::to_string(std::numeric_limits<int>::max()) + ".");
    }
    return static_cast<int>(rounded);
}

}  // namespace plots
