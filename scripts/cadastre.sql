-- Synthetic cadastre for demos, tests and benchmarks.
--
--   psql "$DATABASE_URL" -v plots=3000 -f scripts/cadastre.sql
--
-- Builds LGAs > districts > cadastral zones > plots, plus beacons at plot corners
-- and the centre lines of the roads between zones and blocks ("Roads"),
-- for a city centred on 7.475 E, 9.06 N that grows with the number of plots.
-- Up to 2,000,000 plots everything stays inside lon 7.05..7.90, lat 8.70..9.42
-- (3,000 plots cover about 2.5 x 2 km; 500,000 plots lon 7.29..7.64, lat 8.90..9.23).
--
-- The result depends only on "plots": randomness comes from hashing integer
-- keys, never from random(), so tests can compare two runs byte for byte.
--
-- How containment holds by construction: a jittered grid of convex quadrilaterals
-- gives the cadastral zones; plots are laid out in a rectangle inset from the
-- zone edges and mapped into the quadrilateral bilinearly, which keeps them
-- inside it; districts are unions of whole zones and LGAs unions of whole districts.
--
-- The new tables are built under temporary names and swapped in at the end of the
-- same transaction, so a running service keeps reading the old ones until then.

\set ON_ERROR_STOP on
\if :{?plots}
\else
  \set plots 3000
\endif

SET client_min_messages = warning;
CREATE EXTENSION IF NOT EXISTS postgis;

BEGIN;
-- JIT would spend seconds compiling these wide expressions for tiny tables.
SET LOCAL jit = off;
SET LOCAL work_mem = '256MB';
SET LOCAL maintenance_work_mem = '512MB';

-- Uniform pseudo-random number in [0,1) from an integer key and a salt.
CREATE OR REPLACE FUNCTION pg_temp.cad_rnd(key bigint, salt int) RETURNS double precision
  LANGUAGE sql IMMUTABLE PARALLEL SAFE
  AS $$ SELECT (hashint8extended(key, salt) & 9007199254740991)::double precision / 9007199254740992.0 $$;

-- Bilinear map of (s,t) in the unit square onto the quadrilateral a,b,c,d
-- (a at s=0,t=0, b at s=1,t=0, c at s=1,t=1, d at s=0,t=1), one coordinate at a time.
CREATE OR REPLACE FUNCTION pg_temp.cad_bl(s float8, t float8, a float8, b float8, c float8, d float8)
  RETURNS double precision LANGUAGE sql IMMUTABLE PARALLEL SAFE
  AS $$ SELECT a + s * (b - a) + t * (d - a) + s * t * (a - b + c - d) $$;

-- Front end of divider q between neighbouring plots of one row of a block. The
-- two plots either side call it with the same arguments, so they share the
-- corner bit for bit; that is what lets a single beacon serve both.
CREATE OR REPLACE FUNCTION pg_temp.cad_div(x0 float8, x1 float8, unit float8, g int, nq int, q int, key bigint, salt int)
  RETURNS double precision LANGUAGE sql IMMUTABLE PARALLEL SAFE
  AS $$ SELECT CASE WHEN q <= 0 THEN x0 WHEN q >= nq THEN x1
                    ELSE x0 + (q * g) * unit + unit * 0.1 * (2 * pg_temp.cad_rnd(key * 64 + q, salt) - 1) END $$;

-- The same for the back end of the divider. Back to back, the two rows of a
-- block either share it (four plots meeting at one beacon) or keep it at least
-- 5% of a frontage apart, never a few centimetres, which no surveyor would leave.
CREATE OR REPLACE FUNCTION pg_temp.cad_divb(x0 float8, x1 float8, unit float8, g int, nq int, q int, bkey bigint, r int)
  RETURNS double precision LANGUAGE sql IMMUTABLE PARALLEL SAFE
  AS $$ SELECT CASE WHEN q <= 0 THEN x0 WHEN q >= nq THEN x1
                    ELSE x0 + (q * g) * unit + unit * (0.1 * (2 * pg_temp.cad_rnd(bkey * 64 + q, 13) - 1)
                      + CASE WHEN r = 0 OR pg_temp.cad_rnd(bkey * 64 + q, 14) < 0.4 THEN 0
                             ELSE sign(pg_temp.cad_rnd(bkey * 64 + q, 15) - 0.5)
                                  * (0.05 + 0.1 * pg_temp.cad_rnd(bkey * 64 + q, 16)) END) END $$;

-- Height of the (slanted) back line of a block at x.
CREATE OR REPLACE FUNCTION pg_temp.cad_yb(x float8, x0 float8, x1 float8, yl float8, yr float8)
  RETURNS double precision LANGUAGE sql IMMUTABLE PARALLEL SAFE
  AS $$ SELECT yl + (x - x0) * (yr - yl) / (x1 - x0) $$;

-- Parameters. Lengths are ground metres in a local frame centred on the city;
-- 3857 coordinates are X0 + k*x, Y0 + k*y with k the Mercator scale at the centre.
CREATE TEMP TABLE cad_p ON COMMIT DROP AS
SELECT n, nz_est, cols, ceil(cand / cols)::int AS nrows,
       600.0::float8 AS cell,     -- nominal cadastral zone side
       15.0::float8 AS margin,    -- half the arterial road between zones
       12.0::float8 AS road,      -- local street between blocks
       ST_X(c) AS x0, ST_Y(c) AS y0, 1.0 / cos(radians(9.06)) AS k
FROM (SELECT n, nz_est, cand, ceil(sqrt(cand * 1.2))::int AS cols,
             ST_Transform(ST_SetSRID(ST_MakePoint(7.475, 9.06), 4326), 3857) AS c
      FROM (SELECT n, nz_est, nz_est * 2.2 + 4 AS cand
            FROM (SELECT n, greatest(1, ceil(n / 190.0))::int AS nz_est
                  FROM (SELECT (:'plots')::int AS n) a) b) c) d;

