-- gisd change capture, version 3. Version 1 merged a bulk statement's boxes
-- with a sort; version 2 hashes them per square kilometre first; version 3
-- reads only the new rows of an UPDATE that leaves the geometry alone. Each
-- is cheaper for the writer than the one before.
--
-- Records, in the editing transaction itself, what each statement on the five
-- layer tables touched: the layer and the EPSG:3857 boxes of the old and new
-- geometries (a bounded number of boxes however many rows), or the whole layer
-- for TRUNCATE; then notifies channel gisd_changes. gisd reads the log, deletes
-- the cached tiles inside the boxes and removes the rows it has dealt with.
--
-- Needs ownership of the tables, not superuser. The trigger function runs with
-- its owner's rights, so a role that edits the tables needs no grant on the log.
-- Applying it again changes nothing.
BEGIN;

CREATE SCHEMA IF NOT EXISTS gisd_changes;
COMMENT ON SCHEMA gisd_changes IS 'gisd change capture, version 3';

CREATE TABLE IF NOT EXISTS gisd_changes.log (
    id bigserial PRIMARY KEY,
    layer text NOT NULL,
    whole boolean NOT NULL DEFAULT false,  -- every key of the layer (TRUNCATE)
    min_x double precision,
    min_y double precision,
    max_x double precision,
    max_y double precision,
    recorded_at timestamptz NOT NULL DEFAULT clock_timestamp(),
    -- set by the consumer after its first purge; the row goes after the second
    purged_at timestamptz
);

CREATE TABLE IF NOT EXISTS gisd_changes.state (
    name text PRIMARY KEY,
    value text NOT NULL
);
INSERT INTO gisd_changes.state (name, value) VALUES ('version', '3')
    ON CONFLICT (name) DO UPDATE SET value = excluded.value;
INSERT INTO gisd_changes.state (name, value) VALUES ('position', '0')
    ON CONFLICT (name) DO NOTHING;

-- TG_ARGV: the layer's name, its geometry column.
CREATE OR REPLACE FUNCTION gisd_changes.record() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER
SET search_path = pg_catalog, pg_temp
AS $fn$
DECLARE
    source text;
    rows bigint;
    moved boolean;
BEGIN
    IF TG_OP = 'TRUNCATE' THEN
        INSERT INTO gisd_changes.log (layer, whole) VALUES (TG_ARGV[0], true);
    ELSE
        IF TG_OP = 'UPDATE' THEN
            -- The old geometries matter only when the statement named the
            -- geometry column (geometry_named() said so, firing just before)
            -- or a BEFORE UPDATE row trigger may have changed it unnamed.
            moved := coalesce(current_setting('gisd_changes.geometry_named', true), '') = '1'
                OR EXISTS (SELECT 1 FROM pg_trigger WHERE tgrelid = TG_RELID AND NOT tgisinternal
                           AND tgenabled <> 'D' AND tgtype & 19 = 19);  -- row, before, update
            PERFORM set_config('gisd_changes.geometry_named', '', true);
        END IF;
        source := CASE
            WHEN TG_OP = 'INSERT' OR (TG_OP = 'UPDATE' AND NOT moved) THEN format('SELECT %1$I AS g FROM new_rows', TG_ARGV[1])
            WHEN TG_OP = 'DELETE' THEN format('SELECT %1$I AS g FROM old_rows', TG_ARGV[1])
            ELSE format('SELECT %1$I AS g FROM old_rows UNION ALL SELECT %1$I FROM new_rows', TG_ARGV[1])
        END;
        -- Counted only as far as the threshold.
        EXECUTE format('SELECT count(*) FROM (SELECT 1 FROM (%s) s WHERE g IS NOT NULL LIMIT 65) s', source) INTO rows;
        IF rows <= 64 THEN
            -- A few boxes are kept as they are.
            EXECUTE format($q$
                INSERT INTO gisd_changes.log (layer, min_x, min_y, max_x, max_y)
                SELECT DISTINCT $1, ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b)
                FROM (SELECT box2d(g) AS b FROM (%s) s WHERE g IS NOT NULL) t$q$, source)
            USING TG_ARGV[0];
        ELSE
            -- More are first merged per square kilometre (one pass, hashed,
            -- so that the writer pays little), then, past 64 such cells, into
            -- the cells of an 8 x 8 grid over their extent: a bulk statement
            -- writes at most 64 rows.
            EXECUTE format($q$
                WITH c AS (
                    SELECT ST_XMin(b) AS x0, ST_YMin(b) AS y0, ST_XMax(b) AS x1, ST_YMax(b) AS y1
                    FROM (SELECT ST_Extent(g) AS b FROM (%s) s WHERE g IS NOT NULL
                          GROUP BY floor(ST_XMin(g) / 1000), floor(ST_YMin(g) / 1000)) t
                ), e AS (
                    SELECT count(*) AS n, min(x0) AS ex0, min(y0) AS ey0, max(x1) AS ex1, max(y1) AS ey1 FROM c
                ), k AS (
                    SELECT c.*, CASE WHEN e.n <= 64 THEN -row_number() OVER ()
                        ELSE least(7, coalesce(floor(((x0 + x1) / 2 - ex0) / nullif(ex1 - ex0, 0) * 8), 0))::bigint * 8
                           + least(7, coalesce(floor(((y0 + y1) / 2 - ey0) / nullif(ey1 - ey0, 0) * 8), 0))::bigint
                        END AS cell
                    FROM c, e
                )
                INSERT INTO gisd_changes.log (layer, min_x, min_y, max_x, max_y)
                SELECT $1, min(x0), min(y0), max(x1), max(y1) FROM k GROUP BY cell$q$, source)
            USING TG_ARGV[0];
        END IF;
    END IF;
    PERFORM pg_notify('gisd_changes', TG_ARGV[0]);
    RETURN NULL;
