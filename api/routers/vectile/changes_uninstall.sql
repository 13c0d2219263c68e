-- Removes gisd change capture: the triggers on the five layer tables, the log
-- and its schema. The tables themselves are left as they were before install.
BEGIN;
DO $do$
DECLARE
    t text;
    g text;
BEGIN
    FOREACH t IN ARRAY ARRAY['PLOT', 'BEACON', 'CadZones', 'Districts', 'LGAs'] LOOP
        FOREACH g IN ARRAY ARRAY['insert', 'update', 'geometry', 'delete', 'truncate'] LOOP
            EXECUTE format('DROP TRIGGER IF EXISTS %I ON %I', 'gisd_changes_' || g, t);
        END LOOP;
    END LOOP;
END
$do$;
DROP SCHEMA IF EXISTS gisd_changes CASCADE;
COMMIT;
