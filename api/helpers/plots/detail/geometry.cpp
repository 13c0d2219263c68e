#include "detail/geometry.hpp"

#include "plots.hpp"

#include <geos_c.h>

#include <new>

namespace plots::detail {

geos_context::geos_context() : m_handle(GEOS_init_r()) {
    if (m_handle == nullptr) {
        throw std::bad_alloc();
    }
    GEOSContext_setErrorMessageHandler_r(m_handle, &geos_context::record_message, this);
}

geos_context::~geos_context() { GEOS_finish_r(m_handle); }

void geos_context::record_message(const char* message, void* self) {
    static_cast<geos_context*>(self)->m_last_message = message != nullptr ? message : "";
}

void geos_context::fail(const std::string& what) const {
    throw plots::error("GEOS failed to " + what + ": " + m_last_message);
}

geos_geometry::~geos_geometry() {
    if (m_geometry != nullptr) {
        GEOSGeom_destroy_r(m_context->handle(), m_geometry);
    }
}

namespace {

// A coordinate sequence of `points`, owned by the caller until a geometry
// constructor takes it over.
GEOSCoordSequence* make_sequence(const geos_context& context, const path& points) {
    GEOSCoordSequence* sequence =
        GEOSCoordSeq_create_r(context.handle(), static_cast<unsigned>(points.size()), 2);
    if (sequence == nullptr) {
        context.fail("create a coordinate sequence");
    }
    for (unsigned i = 0; i < points.size(); ++i) {
        if (GEOSCoordSeq_setXY_r(context.handle(), sequence, i, points[i].x, points[i].y) == 0) {
            GEOSCoordSeq_destroy_r(context.handle(), sequence);
            context.fail("set a coordinate");
        }
    }
    return sequence;
}

path points_of(const geos_context& context, const GEOSGeometry* line) {
    const GEOSCoordSequence* sequence = GEOSGeom_getCoordSeq_r(context.handle(), line);
    unsigned size = 0;
    if (sequence == nullptr || GEOSCoordSeq_getSize_r(context.handle(), sequence, &size) == 0) {
        context.fail("read a line");
    }
    path points(size);
    for (unsigned i = 0; i < size; ++i) {
        if (GEOSCoordSeq_getXY_r(context.handle(), sequence, i, &points[i].x, &points[i].y) == 0) {
            context.fail("read a coordinate");
        }
    }
    return points;
}

// Appends the line parts of `geometry` to `pieces`, descending into
// collections; points contribute nothing.
void collect_lines(const geos_context& context, const GEOSGeometry* geometry, std::vector<path>& pieces) {
    if (GEOSisEmpty_r(context.handle(), geometry) == 1) {
        return;
    }
    switch (GEOSGeomTypeId_r(context.handle(), geometry)) {
    case GEOS_LINESTRING:
    case GEOS_LINEARRING:
        pieces.push_back(points_of(context, geometry));
        break;
    case GEOS_MULTILINESTRING:
    case GEOS_GEOMETRYCOLLECTION: {
        const int count = GEOSGetNumGeometries_r(context.handle(), geometry);
        for (int i = 0; i < count; ++i) {
            collect_lines(context, GEOSGetGeometryN_r(context.handle(), geometry, i), pieces);
        }
        break;
    }
    default:
        break;
    }
}

}  // namespace

geos_geometry make_polygon(const geos_context& context, const path& ring) {
    GEOSGeometry* shell = GEOSGeom_createLinearRing_r(context.handle(), make_sequence(context, ring));
    if (shell == nullptr) {
        context.fail("build a ring");
    }
    GEOSGeometry* polygon = GEOSGeom_createPolygon_r(context.handle(), shell, nullptr, 0);
    if (polygon == nullptr) {
        GEOSGeom_destroy_r(context.handle(), shell);
        context.fail("build a polygon");
    }
    return {context, polygon};
}

window bounds_of(const geos_context& context, const geos_geometry& geometry) {
    window box;
    if (GEOSGeom_getXMin_r(context.handle(), geometry.get(), &box.xmin) == 0 ||
        GEOSGeom_getXMax_r(context.handle(), geometry.get(), &box.xmax) == 0 ||
        GEOSGeom_getYMin_r(context.handle(), geometry.get(), &box.ymin) == 0 ||
        GEOSGeom_getYMax_r(context.handle(), geometry.get(), &box.ymax) == 0) {
        context.fail("compute bounds");
    }
    return box;
}

point centroid_of(const geos_context& context, const geos_geometry& polygon) {
    const geos_geometry centre(context, GEOSGetCentroid_r(context.handle(), polygon.get()));
    point result;
    if (centre.get() == nullptr || GEOSGeomGetX_r(context.handle(), centre.get(), &result.x) == 0 ||
        GEOSGeomGetY_r(context.handle(), centre.get(), &result.y) == 0) {
        context.fail("compute a centroid");
    }
    return result;
}

std::vector<path> clip_line(const geos_context& context, const path& line, const window& frame) {
    const geos_geometry road(context, GEOSGeom_createLineString_r(context.handle(), make_sequence(context, line)));
    if (road.get() == nullptr) {
        context.fail("build a line");
    }
    const path corners{{frame.xmin, frame.ymin}, {frame.xmax, frame.ymin}, {frame.xmax, frame.ymax},
                       {frame.xmin, frame.ymax}, {frame.xmin, frame.ymin}};
    const geos_geometry boundary = make_polygon(context, corners);
    const geos_geometry clipped(context, GEOSIntersection_r(context.handle(), road.get(), boundary.get()));
    if (clipped.get() == nullptr) {
        context.fail("clip a line");
    }
    std::vector<path> pieces;
    collect_lines(context, clipped.get(), pieces);
    return pieces;
}

}  // namespace plots::detail