DO $$
BEGIN
  IF (SELECT n FROM cad_p) NOT BETWEEN 1 AND 2000000 THEN
    RAISE EXCEPTION 'plots must be between 1 and 2000000, got %', (SELECT n FROM cad_p);
  END IF;
END $$;

-- Plot classes: frontage f and depth d (m), target block length bl (m), general
-- land use, and the chance that a whole block is one plot (schools, parks, farms).
CREATE TEMP TABLE cad_cls (cls int PRIMARY KEY, general text, f float8, d float8, bl float8, whole float8) ON COMMIT DROP;
INSERT INTO cad_cls VALUES
  (1, 'Residential',   15,  30, 150, 0),      -- high density
  (2, 'Residential',   20,  40, 160, 0),      -- medium density
  (3, 'Residential',   30,  50, 180, 0),      -- low density
  (4, 'Residential',   18,  35, 216, 0),      -- housing estate
  (5, 'Commercial',    25,  45, 150, 0.05),
  (6, 'Mixed Use',     20,  35, 140, 0),
  (7, 'Institutional', 60, 100, 180, 0.3),
  (8, 'Recreational',  50,  80, 200, 0.4),
  (9, 'Agricultural',  60, 100, 240, 0.25),
  (10, 'Industrial',   40,  80, 200, 0.15);

-- Which classes each kind of zone is made of (integer weights keep the
-- cumulative bounds exact).
CREATE TEMP TABLE cad_mix ON COMMIT DROP AS
SELECT ch, cls, sum(w) OVER (PARTITION BY ch ORDER BY cls) - w AS lo,
       sum(w) OVER (PARTITION BY ch ORDER BY cls) AS hi, sum(w) OVER (PARTITION BY ch) AS tot
FROM (VALUES
  ('core', 2, 20), ('core', 5, 30), ('core', 6, 25), ('core', 7, 15), ('core', 8, 10),
  ('inner', 1, 25), ('inner', 2, 30), ('inner', 3, 10), ('inner', 4, 10), ('inner', 5, 8),
  ('inner', 6, 7), ('inner', 7, 7), ('inner', 8, 3),
  ('outer', 1, 20), ('outer', 2, 15), ('outer', 3, 20), ('outer', 4, 5), ('outer', 5, 4),
  ('outer', 7, 8), ('outer', 8, 3), ('outer', 9, 15), ('outer', 10, 10),
  ('industrial', 2, 10), ('industrial', 5, 20), ('industrial', 10, 70)) v(ch, cls, w);

-- Jittered grid vertices (±12% of a cell keeps every quadrilateral convex).
CREATE TEMP TABLE cad_gv ON COMMIT DROP AS
SELECT i, j,
       (i - p.cols / 2.0) * p.cell + p.cell * 0.12 * (2 * pg_temp.cad_rnd(j * (p.cols + 1) + i, 1) - 1) AS x,
       (j - p.nrows / 2.0) * p.cell + p.cell * 0.12 * (2 * pg_temp.cad_rnd(j * (p.cols + 1) + i, 2) - 1) AS y
FROM cad_p p, generate_series(0, p.cols) i, generate_series(0, p.nrows) j;

-- Candidate zones, ranked from the centre outwards: an ellipse with a few broad
-- lobes and a ragged edge, so the built-up area is not a perfect oval. Plots are laid out along x' in
-- blocks and along y' in bands; "swap" turns that layout by 90 degrees.
CREATE TEMP TABLE cad_zc ON COMMIT DROP AS
WITH z AS (
  SELECT gi.i, gj.j, (gj.j * p.cols + gi.i)::bigint AS zi,
         a.x AS a_x, a.y AS a_y, b.x AS b_x, b.y AS b_y, c.x AS c_x, c.y AS c_y, d.x AS d_x, d.y AS d_y,
         (sqrt((b.x - a.x) ^ 2 + (b.y - a.y) ^ 2) + sqrt((c.x - d.x) ^ 2 + (c.y - d.y) ^ 2)) / 2 AS lu,
         (sqrt((d.x - a.x) ^ 2 + (d.y - a.y) ^ 2) + sqrt((c.x - b.x) ^ 2 + (c.y - b.y) ^ 2)) / 2 AS lv,
         pg_temp.cad_rnd(gj.j * p.cols + gi.i, 3) < 0.5 AS swap,
         sqrt(((gi.i + 0.5 - p.cols / 2.0) / 1.2) ^ 2 + (gj.j + 0.5 - p.nrows / 2.0) ^ 2)
           * (1 + 0.10 * sin(3 * atan2(gj.j + 0.5 - p.nrows / 2.0, gi.i + 0.5 - p.cols / 2.0) + 1.0)
                + 0.06 * sin(5 * atan2(gj.j + 0.5 - p.nrows / 2.0, gi.i + 0.5 - p.cols / 2.0) + 4.0))
           + 0.8 * pg_temp.cad_rnd(gj.j * p.cols + gi.i, 4) AS dist
  FROM cad_p p
  CROSS JOIN generate_series(0, p.cols - 1) gi(i)
  CROSS JOIN generate_series(0, p.nrows - 1) gj(j)
  JOIN cad_gv a ON a.i = gi.i AND a.j = gj.j
  JOIN cad_gv b ON b.i = gi.i + 1 AND b.j = gj.j
  JOIN cad_gv c ON c.i = gi.i + 1 AND c.j = gj.j + 1
  JOIN cad_gv d ON d.i = gi.i AND d.j = gj.j + 1
), r AS (
  SELECT z.*, row_number() OVER (ORDER BY dist, zi) AS rnk FROM z
)
SELECT r.*,
       CASE WHEN swap THEN lv ELSE lu END AS lx,
       CASE WHEN swap THEN lu ELSE lv END AS ly,
       CASE WHEN rnk <= 0.06 * p.nz_est + 1 THEN 'core'
            WHEN pg_temp.cad_rnd(zi, 5) < 0.07 THEN 'industrial'
            WHEN rnk <= 0.4 * p.nz_est THEN 'inner'
            ELSE 'outer' END AS ch
