#pragma once
// The statements that read a plot's plan from the cadastre: the parcel with
// its corners and beacons, then what lies in its window.

#include <string_view>

namespace plots::cadastre::sql {

// The plots carrying the number; for exactly one, what is wrong with its
// shape, or its corners clockwise with the beacon at each, the length and
// azimuth of the side to the next corner, and the parcel's area. One row per
// corner; a single row without corners when there is nothing to draw.
// "road_*": the roads table's geometry column, looked up along the search
// path when no schema is given.
inline constexpr const char* parcel_sql = R"SQL(
WITH m AS (
  SELECT "ID" AS id, "CADZONE" AS zone, "GEOMETRY_3857" AS g3857
  FROM "PLOT"
  WHERE "PLOT_NO" = :plot_no AND (:zone::text IS NULL OR "CADZONE" = :zone::text)
), n AS (
  SELECT count(*) AS matches, string_agg(DISTINCT zone, ', ' ORDER BY zone) AS zones FROM m
), s AS (
  SELECT m.id, ST_Transform(m.g3857, 26332) AS g FROM m, n WHERE n.matches = 1
), chk AS (
  SELECT s.id, s.g,
         CASE WHEN s.g IS NULL OR ST_IsEmpty(s.g) THEN 'it has no geometry'
              WHEN GeometryType(s.g) NOT IN ('POLYGON', 'MULTIPOLYGON') THEN 'it is a ' || lower(GeometryType(s.g))
              WHEN ST_NumGeometries(s.g) > 1 THEN 'it has ' || ST_NumGeometries(s.g) || ' separate parts'
              WHEN ST_NumInteriorRings(ST_GeometryN(s.g, 1)) > 0 THEN 'it has a hole'
              WHEN ST_NPoints(ST_RemoveRepeatedPoints(ST_GeometryN(s.g, 1))) < 4 THEN 'it has fewer than three corners'
              WHEN ST_IsValidReason(ST_GeometryN(s.g, 1)) <> 'Valid Geometry' THEN ST_IsValidReason(ST_GeometryN(s.g, 1))
         END AS problem
  FROM s
), ring AS (
  SELECT ST_ExteriorRing(ST_ForcePolygonCW(ST_RemoveRepeatedPoints(ST_GeometryN(g, 1)))) AS r,
         ST_Area(ST_GeometryN(g, 1)) AS area
  FROM chk WHERE problem IS NULL
), pts AS (
  SELECT d.path[1] AS i, d.geom AS pt, ST_NPoints(ring.r) AS np FROM ring, ST_DumpPoints(ring.r) d
), sides AS (
  SELECT i, pt, np, lead(pt) OVER (ORDER BY i) AS nxt FROM pts
), corners AS (
  SELECT i, ST_X(pt) AS x, ST_Y(pt) AS y, ST_Distance(pt, nxt) AS dist, ST_Azimuth(pt, nxt) AS azimuth,
         (SELECT b."BEACON_NO" FROM "BEACON" b
          WHERE b."GEOMETRY_3857" && ST_Expand(ST_Transform(pt, 3857), 1)
            AND ST_DWithin(ST_Transform(b."GEOMETRY_3857", 26332), pt, :tolerance::float8)
          ORDER BY ST_Distance(ST_Transform(b."GEOMETRY_3857", 26332), pt), b."ID" LIMIT 1) AS beacon
  FROM sides WHERE i < np
), road AS (
  SELECT quote_ident(c.f_table_schema) || '.' || quote_ident(c.f_table_name) AS road_table,
         quote_ident(c.f_geometry_column) AS road_column, c.srid AS road_srid, c.type AS road_type
  FROM geometry_columns c
  WHERE :road_table::text IS NOT NULL AND c.f_table_name = :road_table::text
    AND (c.f_table_schema = :road_schema::text
         OR (:road_schema::text IS NULL AND c.f_table_schema = ANY (current_schemas(false)::text[])))
  ORDER BY array_position(current_schemas(false)::text[], c.f_table_schema::text), c.f_geometry_column
  LIMIT 1
)
SELECT n.matches, n.zones, chk.id, chk.problem, ring.area, corners.i, corners.x, corners.y, corners.dist,
       corners.azimuth, corners.beacon, road.road_table, road.road_column, road.road_srid, road.road_type
FROM n
LEFT JOIN chk ON true
LEFT JOIN ring ON true
LEFT JOIN corners ON true
LEFT JOIN road ON true
ORDER BY corners.i
)SQL";

// Every other plot that intersects the window (outer rings, one record per
// part), point by point. The index narrows by a box in EPSG:3857 around the
// window grown by 10 m, which the window's transformed edges never leave.
inline constexpr const char* neighbours_sql = R"SQL(
WITH w AS (
  SELECT ST_MakeEnvelope(:xmin::float8, :ymin::float8, :xmax::float8, :ymax::float8, 26332) AS w
), nb AS (
  SELECT p."ID" AS id, p."PLOT_NO" AS plot_no, ST_Transform(p."GEOMETRY_3857", 26332) AS g
  FROM "PLOT" p, w
  WHERE p."GEOMETRY_3857" && ST_Transform(ST_Expand(w.w, 10), 3857) AND p."ID" <> :id::integer
)
SELECT 0 AS kind, nb.id, nb.plot_no, coalesce(d.path[1], 1) AS part, q.path[1] AS i, ST_X(q.geom) AS x, ST_Y(q.geom) AS y
FROM nb, w, ST_Dump(nb.g) d, ST_DumpPoints(ST_ExteriorRing(d.geom)) q
WHERE ST_Intersects(nb.g, w.w) AND GeometryType(d.geom) = 'POLYGON'
)SQL";

// The roads' lines that intersect the window, numbered in the order of their
// geometry so that every reading draws them alike; %T and %G stand for the
// quoted table and column.
inline constexpr const char* roads_sql = R"SQL(
UNION ALL
SELECT 1, r.id, NULL, coalesce(d.path[1], 1), q.path[1], ST_X(q.geom), ST_Y(q.geom)
FROM (SELECT row_number() OVER (ORDER BY t.%G) AS id, ST_Transform(t.%G, 26332) AS g
      FROM %T t, w
      WHERE t.%G && ST_Transform(ST_Expand(w.w, 10), 3857) AND ST_Intersects(ST_Transform(t.%G, 26332), w.w)) r,
     ST_Dump(r.g) d, ST_DumpPoints(d.geom) q
WHERE GeometryType(d.geom) = 'LINESTRING'
)SQL";

inline constexpr const char* order_sql = "ORDER BY kind, id, part, i";

inline constexpr std::string_view read_only_sql = "SET TRANSACTION READ ONLY";

}  // namespace plots::cadastre::sql
