-- Removes gisd change capture: the triggers on the five layer tables, the log
-- and its schema. The tables themselves are left as they were before install.
BEGIN;
DROP TRIGGER IF EXISTS gisd_changes_insert ON "PLOT";
DROP TRIGGER IF EXISTS gisd_changes_update ON "PLOT";
DROP TRIGGER IF EXISTS gisd_changes_delete ON "PLOT";
DROP TRIGGER IF EXISTS gisd_changes_truncate ON "PLOT";
DROP TRIGGER IF EXISTS gisd_changes_insert ON "BEACON";
DROP TRIGGER IF EXISTS gisd_changes_update ON "BEACON";
DROP TRIGGER IF EXISTS gisd_changes_delete ON "BEACON";
DROP TRIGGER IF EXISTS gisd_changes_truncate ON "BEACON";
DROP TRIGGER IF EXISTS gisd_changes_insert ON "CadZones";
DROP TRIGGER IF EXISTS gisd_changes_update ON "CadZones";
DROP TRIGGER IF EXISTS gisd_changes_delete ON "CadZones";
DROP TRIGGER IF EXISTS gisd_changes_truncate ON "CadZones";
DROP TRIGGER IF EXISTS gisd_changes_insert ON "Districts";
DROP TRIGGER IF EXISTS gisd_changes_update ON "Districts";
DROP TRIGGER IF EXISTS gisd_changes_delete ON "Districts";
DROP TRIGGER IF EXISTS gisd_changes_truncate ON "Districts";
DROP TRIGGER IF EXISTS gisd_changes_insert ON "LGAs";
DROP TRIGGER IF EXISTS gisd_changes_update ON "LGAs";
DROP TRIGGER IF EXISTS gisd_changes_delete ON "LGAs";
DROP TRIGGER IF EXISTS gisd_changes_truncate ON "LGAs";
DROP SCHEMA IF EXISTS gisd_changes CASCADE;
COMMIT;