FROM r, cad_p p;

-- Bands of blocks across each zone: as many as fit, depths stretched (at most
-- 25%) towards the far edge; whatever is left over stays open land.
CREATE TEMP TABLE cad_band ON COMMIT DROP AS
WITH b0 AS (
  SELECT z.zi, z.lx, z.ly, b, c.cls, c.f, c.bl, c.whole,
         c.d * (0.9 + 0.2 * pg_temp.cad_rnd(z.zi * 64 + b, 7)) AS dd
  FROM cad_zc z
  CROSS JOIN generate_series(0, 24) b
  JOIN cad_mix m ON m.ch = z.ch
    AND floor(pg_temp.cad_rnd(z.zi * 64 + b, 6) * m.tot) >= m.lo
    AND floor(pg_temp.cad_rnd(z.zi * 64 + b, 6) * m.tot) < m.hi
  JOIN cad_cls c ON c.cls = m.cls
), b1 AS (
  SELECT b0.*, sum(2 * dd + p.road) OVER (PARTITION BY zi ORDER BY b) AS cum,
         sum(2 * dd) OVER (PARTITION BY zi ORDER BY b) - 2 * dd AS before
  FROM b0, cad_p p
), b2 AS (
  SELECT b1.*, count(*) OVER w AS nb, sum(2 * dd) OVER w AS depth
  FROM b1, cad_p p
  WHERE cum - p.road <= ly - 2 * p.margin
  WINDOW w AS (PARTITION BY zi)
), b3 AS (
  SELECT b2.*, least(1.25, (ly - 2 * p.margin - (nb - 1) * p.road) / depth) AS sf,
         greatest(1, floor((lx - 2 * p.margin + p.road) / (bl + p.road)))::int AS nblk
  FROM b2, cad_p p
)
SELECT zi, b, cls, f, whole, nblk,
       p.margin + before * sf + b * p.road AS y0b,
       p.margin + before * sf + b * p.road + 2 * dd * sf AS y1b,
       (lx - 2 * p.margin - (nblk - 1) * p.road) / nblk AS blen
FROM b3, cad_p p;

-- Blocks. Most are two rows of plots back to back; some merge 2 or 3 frontages
-- into larger plots, some (schools, parks, farms) are a single plot.
CREATE TEMP TABLE cad_blk ON COMMIT DROP AS
WITH k0 AS (
  SELECT bd.zi, bd.b, blk, bd.cls, bd.y0b, bd.y1b,
         p.margin + blk * (bd.blen + p.road) AS x0b,
         p.margin + blk * (bd.blen + p.road) + bd.blen AS x1b,
         greatest(1, round(bd.blen / bd.f))::int AS kk,
         (bd.zi * 64 + bd.b) * 64 + blk AS bkey,
         bd.whole
  FROM cad_band bd
  CROSS JOIN LATERAL generate_series(0, bd.nblk - 1) blk
  CROSS JOIN cad_p p
), k1 AS (
  SELECT k0.*, (x1b - x0b) / kk AS unit,
         pg_temp.cad_rnd(bkey, 8) < whole AS single,
         least(kk, CASE WHEN pg_temp.cad_rnd(bkey, 9) < 0.80 THEN 1
                        WHEN pg_temp.cad_rnd(bkey, 9) < 0.94 THEN 2 ELSE 3 END) AS g,
         y0b + (y1b - y0b) * (0.5 + 0.08 * (2 * pg_temp.cad_rnd(bkey, 10) - 1)) AS ybl,
         y0b + (y1b - y0b) * (0.5 + 0.08 * (2 * pg_temp.cad_rnd(bkey, 11) - 1)) AS ybr
  FROM k0
)
SELECT k1.*, (kk + g - 1) / g AS nq,
       CASE WHEN single THEN 1 ELSE 2 * ((kk + g - 1) / g) END AS nplots
FROM k1;

-- Take zones from the centre outwards until they hold the requested number of
-- plots; the last one is only partly built up.
CREATE TEMP TABLE cad_zsel ON COMMIT DROP AS
WITH cnt AS (
  SELECT zi, sum(nplots) AS np FROM cad_blk GROUP BY zi
), c AS (
  SELECT z.*, coalesce(cnt.np, 0) AS np,
         sum(coalesce(cnt.np, 0)) OVER (ORDER BY z.rnk) - coalesce(cnt.np, 0) AS cum_before
  FROM cad_zc z LEFT JOIN cnt USING (zi)
)
SELECT c.*, (a_x + b_x + c_x + d_x) / 4 AS mx, (a_y + b_y + c_y + d_y) / 4 AS my
FROM c, cad_p p
WHERE c.cum_before < p.n AND c.np > 0;

DO $$
BEGIN
  IF (SELECT coalesce(max(cum_before + np), 0) FROM cad_zsel) < (SELECT n FROM cad_p) THEN
    RAISE EXCEPTION 'cadastre: candidate grid too small for % plots', (SELECT n FROM cad_p);
  END IF;
END $$;

-- Districts: one seed zone per coarse cell of step_d x step_d zones, every zone
-- joins its nearest seed. LGAs: the same over the district seeds with coarser
-- cells, sized for at most about 16 LGAs (cells cut by the city edge add some).
CREATE TEMP TABLE cad_step ON COMMIT DROP AS
SELECT CASE WHEN nsel < 60 THEN 2 ELSE 3 END AS step_d,
       greatest(2, round(sqrt(nsel / least(16, greatest(2, round(sqrt(nsel / 9.0))))) * 1.3))::int AS step_l