END
$fn$;

-- Fires before gisd_changes_update (statement triggers fire in the order of
-- their names) for an UPDATE that names the geometry column: the setting
-- lasts until record() reads it, at the end of the same statement.
CREATE OR REPLACE FUNCTION gisd_changes.geometry_named() RETURNS trigger
LANGUAGE plpgsql
SET search_path = pg_catalog, pg_temp
AS $fn$
BEGIN
    PERFORM set_config('gisd_changes.geometry_named', '1', true);
    RETURN NULL;
END
$fn$;

-- The geometry functions live where PostGIS was installed: that schema joins
-- the function's fixed search path.
DO $do$
BEGIN
    EXECUTE format('ALTER FUNCTION gisd_changes.record() SET search_path = pg_catalog, %I, pg_temp',
                   (SELECT n.nspname FROM pg_extension x JOIN pg_namespace n ON n.oid = x.extnamespace WHERE x.extname = 'postgis'));
END
$do$;

-- The layer tables: table, layer, geometry column. Per table, statement
-- triggers on INSERT, UPDATE (and UPDATE OF the geometry), DELETE, TRUNCATE.
DO $do$
DECLARE
    t record;
BEGIN
    FOR t IN SELECT * FROM (VALUES
        ('PLOT', 'plots', 'GEOMETRY_3857'),
        ('BEACON', 'beacons', 'GEOMETRY_3857'),
        ('CadZones', 'cadzones', 'geometry_3857'),
        ('Districts', 'districts', 'geometry_3857'),
        ('LGAs', 'lgas', 'geometry_3857')) v(tab, layer, geom)
    LOOP
        EXECUTE format('CREATE OR REPLACE TRIGGER gisd_changes_insert AFTER INSERT ON %I REFERENCING NEW TABLE AS new_rows'
                       ' FOR EACH STATEMENT EXECUTE FUNCTION gisd_changes.record(%L, %L)', t.tab, t.layer, t.geom);
        EXECUTE format('CREATE OR REPLACE TRIGGER gisd_changes_update AFTER UPDATE ON %I'
                       ' REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows'
                       ' FOR EACH STATEMENT EXECUTE FUNCTION gisd_changes.record(%L, %L)', t.tab, t.layer, t.geom);
        EXECUTE format('CREATE OR REPLACE TRIGGER gisd_changes_geometry AFTER UPDATE OF %I ON %I'
                       ' FOR EACH STATEMENT EXECUTE FUNCTION gisd_changes.geometry_named()', t.geom, t.tab);
        EXECUTE format('CREATE OR REPLACE TRIGGER gisd_changes_delete AFTER DELETE ON %I REFERENCING OLD TABLE AS old_rows'
                       ' FOR EACH STATEMENT EXECUTE FUNCTION gisd_changes.record(%L, %L)', t.tab, t.layer, t.geom);
        EXECUTE format('CREATE OR REPLACE TRIGGER gisd_changes_truncate AFTER TRUNCATE ON %I'
                       ' FOR EACH STATEMENT EXECUTE FUNCTION gisd_changes.record(%L, %L)', t.tab, t.layer, t.geom);
    END LOOP;
END
$do$;

COMMIT;
