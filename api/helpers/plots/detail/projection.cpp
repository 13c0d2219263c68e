#include "detail/projection.hpp"

#include "detail/module_logger.hpp"

#include "detail/text_form.hpp"
#include "plots.hpp"

#include <proj.h>

#include <cmath>
#include <memory>
#include <new>
#include <string>

namespace plots::detail {
namespace {

struct context_deleter {
    void operator()(PJ_CONTEXT* context) const { proj_context_destroy(context); }
};

struct transformation_deleter {
    void operator()(PJ* transformation) const { proj_destroy(transformation); }
};

using context_ptr = std::unique_ptr<PJ_CONTEXT, context_deleter>;
using transformation_ptr = std::unique_ptr<PJ, transformation_deleter>;

std::string source_name(int srid) { return "EPSG:" + std::to_string(srid); }

// The caller learns what could not be done; PROJ's own words (error codes
// meant for developers) go to the log only.
[[noreturn]] void fail(PJ_CONTEXT* context, int srid, const std::string& what) {
    const char* reason = proj_context_errno_string(context, proj_context_errno(context));
    const std::string message = what + " from " + source_name(srid) + " to EPSG:26332";
    module_logger().info("{}: {}", message, reason != nullptr ? reason : "no reason given");
    throw plots::invalid_argument(message);
}

}  // namespace

std::pair<point, point> transform_to_plan(int srid, point first, point second) {
    const context_ptr context(proj_context_create());
    if (!context) {
        throw std::bad_alloc();
    }
    // Lookups use the bundled database only; a plan never waits on the network.
    proj_context_set_enable_network(context.get(), 0);
    proj_log_level(context.get(), PJ_LOG_NONE);

    const std::string source = source_name(srid);
    const std::string target = source_name(plan_srid);
    const transformation_ptr raw(proj_create_crs_to_crs(context.get(), source.c_str(), target.c_str(), nullptr));
    if (!raw) {
        fail(context.get(), srid, "Cannot transform the bounding box");
    }
    const transformation_ptr transformation(proj_normalize_for_visualization(context.get(), raw.get()));
    if (!transformation) {
        fail(context.get(), srid, "Cannot order the axes of the bounding box transformation");
    }

    const auto transform = [&](point p) {
        const PJ_COORD out = proj_trans(transformation.get(), PJ_FWD, proj_coord(p.x, p.y, 0, 0));
        if (!std::isfinite(out.xy.x) || !std::isfinite(out.xy.y)) {
            fail(context.get(), srid, "Cannot transform the bounding box corner (" + real_text(p.x) + ", " +
                                          real_text(p.y) + ")");
        }
        return point{out.xy.x, out.xy.y};
    };
    const point a = transform(first);
    const point b = transform(second);
    return {a, b};
}

}  // namespace plots::detail