FROM (SELECT count(*)::float8 AS nsel FROM cad_zsel) s;

CREATE TEMP TABLE cad_dseed ON COMMIT DROP AS
SELECT DISTINCT ON (z.i / p.step_d, z.j / p.step_d) z.zi, z.i, z.j, z.mx, z.my, z.rnk
FROM cad_zsel z, cad_step p
ORDER BY z.i / p.step_d, z.j / p.step_d, pg_temp.cad_rnd(z.zi, 20), z.zi;

CREATE TEMP TABLE cad_lseed ON COMMIT DROP AS
SELECT DISTINCT ON (s.i / p.step_l, s.j / p.step_l) s.zi, s.mx, s.my, s.rnk
FROM cad_dseed s, cad_step p
ORDER BY s.i / p.step_l, s.j / p.step_l, pg_temp.cad_rnd(s.zi, 21), s.zi;

CREATE TEMP TABLE cad_lga ON COMMIT DROP AS
SELECT zi AS lseed, row_number() OVER (ORDER BY rnk) AS id FROM cad_lseed;

CREATE TEMP TABLE cad_district ON COMMIT DROP AS
SELECT s.zi AS dseed, l.id AS lga_id, row_number() OVER (ORDER BY l.id, s.rnk) AS id
FROM cad_dseed s
CROSS JOIN LATERAL (SELECT ls.zi FROM cad_lseed ls
                    ORDER BY (ls.mx - s.mx) ^ 2 + (ls.my - s.my) ^ 2, ls.zi LIMIT 1) near
JOIN cad_lga l ON l.lseed = near.zi;

-- District codes run A..Z, AA..ZZ; zone names are the code plus a number.
CREATE TEMP TABLE cad_zone ON COMMIT DROP AS
WITH zd AS (
  SELECT z.*, d.id AS district_id, d.lga_id,
         CASE WHEN d.id <= 26 THEN chr(64 + d.id::int)
              ELSE chr(65 + ((d.id::int - 27) / 26) % 26) || chr(65 + (d.id::int - 27) % 26) END AS code
  FROM cad_zsel z
  CROSS JOIN LATERAL (SELECT ds.zi FROM cad_dseed ds
                      ORDER BY (ds.mx - z.mx) ^ 2 + (ds.my - z.my) ^ 2, ds.zi LIMIT 1) near
  JOIN cad_district d ON d.dseed = near.zi
), zn AS (
  SELECT zd.*, row_number() OVER (PARTITION BY district_id ORDER BY rnk) - 1 AS seq
  FROM zd
)
SELECT zn.*, row_number() OVER (ORDER BY district_id, seq) AS id,
       code || lpad(seq::text, greatest(2, length(seq::text)), '0') AS name
FROM zn;

-- Plots with their four corners in 3857. Corners are first placed in the zone's
-- layout frame (x' along blocks, y' across bands), then mapped into the zone.
CREATE TEMP TABLE cad_plot ON COMMIT DROP AS
WITH pl AS (
  SELECT z.rnk, z.cum_before, z.id AS zone_id, z.name AS zone_name, z.lga_id, z.swap, z.lu, z.lv,
         z.a_x, z.a_y, z.b_x, z.b_y, z.c_x, z.c_y, z.d_x, z.d_y,
         k.zi, k.b, k.blk, k.cls, k.single, k.nq, k.bkey, r, q,
         k.x0b, k.x1b, k.y0b, k.y1b, k.ybl, k.ybr,
         CASE WHEN k.single THEN k.x0b ELSE pg_temp.cad_div(k.x0b, k.x1b, k.unit, k.g, k.nq, q, k.bkey * 2 + r, 12) END AS lf,
         CASE WHEN k.single THEN k.x0b ELSE pg_temp.cad_divb(k.x0b, k.x1b, k.unit, k.g, k.nq, q, k.bkey, r) END AS lb,
         CASE WHEN k.single THEN k.x1b ELSE pg_temp.cad_div(k.x0b, k.x1b, k.unit, k.g, k.nq, q + 1, k.bkey * 2 + r, 12) END AS rf,
         CASE WHEN k.single THEN k.x1b ELSE pg_temp.cad_divb(k.x0b, k.x1b, k.unit, k.g, k.nq, q + 1, k.bkey, r) END AS rb
  FROM cad_zone z
  JOIN cad_blk k ON k.zi = z.zi
  CROSS JOIN LATERAL generate_series(0, CASE WHEN k.single THEN 0 ELSE 1 END) r
  CROSS JOIN LATERAL generate_series(0, CASE WHEN k.single THEN 0 ELSE k.nq - 1 END) q
), lay AS (
  -- Corner i of the plot in the layout frame, counter-clockwise from the front left.
  SELECT pl.*,
         CASE WHEN single THEN y0b WHEN r = 0 THEN y0b ELSE y1b END AS yf,
         CASE WHEN single THEN y1b ELSE pg_temp.cad_yb(lb, x0b, x1b, ybl, ybr) END AS ylb,
         CASE WHEN single THEN y1b ELSE pg_temp.cad_yb(rb, x0b, x1b, ybl, ybr) END AS yrb
  FROM pl
), c4 AS (
  SELECT lay.*,
         CASE WHEN r = 0 THEN lf  ELSE lb  END AS x1, CASE WHEN r = 0 THEN yf  ELSE ylb END AS y1,
         CASE WHEN r = 0 THEN rf  ELSE rb  END AS x2, CASE WHEN r = 0 THEN yf  ELSE yrb END AS y2,
         CASE WHEN r = 0 THEN rb  ELSE rf  END AS x3, CASE WHEN r = 0 THEN yrb ELSE yf  END AS y3,
         CASE WHEN r = 0 THEN lb  ELSE lf  END AS x4, CASE WHEN r = 0 THEN ylb ELSE yf  END AS y4
  FROM lay
), st AS (
  SELECT c4.*,
         CASE WHEN swap THEN y1 ELSE x1 END / lu AS s1, CASE WHEN swap THEN x1 ELSE y1 END / lv AS t1,
         CASE WHEN swap THEN y2 ELSE x2 END / lu AS s2, CASE WHEN swap THEN x2 ELSE y2 END / lv AS t2,
         CASE WHEN swap THEN y3 ELSE x3 END / lu AS s3, CASE WHEN swap THEN x3 ELSE y3 END / lv AS t3,
         CASE WHEN swap THEN y4 ELSE x4 END / lu AS s4, CASE WHEN swap THEN x4 ELSE y4 END / lv AS t4
  FROM c4
), o AS (
  SELECT st.*, row_number() OVER (ORDER BY rnk, b, blk, r, q) AS ord
  FROM st
)
SELECT o.ord, o.ord - o.cum_before AS seq, o.zone_id, o.zone_name, o.lga_id, o.rnk, o.cls, o.single,
       o.bkey * 128 + o.r * 64 + o.q AS pkey,
       (o.q = 0 OR o.q = o.nq - 1) AS corner_plot,
       p.x0 + p.k * pg_temp.cad_bl(s1, t1, a_x, b_x, c_x, d_x) AS px1, p.y0 + p.k * pg_temp.cad_bl(s1, t1, a_y, b_y, c_y, d_y) AS py1,
       p.x0 + p.k * pg_temp.cad_bl(s2, t2, a_x, b_x, c_x, d_x) AS px2, p.y0 + p.k * pg_temp.cad_bl(s2, t2, a_y, b_y, c_y, d_y) AS py2,
       p.x0 + p.k * pg_temp.cad_bl(s3, t3, a_x, b_x, c_x, d_x) AS px3, p.y0 + p.k * pg_temp.cad_bl(s3, t3, a_y, b_y, c_y, d_y) AS py3,
       p.x0 + p.k * pg_temp.cad_bl(s4, t4, a_x, b_x, c_x, d_x) AS px4, p.y0 + p.k * pg_temp.cad_bl(s4, t4, a_y, b_y, c_y, d_y) AS py4
