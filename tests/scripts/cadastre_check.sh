#!/usr/bin/env bash
# Checks the synthetic cadastre: loads the small size into a scratch database on
# the server of DATABASE_URL, inspects it with SQL, and drops the database again.
# One line per check, then "N passed, M failed"; exits non-zero on any failure.
set -uo pipefail

: "${DATABASE_URL:?cadastre_check: set DATABASE_URL (a libpq URI) to reach the server}"
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

plots=3000
# The box the generator promises to stay inside, and the city centre.
lon_min=7.05 lon_max=7.90 lat_min=8.70 lat_max=9.42
lon_c=7.475 lat_c=9.06

# Same server and options as DATABASE_URL, another database.
db_url() {
  if [[ $DATABASE_URL == postgres://* || $DATABASE_URL == postgresql://* ]]; then
    local base=${DATABASE_URL%%\?*} query=""
    [[ $DATABASE_URL == *\?* ]] && query="?${DATABASE_URL#*\?}"
    local scheme=${base%%://*} rest=${base#*://}
    printf '%s://%s/%s%s' "$scheme" "${rest%%/*}" "$1" "$query"
  else
    printf '%s dbname=%s' "$DATABASE_URL" "$1"
  fi
}

scratch="cadastre_check_$$_$(date +%s%N | tail -c 10)"
url=$(db_url "$scratch")
work=$(mktemp -d)

cleanup() {
  psql "$DATABASE_URL" -X -q -c "DROP DATABASE IF EXISTS \"$scratch\" WITH (FORCE)" >/dev/null 2>&1 ||
    echo "cadastre_check: could not drop scratch database $scratch" >&2
  rm -rf "$work"
}
trap cleanup EXIT

passed=0 failed=0
pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1: $2"; }

# check NAME <<'SQL' ... SQL
# The query must return the single value "ok"; anything else (or an error) is
# printed as the reason for the failure.
check() {
  local name=$1 out
  if out=$(psql "$url" -X -q -A -t -v ON_ERROR_STOP=1 2>&1); then
    if [ "$out" = ok ]; then pass "$name"; else fail "$name" "$(head -c 400 <<<"$out" | tr '\n' ' ')"; fi
  else
    fail "$name" "$(head -c 400 <<<"$out" | tr '\n' ' ')"
  fi
}

# query SQL: the single value a query returns (empty on error).
query() { psql "$url" -X -q -A -t -v ON_ERROR_STOP=1 -c "$1" 2>/dev/null; }

fingerprint() {
  query 'SELECT concat_ws(chr(32),
    (SELECT md5(string_agg(t::text, chr(10) ORDER BY t."ID")) FROM "PLOT" t),
    (SELECT md5(string_agg(t::text, chr(10) ORDER BY t."ID")) FROM "BEACON" t),
    (SELECT md5(string_agg(t::text, chr(10) ORDER BY t."id")) FROM "CadZones" t),
    (SELECT md5(string_agg(t::text, chr(10) ORDER BY t."id")) FROM "Districts" t),
    (SELECT md5(string_agg(t::text, chr(10) ORDER BY t."id")) FROM "LGAs" t))'
}

if ! psql "$DATABASE_URL" -X -q -v ON_ERROR_STOP=1 -c "CREATE DATABASE \"$scratch\"" >"$work/err" 2>&1 ||
  ! psql "$url" -X -q -v ON_ERROR_STOP=1 -c "CREATE EXTENSION postgis" >>"$work/err" 2>&1; then
  fail "scratch database" "$(tr '\n' ' ' <"$work/err")"
  echo "$passed passed, $failed failed"
  exit 1
fi

# --- load -------------------------------------------------------------------

if line=$(DATABASE_URL=$url "$root/scripts/load-cadastre.sh" small 2>&1) &&
  [[ $line =~ ^cadastre\ small:\ PLOT=$plots\ BEACON=[0-9]+\ CadZones=[0-9]+\ Districts=[0-9]+\ LGAs=[0-9]+\ in\ [0-9]+\.[0-9]{3}\ s$ ]]; then
  pass "load-cadastre.sh small ($line)"
else
  fail "load-cadastre.sh small" "$(tr '\n' ' ' <<<"$line")"
fi

if DATABASE_URL=$url "$root/scripts/load-cadastre.sh" 12x >/dev/null 2>&1; then
  fail "load-cadastre.sh rejects a bad size" "accepted '12x'"
else
  pass "load-cadastre.sh rejects a bad size"
fi

# --- structure ----------------------------------------------------------------

# table|columns in order with their types
while IFS='|' read -r table columns; do
  check "table \"$table\": columns, order and types" <<SQL
SELECT CASE WHEN to_regclass('"$table"') IS NULL THEN 'table missing'
            WHEN cols = '$columns' THEN 'ok' ELSE 'found ' || cols END
FROM (SELECT (SELECT string_agg(quote_ident(attname) || ' ' || format_type(atttypid, atttypmod), ', ' ORDER BY attnum)
              FROM pg_attribute
              WHERE attrelid = to_regclass('"$table"') AND attnum > 0 AND NOT attisdropped) AS cols) c
SQL
done <<'EOF'
PLOT|"ID" integer, "PLOT_NO" text, "STATUS" text, "AREA_SYSTEM" double precision, "GENERAL_LU" text, "CADZONE" text, "DETAIL_LU" text, file_no text, "GEOMETRY_3857" geometry(MultiPolygon,3857)
BEACON|"ID" integer, "BEACON_NO" text, "STATUS" text, "REMARK" text, "GEOMETRY_3857" geometry(Point,3857)
CadZones|id integer, name text, district_id integer, geometry_3857 geometry(MultiPolygon,3857)
Districts|id integer, name text, lga_id integer, geometry_3857 geometry(MultiPolygon,3857)
LGAs|id integer, name text, geometry_3857 geometry(MultiPolygon,3857)
Roads|id integer, kind text, geometry_3857 geometry(LineString,3857)
EOF

# table|id column|geometry column|geometry type
tables='PLOT|ID|GEOMETRY_3857|MULTIPOLYGON
BEACON|ID|GEOMETRY_3857|POINT
CadZones|id|geometry_3857|MULTIPOLYGON
Districts|id|geometry_3857|MULTIPOLYGON
LGAs|id|geometry_3857|MULTIPOLYGON
Roads|id|geometry_3857|LINESTRING'

while IFS='|' read -r table id geom gtype; do
  check "\"$table\": primary key on \"$id\"" <<SQL
SELECT CASE WHEN count(*) = 1 THEN 'ok' ELSE 'no primary key on exactly "$id"' END
FROM pg_constraint c
WHERE c.conrelid = '"$table"'::regclass AND c.contype = 'p'
  AND c.conkey = ARRAY[(SELECT attnum FROM pg_attribute WHERE attrelid = c.conrelid AND attname = '$id')]
SQL

  check "\"$table\": GiST index on \"$geom\"" <<SQL
SELECT CASE WHEN count(*) >= 1 THEN 'ok' ELSE 'no GiST index' END
FROM pg_index i
JOIN pg_class ic ON ic.oid = i.indexrelid
JOIN pg_am am ON am.oid = ic.relam
WHERE i.indrelid = '"$table"'::regclass AND am.amname = 'gist' AND i.indnatts = 1
  AND i.indkey[0] = (SELECT attnum FROM pg_attribute WHERE attrelid = i.indrelid AND attname = '$geom')
SQL

  check "\"$table\": geometries valid, non-empty, $gtype, SRID 3857" <<SQL
SELECT CASE WHEN bad = 0 AND total > 0 THEN 'ok' ELSE bad || ' bad of ' || total END
FROM (SELECT count(*) AS total,
             count(*) FILTER (WHERE g IS NULL OR ST_IsEmpty(g) OR NOT ST_IsValid(g) OR ST_SRID(g) <> 3857
                                    OR GeometryType(g) <> '$gtype') AS bad
      FROM (SELECT "$geom" AS g FROM "$table") t) s
SQL

  check "\"$table\": inside lon $lon_min..$lon_max, lat $lat_min..$lat_max" <<SQL
SELECT CASE WHEN ST_XMin(e) >= $lon_min AND ST_XMax(e) <= $lon_max AND ST_YMin(e) >= $lat_min AND ST_YMax(e) <= $lat_max
            THEN 'ok' ELSE 'extent ' || ST_AsText(e) END
FROM (SELECT ST_Extent(ST_Transform("$geom", 4326))::geometry AS e FROM "$table") s
SQL

  # ST_EstimatedExtent answers from the GiST index when it can, so it alone
  # would not notice a missing ANALYZE: look for the column statistics too.
  check "\"$table\": statistics (ANALYZEd; ST_EstimatedExtent close to the real extent)" <<SQL
SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM pg_stats WHERE schemaname = current_schema()
                               AND tablename = '$table' AND attname = '$geom')
            THEN 'no statistics on "$geom"'
            WHEN est IS NULL THEN 'no estimated extent'
            WHEN abs(ST_XMin(est) - ST_XMin(ext)) + abs(ST_XMax(est) - ST_XMax(ext))
               + abs(ST_YMin(est) - ST_YMin(ext)) + abs(ST_YMax(est) - ST_YMax(ext))
                 <= 0.05 * (ST_XMax(ext) - ST_XMin(ext) + ST_YMax(ext) - ST_YMin(ext))
            THEN 'ok' ELSE 'estimated ' || est::text || ' but real ' || ext::text END
FROM (SELECT ST_EstimatedExtent('$table', '$geom') AS est,
             (SELECT ST_Extent("$geom") FROM "$table") AS ext) s
SQL
done <<<"$tables"

check "roads: arterials and streets, none touching a plot" <<'SQL'
SELECT CASE WHEN kinds <> 'Arterial, Street' THEN 'kinds ' || kinds
            WHEN touching > 0 THEN touching || ' roads touch plots' ELSE 'ok' END
FROM (SELECT string_agg(DISTINCT kind, ', ' ORDER BY kind) AS kinds FROM "Roads") k,
     (SELECT count(*) AS touching FROM "Roads" r JOIN "PLOT" p ON ST_Intersects(r.geometry_3857, p."GEOMETRY_3857")) t
SQL

check "no tables left over from the load" <<'SQL'
SELECT CASE WHEN count(*) = 0 THEN 'ok' ELSE string_agg(relname, ', ') END
FROM pg_class WHERE relkind = 'r' AND relname LIKE '%\_\_load'
SQL

# --- hierarchy ------------------------------------------------------------------

check "every plot's CADZONE names exactly one cadastral zone" <<'SQL'
SELECT CASE WHEN bad = 0 THEN 'ok' ELSE bad || ' plots without a unique zone' END
FROM (SELECT count(*) AS bad FROM "PLOT" p
      WHERE (SELECT count(*) FROM "CadZones" z WHERE z.name = p."CADZONE") <> 1) s
SQL

check "every plot lies within its cadastral zone" <<'SQL'
SELECT CASE WHEN count(*) = 0 THEN 'ok' ELSE count(*) || ' plots outside, e.g. ID ' || min(p."ID") END
FROM "PLOT" p JOIN "CadZones" z ON z.name = p."CADZONE"
WHERE NOT ST_CoveredBy(p."GEOMETRY_3857", z.geometry_3857)
  AND ST_Area(ST_Difference(p."GEOMETRY_3857", z.geometry_3857)) > 0.01
SQL

check "every cadastral zone lies within its district" <<'SQL'
SELECT CASE WHEN count(*) = 0 THEN 'ok' ELSE count(*) || ' zones outside, e.g. id ' || min(z.id) END
FROM "CadZones" z LEFT JOIN "Districts" d ON d.id = z.district_id
WHERE d.id IS NULL
   OR (NOT ST_CoveredBy(z.geometry_3857, d.geometry_3857)
       AND ST_Area(ST_Difference(z.geometry_3857, d.geometry_3857)) > 0.01)
SQL

check "every district lies within its LGA" <<'SQL'
SELECT CASE WHEN count(*) = 0 THEN 'ok' ELSE count(*) || ' districts outside, e.g. id ' || min(d.id) END
FROM "Districts" d LEFT JOIN "LGAs" l ON l.id = d.lga_id
WHERE l.id IS NULL
   OR (NOT ST_CoveredBy(d.geometry_3857, l.geometry_3857)
       AND ST_Area(ST_Difference(d.geometry_3857, l.geometry_3857)) > 0.01)
SQL

check "zones, districts and LGAs tile without overlapping" <<'SQL'
SELECT CASE WHEN bad = '' THEN 'ok' ELSE bad END
FROM (SELECT concat_ws(' ',
        (SELECT count(*) || ' overlapping zone pairs' FROM "CadZones" a JOIN "CadZones" b
           ON a.id < b.id AND a.geometry_3857 && b.geometry_3857
          WHERE ST_Area(ST_Intersection(a.geometry_3857, b.geometry_3857)) > 0.01 HAVING count(*) > 0),
        (SELECT count(*) || ' overlapping district pairs' FROM "Districts" a JOIN "Districts" b
           ON a.id < b.id AND a.geometry_3857 && b.geometry_3857
          WHERE ST_Area(ST_Intersection(a.geometry_3857, b.geometry_3857)) > 0.01 HAVING count(*) > 0),
        (SELECT 'zones cover ' || round((SELECT sum(ST_Area(geometry_3857)) FROM "CadZones")::numeric)
                || ' but LGAs ' || round(sum(ST_Area(geometry_3857))::numeric) FROM "LGAs"
          HAVING abs(sum(ST_Area(geometry_3857)) - (SELECT sum(ST_Area(geometry_3857)) FROM "CadZones")) > 1)) AS bad) s
SQL

check "every LGA has districts, every district zones, every zone plots" <<'SQL'
SELECT CASE WHEN bad = '' THEN 'ok' ELSE bad END
FROM (SELECT concat_ws(' ',
        (SELECT count(*) || ' empty LGAs' FROM "LGAs" l
          WHERE NOT EXISTS (SELECT 1 FROM "Districts" d WHERE d.lga_id = l.id) HAVING count(*) > 0),
        (SELECT count(*) || ' empty districts' FROM "Districts" d
          WHERE NOT EXISTS (SELECT 1 FROM "CadZones" z WHERE z.district_id = d.id) HAVING count(*) > 0),
        (SELECT count(*) || ' empty zones' FROM "CadZones" z
          WHERE NOT EXISTS (SELECT 1 FROM "PLOT" p WHERE p."CADZONE" = z.name) HAVING count(*) > 0)) AS bad) s
SQL

# --- counts -----------------------------------------------------------------------

check "row counts: $plots plots, a few hundred per zone, zones > districts > LGAs >= 2" <<SQL
SELECT CASE WHEN np = $plots AND nz BETWEEN np / 400 AND np / 80 AND nd BETWEEN 2 AND nz - 1
                 AND nl BETWEEN 2 AND nd - 1
            THEN 'ok' ELSE format('PLOT=%s CadZones=%s Districts=%s LGAs=%s', np, nz, nd, nl) END
FROM (SELECT (SELECT count(*) FROM "PLOT") np, (SELECT count(*) FROM "CadZones") nz,
             (SELECT count(*) FROM "Districts") nd, (SELECT count(*) FROM "LGAs") nl) s
SQL

# Neighbouring plots share corner beacons, so there are fewer than 4 per plot,
# but even a block whose back corners all meet four plots needs 1.5 per plot.
check "beacon count between 1.5 and 4 per plot" <<'SQL'
SELECT CASE WHEN nb > 1.5 * np AND nb < 4 * np THEN 'ok' ELSE format('BEACON=%s for %s plots', nb, np) END
FROM (SELECT (SELECT count(*) FROM "BEACON") nb, (SELECT count(*) FROM "PLOT") np) s
SQL

# --- plots and beacons --------------------------------------------------------------

check "city centred near lon $lon_c, lat $lat_c" <<SQL
SELECT CASE WHEN abs(ST_X(c) - $lon_c) < 0.03 AND abs(ST_Y(c) - $lat_c) < 0.03 THEN 'ok' ELSE 'centre ' || ST_AsText(c) END
FROM (SELECT ST_Centroid(ST_Transform(ST_SetSRID(ST_Extent("GEOMETRY_3857")::geometry, 3857), 4326)) c FROM "PLOT") s
SQL

check "plots do not overlap each other" <<'SQL'
SELECT CASE WHEN count(*) = 0 THEN 'ok' ELSE count(*) || ' overlapping pairs, e.g. ' || min(a."ID") END
FROM "PLOT" a JOIN "PLOT" b ON a."ID" < b."ID" AND a."GEOMETRY_3857" && b."GEOMETRY_3857"
WHERE ST_Intersects(a."GEOMETRY_3857", b."GEOMETRY_3857")
  AND ST_Area(ST_Intersection(a."GEOMETRY_3857", b."GEOMETRY_3857")) > 0.5
SQL

check "plots are quadrilaterals of 200 m2 to 10 ha, sizes varied" <<'SQL'
SELECT CASE WHEN bad = 0 AND small > 0 AND large > 0 THEN 'ok'
            ELSE format('%s bad, %s under 600 m2, %s over 5000 m2', bad, small, large) END
FROM (SELECT count(*) FILTER (WHERE ST_NPoints("GEOMETRY_3857") <> 5 OR ST_NumGeometries("GEOMETRY_3857") <> 1
                               OR "AREA_SYSTEM" NOT BETWEEN 200 AND 100000) AS bad,
             count(*) FILTER (WHERE "AREA_SYSTEM" < 600) AS small,
             count(*) FILTER (WHERE "AREA_SYSTEM" > 5000) AS large
      FROM "PLOT") s
SQL

check "AREA_SYSTEM is the ground area in m2 (within 1% of the geodesic area)" <<'SQL'
SELECT CASE WHEN count(*) = 0 THEN 'ok' ELSE count(*) || ' plots off, e.g. ID ' || min("ID") END
FROM "PLOT"
WHERE abs("AREA_SYSTEM" - ST_Area(ST_Transform("GEOMETRY_3857", 4326)::geography)) > 0.01 * "AREA_SYSTEM"
SQL

check "every beacon lies on a plot corner (within 0.01 m)" <<'SQL'
SELECT CASE WHEN count(*) = 0 THEN 'ok' ELSE count(*) || ' stray beacons, e.g. ID ' || min(b."ID") END
FROM "BEACON" b
WHERE NOT EXISTS (
  SELECT 1 FROM "PLOT" p, ST_DumpPoints(p."GEOMETRY_3857") d
  WHERE p."GEOMETRY_3857" && ST_Expand(b."GEOMETRY_3857", 0.01)
    AND ST_DWithin(d.geom, b."GEOMETRY_3857", 0.01))
SQL

check "every plot corner has a beacon, and no two beacons coincide" <<'SQL'
SELECT CASE WHEN bad = '' THEN 'ok' ELSE bad END
FROM (SELECT concat_ws(' ',
        (SELECT count(*) || ' corners without a beacon'
           FROM "PLOT" p, ST_DumpPoints(p."GEOMETRY_3857") d
          WHERE NOT EXISTS (SELECT 1 FROM "BEACON" b
                            WHERE b."GEOMETRY_3857" && ST_Expand(d.geom, 0.01)
                              AND ST_DWithin(b."GEOMETRY_3857", d.geom, 0.01))
          HAVING count(*) > 0),
        (SELECT count(*) || ' coinciding beacon pairs'
           FROM "BEACON" a JOIN "BEACON" b ON a."ID" < b."ID"
            AND ST_DWithin(a."GEOMETRY_3857", b."GEOMETRY_3857", 0.01)
          HAVING count(*) > 0)) AS bad) s
SQL

check "plot attributes: numbers, statuses, land uses, file numbers" <<'SQL'
SELECT CASE WHEN bad = '' THEN 'ok' ELSE bad END
FROM (SELECT concat_ws(' ',
        (SELECT count(*) || ' bad PLOT_NO' FROM "PLOT" WHERE "PLOT_NO" !~ '^PLOT [1-9][0-9]*$' HAVING count(*) > 0),
        (SELECT count(*) || ' PLOT_NO repeated in a zone' FROM
           (SELECT 1 FROM "PLOT" GROUP BY "CADZONE", "PLOT_NO" HAVING count(*) > 1) d HAVING count(*) > 0),
        (SELECT 'STATUS values ' || string_agg(DISTINCT "STATUS", ',') FROM "PLOT"
          HAVING count(DISTINCT "STATUS") < 4
              OR bool_or("STATUS" NOT IN ('Allocated', 'Approved', 'Pending', 'Under Review', 'Revoked', 'Unallocated'))),
        (SELECT 'GENERAL_LU values ' || string_agg(DISTINCT "GENERAL_LU", ',') FROM "PLOT"
          HAVING count(DISTINCT "GENERAL_LU") < 5
              OR bool_or("GENERAL_LU" NOT IN ('Residential', 'Commercial', 'Institutional', 'Agricultural',
                                              'Recreational', 'Mixed Use', 'Industrial'))),
        (SELECT 'most plots are not Residential' FROM "PLOT"
          HAVING count(*) FILTER (WHERE "GENERAL_LU" = 'Residential') * 2 < count(*)),
        (SELECT count(*) || ' empty DETAIL_LU' FROM "PLOT" WHERE coalesce("DETAIL_LU", '') = '' HAVING count(*) > 0),
        (SELECT count(*) || ' bad file_no' FROM "PLOT"
          WHERE ("file_no" IS NULL) <> ("STATUS" = 'Unallocated')
             OR "file_no" !~ '^[A-Z]{3}/LAND/(199[0-9]|20[0-2][0-9])/[0-9]{4,}$' HAVING count(*) > 0),
        (SELECT count(*) || ' repeated file_no' FROM
           (SELECT 1 FROM "PLOT" WHERE "file_no" IS NOT NULL GROUP BY "file_no" HAVING count(*) > 1) d
          HAVING count(*) > 0)) AS bad) s
SQL

check "beacon attributes: unique PB numbers, statuses, remarks" <<'SQL'
SELECT CASE WHEN bad = '' THEN 'ok' ELSE bad END
FROM (SELECT concat_ws(' ',
        (SELECT count(*) || ' bad BEACON_NO' FROM "BEACON" WHERE "BEACON_NO" !~ '^PB [0-9]{5,}$' HAVING count(*) > 0),
        (SELECT 'repeated BEACON_NO' FROM "BEACON" HAVING count(DISTINCT "BEACON_NO") <> count(*)),
        (SELECT 'STATUS values ' || string_agg(DISTINCT "STATUS", ',') FROM "BEACON"
          HAVING count(DISTINCT "STATUS") < 3
              OR bool_or("STATUS" NOT IN ('Intact', 'Disturbed', 'Missing', 'Replaced', 'Unverified'))),
        (SELECT 'REMARK never or always set' FROM "BEACON"
          HAVING count("REMARK") = 0 OR count("REMARK") = count(*))) AS bad) s
SQL

check "names: unique zone names, districts and LGAs named" <<'SQL'
SELECT CASE WHEN bad = '' THEN 'ok' ELSE bad END
FROM (SELECT concat_ws(' ',
        (SELECT 'repeated zone names' FROM "CadZones" HAVING count(DISTINCT name) <> count(*)),
        (SELECT count(*) || ' bad zone names' FROM "CadZones" WHERE name !~ '^[A-Z]{1,2}[0-9]{2,}$' HAVING count(*) > 0),
        (SELECT 'repeated district names' FROM "Districts" HAVING count(DISTINCT name) <> count(*)),
        (SELECT 'repeated LGA names' FROM "LGAs" HAVING count(DISTINCT name) <> count(*)),
        (SELECT 'empty names' FROM (SELECT name FROM "Districts" UNION ALL SELECT name FROM "LGAs") n
          HAVING bool_or(coalesce(name, '') = ''))) AS bad) s
SQL

# --- determinism and size ---------------------------------------------------------

first=$(fingerprint)
if psql "$url" -X -q -v ON_ERROR_STOP=1 -v plots=$plots -f "$root/scripts/cadastre.sql" >"$work/err" 2>&1; then
  second=$(fingerprint)
  if [ -n "$first" ] && [ "$first" = "$second" ]; then
    pass "generating twice gives identical data"
  else
    fail "generating twice gives identical data" "fingerprints '$first' and '$second'"
  fi
else
  fail "generating twice gives identical data" "second load failed: $(tr '\n' ' ' <"$work/err")"
fi

if psql "$url" -X -q -v ON_ERROR_STOP=1 -v plots=1000 -f "$root/scripts/cadastre.sql" >"$work/err" 2>&1; then
  got=$(query 'SELECT (SELECT count(*) FROM "PLOT") || chr(32) || (SELECT count(*) FROM "CadZones")')
  zones_small=${got#* }
  zones_3000=$(grep -o 'CadZones=[0-9]*' <<<"$line" | cut -d= -f2)
  if [ "${got%% *}" = 1000 ] && [ -n "$zones_3000" ] && [ "$zones_small" -lt "$zones_3000" ] && [ "$(fingerprint)" != "$first" ]; then
    pass "size parameter: 1000 plots in fewer zones"
  else
    fail "size parameter: 1000 plots in fewer zones" "got PLOT CadZones = '$got' (3000 plots: $zones_3000 zones)"
  fi
else
  fail "size parameter: 1000 plots in fewer zones" "$(tr '\n' ' ' <"$work/err")"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
