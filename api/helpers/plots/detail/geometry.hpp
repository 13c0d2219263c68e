#pragma once
// Plane geometry of a plan in EPSG:26332 metres, and the few GEOS operations
// a plan needs, each through a GEOS context owned by the caller's call.

#include <string>
#include <utility>
#include <vector>

// GEOS's reentrant C API; the handle types are opaque.
struct GEOSContextHandle_HS;
struct GEOSGeom_t;

namespace plots::detail {

struct point {
    double x = 0;
    double y = 0;
};

// A list of points: an open line, or a ring whose last point repeats the first.
using path = std::vector<point>;

// An axis-parallel rectangle of ground, x from west to east, y from south to north.
struct window {
    double xmin = 0;
    double xmax = 0;
    double ymin = 0;
    double ymax = 0;
};

// One GEOS context; never shared between threads. Failures of GEOS calls made
// through it raise plots::error with GEOS's own message.
class geos_context {
public:
    geos_context();
    ~geos_context();
    geos_context(const geos_context&) = delete;
    geos_context& operator=(const geos_context&) = delete;

    GEOSContextHandle_HS* handle() const { return m_handle; }

    // Throws plots::error naming `what` and the last GEOS message.
    [[noreturn]] void fail(const std::string& what) const;

private:
    static void record_message(const char* message, void* self);

    GEOSContextHandle_HS* m_handle;
    std::string m_last_message;
};

// A GEOS geometry owned by this handle and destroyed through its context.
class geos_geometry {
public:
    geos_geometry(const geos_context& context, GEOSGeom_t* geometry) : m_context(&context), m_geometry(geometry) {}
    ~geos_geometry();
    geos_geometry(geos_geometry&& other) noexcept
        : m_context(other.m_context), m_geometry(std::exchange(other.m_geometry, nullptr)) {}
    geos_geometry(const geos_geometry&) = delete;
    geos_geometry& operator=(const geos_geometry&) = delete;
    geos_geometry& operator=(geos_geometry&&) = delete;

    GEOSGeom_t* get() const { return m_geometry; }

private:
    const geos_context* m_context;
    GEOSGeom_t* m_geometry;
};

// A polygon from a closed ring of at least four points.
geos_geometry make_polygon(const geos_context& context, const path& ring);

// The bounding rectangle of a geometry.
window bounds_of(const geos_context& context, const geos_geometry& geometry);

// The area centroid of a polygon.
point centroid_of(const geos_context& context, const geos_geometry& polygon);

// The parts of the line through `line` (two points or more) that lie inside
// the rectangle `frame`, in the order GEOS returns them. Parts that come back
// as points (a line touching the frame only at a point) are dropped: they have
// nothing to draw.
std::vector<path> clip_line(const geos_context& context, const path& line, const window& frame);

}  // namespace plots::detail