FROM o, cad_p p
WHERE o.ord <= p.n;

-- Beacons: one per distinct plot corner (neighbours share theirs), numbered in
-- plot order.
CREATE TEMP TABLE cad_beacon ON COMMIT DROP AS
WITH c AS (
  SELECT pc.ord * 4 + v.i AS ck, v.x, v.y
  FROM cad_plot pc
  CROSS JOIN LATERAL (VALUES (0, pc.px1, pc.py1), (1, pc.px2, pc.py2),
                             (2, pc.px3, pc.py3), (3, pc.px4, pc.py4)) v(i, x, y)
), g AS (
  SELECT min(ck) AS ck, min(x) AS x, min(y) AS y, count(*) AS shared
  FROM c GROUP BY round(x * 100)::bigint, round(y * 100)::bigint
)
SELECT row_number() OVER (ORDER BY ck) AS id, ck, x, y, shared FROM g;

-- Roads: the centre lines of what the layout leaves open. Arterial roads run
-- along the zone edges (plots keep "margin" off them on either side), streets
-- between the bands of a zone from edge to edge and between the blocks of a
-- band. Lines of constant x' or y' stay straight under the bilinear map, so two
-- end points make each one.
CREATE TEMP TABLE cad_road ON COMMIT DROP AS
WITH edge AS (
  SELECT DISTINCT e.i0, e.j0, e.i1, e.j1
  FROM cad_zone z
  CROSS JOIN LATERAL (VALUES (z.i, z.j, z.i + 1, z.j), (z.i + 1, z.j, z.i + 1, z.j + 1),
                             (z.i, z.j + 1, z.i + 1, z.j + 1), (z.i, z.j, z.i, z.j + 1)) e(i0, j0, i1, j1)
), arterial AS (
  SELECT 'Arterial' AS kind, 0 AS rank, e.j0 * 1000000 + e.i0 * 1000 + (e.j1 - e.j0) AS ord,
         p.x0 + p.k * v0.x AS ax, p.y0 + p.k * v0.y AS ay, p.x0 + p.k * v1.x AS bx, p.y0 + p.k * v1.y AS by
  FROM edge e
  JOIN cad_gv v0 ON v0.i = e.i0 AND v0.j = e.j0
  JOIN cad_gv v1 ON v1.i = e.i1 AND v1.j = e.j1
  CROSS JOIN cad_p p
), band AS (
  SELECT bd.*, EXISTS (SELECT 1 FROM cad_band n WHERE n.zi = bd.zi AND n.b = bd.b + 1) AS has_next
  FROM cad_band bd
), frame AS (
  -- End points in the zone's layout frame: across the zone after a band...
  SELECT z.zi, 0 AS sub, bd.b * 100 AS seq, 0.0::float8 AS xa, bd.y1b + p.road / 2 AS ya, z.lx AS xb, bd.y1b + p.road / 2 AS yb
  FROM cad_zone z JOIN band bd ON bd.zi = z.zi CROSS JOIN cad_p p
  WHERE bd.has_next
  UNION ALL
  -- ...and along the band between two blocks.
  SELECT z.zi, 1, bd.b * 100 + q,
         p.margin + q * (bd.blen + p.road) - p.road / 2,
         CASE WHEN bd.b = 0 THEN 0 ELSE bd.y0b - p.road / 2 END,
         p.margin + q * (bd.blen + p.road) - p.road / 2,
         CASE WHEN bd.has_next THEN bd.y1b + p.road / 2 ELSE bd.y1b END
  FROM cad_zone z JOIN band bd ON bd.zi = z.zi CROSS JOIN cad_p p
  CROSS JOIN LATERAL generate_series(1, bd.nblk - 1) q
), street AS (
  SELECT 'Street' AS kind, 1 AS rank, (f.zi * 2 + f.sub) * 10000 + f.seq AS ord,
         p.x0 + p.k * pg_temp.cad_bl(sa, ta, z.a_x, z.b_x, z.c_x, z.d_x) AS ax,
         p.y0 + p.k * pg_temp.cad_bl(sa, ta, z.a_y, z.b_y, z.c_y, z.d_y) AS ay,
         p.x0 + p.k * pg_temp.cad_bl(sb, tb, z.a_x, z.b_x, z.c_x, z.d_x) AS bx,
         p.y0 + p.k * pg_temp.cad_bl(sb, tb, z.a_y, z.b_y, z.c_y, z.d_y) AS by
  FROM frame f
  JOIN cad_zone z ON z.zi = f.zi
  CROSS JOIN cad_p p
  CROSS JOIN LATERAL (SELECT CASE WHEN z.swap THEN f.ya ELSE f.xa END / z.lu AS sa, CASE WHEN z.swap THEN f.xa ELSE f.ya END / z.lv AS ta,
                             CASE WHEN z.swap THEN f.yb ELSE f.xb END / z.lu AS sb, CASE WHEN z.swap THEN f.xb ELSE f.yb END / z.lv AS tb) st
)
SELECT row_number() OVER (ORDER BY rank, ord) AS id, kind, ax, ay, bx, by
FROM (SELECT * FROM arterial UNION ALL SELECT * FROM street) r;

------------------------------------------------------------------------------
-- The tables, under temporary names until the swap at the end.

CREATE TABLE "LGAs__load" (
  "id" integer NOT NULL,
  "name" text NOT NULL,
  "geometry_3857" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE "Districts__load" (
  "id" integer NOT NULL,
  "name" text NOT NULL,
  "lga_id" integer NOT NULL,
  "geometry_3857" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE "CadZones__load" (
  "id" integer NOT NULL,
  "name" text NOT NULL,
  "district_id" integer NOT NULL,
  "geometry_3857" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE "PLOT__load" (
  "ID" integer NOT NULL,
  "PLOT_NO" text NOT NULL,
  "STATUS" text NOT NULL,
  "AREA_SYSTEM" double precision NOT NULL,
  "GENERAL_LU" text NOT NULL,
  "CADZONE" text NOT NULL,
  "DETAIL_LU" text NOT NULL,
  "file_no" text,
  "GEOMETRY_3857" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE "BEACON__load" (
  "ID" integer NOT NULL,
  "BEACON_NO" text NOT NULL,
  "STATUS" text NOT NULL,
  "REMARK" text,
  "GEOMETRY_3857" geometry(Point, 3857) NOT NULL
);

CREATE TABLE "Roads__load" (
  "id" integer NOT NULL,
  "kind" text NOT NULL,
  "geometry_3857" geometry(LineString, 3857) NOT NULL
);

CREATE TEMP TABLE cad_zgeom ON COMMIT DROP AS
SELECT z.id, z.name, z.district_id, z.lga_id,
       ST_SetSRID(ST_MakePolygon(ST_MakeLine(ARRAY[
         ST_MakePoint(p.x0 + p.k * z.a_x, p.y0 + p.k * z.a_y),
         ST_MakePoint(p.x0 + p.k * z.b_x, p.y0 + p.k * z.b_y),
         ST_MakePoint(p.x0 + p.k * z.c_x, p.y0 + p.k * z.c_y),
         ST_MakePoint(p.x0 + p.k * z.d_x, p.y0 + p.k * z.d_y),
         ST_MakePoint(p.x0 + p.k * z.a_x, p.y0 + p.k * z.a_y)])), 3857) AS geom
FROM cad_zone z, cad_p p;

INSERT INTO "LGAs__load"
SELECT l.id,
       CASE WHEN l.id <= 20 THEN n.name ELSE n.name || ' ' || ((l.id - 1) / 20 + 1) END,
       ST_Multi(ST_Union(zg.geom))
FROM cad_lga l
JOIN cad_zgeom zg ON zg.lga_id = l.id
CROSS JOIN LATERAL (SELECT (ARRAY['Municipal', 'Bwari', 'Gwagwalada', 'Kuje', 'Kwali', 'Abaji', 'Karu',
                                  'Suleja', 'Tafa', 'Gurara', 'Keffi', 'Kokona', 'Nasarawa', 'Toto',
                                  'Kagarko', 'Chikun', 'Kachia', 'Jaba', 'Akwanga', 'Doma'])[1 + (l.id::int - 1) % 20] AS name) n
GROUP BY l.id, n.name;

INSERT INTO "Districts__load"
SELECT d.id,
       (ARRAY['Garki', 'Wuse', 'Maitama', 'Asokoro', 'Jabi', 'Utako', 'Gwarinpa', 'Kubwa', 'Lugbe',
              'Nyanya', 'Kado', 'Katampe', 'Mabushi', 'Jahi', 'Durumi', 'Gudu', 'Wuye', 'Dakibiyu',
              'Kaura', 'Lokogoma', 'Apo', 'Galadimawa', 'Kukwaba', 'Idu', 'Dutse', 'Gwagwa', 'Karmo',
              'Dei-Dei', 'Gosa', 'Pyakasa', 'Kabusa', 'Wumba', 'Dakwo', 'Guzape', 'Mpape', 'Jikwoyi',
              'Karshi', 'Orozo', 'Kurudu', 'Ketti', 'Sabo', 'Dape', 'Kafe', 'Saraji', 'Kagini', 'Gaduwa',
              'Duboyi', 'Waru'])[1 + (d.id::int - 1) % 48]
       || (ARRAY['', ' II', ' III', ' Extension', ' North', ' South', ' East', ' West', ' Phase 2'])[1 + ((d.id::int - 1) / 48) % 9]
       || CASE WHEN d.id > 432 THEN ' ' || ((d.id - 1) / 432 + 1) ELSE '' END,
       d.lga_id,
       ST_Multi(ST_Union(zg.geom))
FROM cad_district d
JOIN cad_zgeom zg ON zg.district_id = d.id
GROUP BY d.id, d.lga_id;

INSERT INTO "CadZones__load"
SELECT id, name, district_id, ST_Multi(geom) FROM cad_zgeom ORDER BY id;

-- Attributes. Residential plots on the ends of a block are sometimes shops or
-- places of worship; unallocated plots have no file yet; files opened earlier
-- towards the centre, where the city started.
INSERT INTO "PLOT__load"
WITH a AS (
  SELECT pc.*, cc.general AS cls_general,
         pg_temp.cad_rnd(pc.pkey, 30) AS r_lu, pg_temp.cad_rnd(pc.pkey, 31) AS r_dlu,
         pg_temp.cad_rnd(pc.pkey, 32) AS r_st, pg_temp.cad_rnd(pc.pkey, 33) AS r_yr
  FROM cad_plot pc JOIN cad_cls cc USING (cls)
), b AS (
  SELECT a.*,
         CASE WHEN cls_general = 'Residential' AND corner_plot AND r_lu < 0.15 THEN 'Commercial'
              WHEN cls_general = 'Residential' AND r_lu > 0.98 THEN 'Institutional'
              WHEN cls_general = 'Commercial' AND r_lu > 0.9 THEN 'Mixed Use'
              ELSE cls_general END AS general,
         CASE WHEN r_st < 0.55 THEN 'Allocated' WHEN r_st < 0.75 THEN 'Approved'
              WHEN r_st < 0.86 THEN 'Pending' WHEN r_st < 0.91 THEN 'Under Review'
              WHEN r_st < 0.95 THEN 'Revoked' ELSE 'Unallocated' END AS status
  FROM a
), c AS (
  SELECT b.*,
         CASE WHEN general <> cls_general OR cls > 4 THEN
           CASE general
             WHEN 'Commercial' THEN ARRAY['Shopping Plaza', 'Office Complex', 'Filling Station', 'Hotel',
                                         'Neighbourhood Market', 'Bank', 'Restaurant', 'Corner Shop']
             WHEN 'Mixed Use' THEN ARRAY['Residential/Commercial', 'Shops with Flats', 'Office/Residential']
             WHEN 'Institutional' THEN ARRAY['Primary School', 'Secondary School', 'Hospital', 'Primary Health Centre',
                                             'Police Station', 'Mosque', 'Church', 'Government Office', 'Fire Station']
             WHEN 'Recreational' THEN ARRAY['Neighbourhood Park', 'Sports Ground', 'Playground', 'Green Area',
                                            'Community Centre']
             WHEN 'Agricultural' THEN ARRAY['Crop Farm', 'Poultry Farm', 'Fish Farm', 'Orchard', 'Livestock Pen']
             ELSE ARRAY['Light Industry', 'Warehouse', 'Workshop', 'Factory', 'Cold Store'] END
         ELSE
           CASE cls
             WHEN 1 THEN ARRAY['High Density Residential', 'Terrace Housing', 'Block of Flats']
             WHEN 2 THEN ARRAY['Medium Density Residential', 'Semi-Detached Housing', 'Block of Flats']
             WHEN 3 THEN ARRAY['Low Density Residential', 'Detached House', 'Duplex']
             ELSE ARRAY['Estate Housing', 'Terrace Housing', 'Bungalow'] END
         END AS dlu
  FROM b
), geo AS (
  SELECT c.*, ST_ForcePolygonCCW(ST_Multi(ST_SetSRID(ST_MakePolygon(ST_MakeLine(ARRAY[
           ST_MakePoint(px1, py1), ST_MakePoint(px2, py2), ST_MakePoint(px3, py3),
           ST_MakePoint(px4, py4), ST_MakePoint(px1, py1)])), 3857))) AS geom
  FROM c
)
SELECT geo.ord,
       'PLOT ' || geo.seq,
       geo.status,
       round((ST_Area(geo.geom) / (p.k * p.k))::numeric, 2)::double precision,
       geo.general,
       geo.zone_name,
       geo.dlu[1 + floor(geo.r_dlu * cardinality(geo.dlu))::int],
       CASE WHEN geo.status = 'Unallocated' THEN NULL
            ELSE upper(left(l.name, 3)) || '/LAND/'
                 || least(2024, 1991 + floor(18 * least(1.0, geo.rnk::float8 / zmax.rnk) + 14 * geo.r_yr))::int
                 || '/' || lpad(geo.ord::text, greatest(4, length(geo.ord::text)), '0') END,
       geo.geom
FROM geo
JOIN "LGAs__load" l ON l.id = geo.lga_id
CROSS JOIN cad_p p
CROSS JOIN (SELECT max(rnk) AS rnk FROM cad_zone) zmax
ORDER BY geo.ord;

INSERT INTO "BEACON__load"
SELECT b.id,
       'PB ' || (10000 + b.id),
       s.status,
       CASE WHEN s.status = 'Missing' THEN 'Not found during field inspection'
            WHEN s.status = 'Replaced' THEN 'Re-established after road works'
            WHEN s.status = 'Disturbed' THEN 'Displaced, to be re-surveyed'
            WHEN rr < 0.55 THEN NULL
            ELSE (ARRAY['Concrete pillar', 'Iron pin in concrete', 'Under fence wall', 'Near drainage culvert',
                        'Inside road reserve', 'Beacon cap damaged'])[1 + floor((rr - 0.55) / 0.45 * 6)::int] END,
       ST_SetSRID(ST_MakePoint(b.x, b.y), 3857)
FROM cad_beacon b
CROSS JOIN LATERAL (SELECT pg_temp.cad_rnd(b.ck, 40) AS rs, pg_temp.cad_rnd(b.ck, 41) AS rr) r
CROSS JOIN LATERAL (SELECT CASE WHEN rs < 0.74 THEN 'Intact' WHEN rs < 0.86 THEN 'Disturbed'
                                WHEN rs < 0.93 THEN 'Missing' WHEN rs < 0.97 THEN 'Replaced'
                                ELSE 'Unverified' END AS status) s
ORDER BY b.id;

INSERT INTO "Roads__load"
SELECT id, kind, ST_SetSRID(ST_MakeLine(ST_MakePoint(ax, ay), ST_MakePoint(bx, by)), 3857)
FROM cad_road ORDER BY id;

-- Never swap in a short or empty cadastre.
DO $$
BEGIN
  IF (SELECT count(*) FROM "PLOT__load") <> (SELECT n FROM cad_p) OR NOT EXISTS (SELECT 1 FROM "BEACON__load") THEN
    RAISE EXCEPTION 'cadastre: generated % plots instead of %',
      (SELECT count(*) FROM "PLOT__load"), (SELECT n FROM cad_p);
  END IF;
END $$;

-- Keys and indexes after the data is in: much faster than maintaining them row by row.
ALTER TABLE "LGAs__load" ADD CONSTRAINT "LGAs__load_pkey" PRIMARY KEY ("id");
ALTER TABLE "Districts__load" ADD CONSTRAINT "Districts__load_pkey" PRIMARY KEY ("id");
ALTER TABLE "CadZones__load" ADD CONSTRAINT "CadZones__load_pkey" PRIMARY KEY ("id");
ALTER TABLE "PLOT__load" ADD CONSTRAINT "PLOT__load_pkey" PRIMARY KEY ("ID");
ALTER TABLE "BEACON__load" ADD CONSTRAINT "BEACON__load_pkey" PRIMARY KEY ("ID");
ALTER TABLE "Roads__load" ADD CONSTRAINT "Roads__load_pkey" PRIMARY KEY ("id");
ALTER TABLE "Districts__load" ADD CONSTRAINT "Districts__load_lga_id_fkey"
  FOREIGN KEY ("lga_id") REFERENCES "LGAs__load" ("id");
ALTER TABLE "CadZones__load" ADD CONSTRAINT "CadZones__load_district_id_fkey"
  FOREIGN KEY ("district_id") REFERENCES "Districts__load" ("id");
CREATE INDEX "LGAs__load_geometry_3857_idx" ON "LGAs__load" USING gist ("geometry_3857");
CREATE INDEX "Districts__load_geometry_3857_idx" ON "Districts__load" USING gist ("geometry_3857");
CREATE INDEX "CadZones__load_geometry_3857_idx" ON "CadZones__load" USING gist ("geometry_3857");
CREATE INDEX "PLOT__load_GEOMETRY_3857_idx" ON "PLOT__load" USING gist ("GEOMETRY_3857");
CREATE INDEX "BEACON__load_GEOMETRY_3857_idx" ON "BEACON__load" USING gist ("GEOMETRY_3857");
CREATE INDEX "Roads__load_geometry_3857_idx" ON "Roads__load" USING gist ("geometry_3857");

-- Swap: the old tables are locked only from here to COMMIT.
DROP TABLE IF EXISTS "PLOT", "BEACON", "Roads", "CadZones", "Districts", "LGAs";

ALTER TABLE "LGAs__load" RENAME TO "LGAs";
ALTER TABLE "LGAs" RENAME CONSTRAINT "LGAs__load_pkey" TO "LGAs_pkey";
ALTER INDEX "LGAs__load_geometry_3857_idx" RENAME TO "LGAs_geometry_3857_idx";

ALTER TABLE "Districts__load" RENAME TO "Districts";
ALTER TABLE "Districts" RENAME CONSTRAINT "Districts__load_pkey" TO "Districts_pkey";
ALTER TABLE "Districts" RENAME CONSTRAINT "Districts__load_lga_id_fkey" TO "Districts_lga_id_fkey";
ALTER INDEX "Districts__load_geometry_3857_idx" RENAME TO "Districts_geometry_3857_idx";

ALTER TABLE "CadZones__load" RENAME TO "CadZones";
ALTER TABLE "CadZones" RENAME CONSTRAINT "CadZones__load_pkey" TO "CadZones_pkey";
ALTER TABLE "CadZones" RENAME CONSTRAINT "CadZones__load_district_id_fkey" TO "CadZones_district_id_fkey";
ALTER INDEX "CadZones__load_geometry_3857_idx" RENAME TO "CadZones_geometry_3857_idx";

ALTER TABLE "PLOT__load" RENAME TO "PLOT";
ALTER TABLE "PLOT" RENAME CONSTRAINT "PLOT__load_pkey" TO "PLOT_pkey";
ALTER INDEX "PLOT__load_GEOMETRY_3857_idx" RENAME TO "PLOT_GEOMETRY_3857_idx";

ALTER TABLE "BEACON__load" RENAME TO "BEACON";
ALTER TABLE "BEACON" RENAME CONSTRAINT "BEACON__load_pkey" TO "BEACON_pkey";
ALTER INDEX "BEACON__load_GEOMETRY_3857_idx" RENAME TO "BEACON_GEOMETRY_3857_idx";

ALTER TABLE "Roads__load" RENAME TO "Roads";
ALTER TABLE "Roads" RENAME CONSTRAINT "Roads__load_pkey" TO "Roads_pkey";
ALTER INDEX "Roads__load_geometry_3857_idx" RENAME TO "Roads_geometry_3857_idx";

-- Statistics now, not whenever autovacuum gets round to it: the tile service
-- sizes its work with ST_EstimatedExtent, which reads them.
ANALYZE "LGAs";
ANALYZE "Districts";
ANALYZE "CadZones";
ANALYZE "PLOT";
ANALYZE "BEACON";
ANALYZE "Roads";

COMMIT;
