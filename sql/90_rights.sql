-- What the agents (members of varo_agent) may do: read their work, write
-- their results, and nothing else. Table rights say which statements an agent
-- may send; row-level security says which rows they reach: those of the agent
-- its role acts for (varo.agent_role, see varo.current_agent_id()) and of the
-- servers bound to it. The only rows of other agents an agent reaches are the
-- registrations of backends that have gone (zombie clean-up) and the bindings
-- that allow a takeover. Superusers and table owners (the set-up script) are
-- not bound by the policies.
--
-- varo_reader is the group role of people who only read: everything, except
-- stored passwords.
--
-- Rights are revoked first, so a reload also takes back rights granted by
-- older versions of this file.

DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'varo_reader') THEN
    CREATE ROLE varo_reader NOLOGIN;
  END IF;
  EXECUTE format('REVOKE ALL ON DATABASE %I FROM PUBLIC', current_database());
  EXECUTE format('GRANT CONNECT, TEMPORARY ON DATABASE %I TO varo_agent', current_database());
  EXECUTE format('GRANT CONNECT ON DATABASE %I TO varo_reader', current_database());
END
$$;

REVOKE ALL ON SCHEMA varo, varodata FROM PUBLIC, varo_agent, varo_reader;
REVOKE ALL ON ALL TABLES IN SCHEMA varo, varodata FROM PUBLIC, varo_agent, varo_reader;
REVOKE ALL ON ALL SEQUENCES IN SCHEMA varo, varodata FROM PUBLIC, varo_agent, varo_reader;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA varo FROM PUBLIC, varo_agent, varo_reader;

GRANT USAGE ON SCHEMA varo, varodata TO varo_agent, varo_reader;

-- ---------------------------------------------------------------------------
-- Helpers of the policies.

-- The servers bound to the agent the current role acts for.
CREATE OR REPLACE FUNCTION varo.current_server_ids() RETURNS integer[]
LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $$
  SELECT coalesce(array_agg(b.server_id), '{}')
    FROM varo.agent_server_binding b
   WHERE b.agent_id = varo.current_agent_id()
$$;

-- True when no backend with this process id exists (any more).
CREATE OR REPLACE FUNCTION varo.backend_is_gone(p_pid integer) RETURNS boolean
LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $$
  SELECT NOT EXISTS (SELECT 1 FROM pg_stat_activity a WHERE a.pid = p_pid)
$$;

GRANT EXECUTE ON FUNCTION varo.agent_id_of_role(text),
                          varo.current_agent_id(),
                          varo.current_server_ids(),
                          varo.backend_is_gone(integer) TO varo_agent;

-- Policies are dropped and made again on every load. In them, a scalar
-- sub-select around a helper makes it run once per statement, not per row.

-- ---------------------------------------------------------------------------
-- Connection set-up, capabilities, heartbeats, takeover.
GRANT EXECUTE ON FUNCTION varo.schema_version() TO varo_agent;
GRANT EXECUTE ON FUNCTION varo.do_heartbeat(integer, integer[]) TO varo_agent;

-- Its own row: read it, write its capabilities.
GRANT SELECT ON varo.agent TO varo_agent;
GRANT UPDATE (agent_capability_list) ON varo.agent TO varo_agent;
ALTER TABLE varo.agent ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS agent_read ON varo.agent;
CREATE POLICY agent_read ON varo.agent FOR SELECT TO varo_agent
  USING (id = (SELECT varo.current_agent_id()));
DROP POLICY IF EXISTS agent_update ON varo.agent;
CREATE POLICY agent_update ON varo.agent FOR UPDATE TO varo_agent
  USING (id = (SELECT varo.current_agent_id()))
  WITH CHECK (id = (SELECT varo.current_agent_id()));

-- Its own bindings, passwords included. A binding that allows a takeover can
-- be read and moved by any agent, but only to itself; once moved it is that
-- agent's own binding.
GRANT SELECT ON varo.agent_server_binding TO varo_agent;
GRANT UPDATE (agent_id) ON varo.agent_server_binding TO varo_agent;
ALTER TABLE varo.agent_server_binding ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS binding_read ON varo.agent_server_binding;
CREATE POLICY binding_read ON varo.agent_server_binding FOR SELECT TO varo_agent
  USING (agent_id = (SELECT varo.current_agent_id()) OR allow_takeover);
DROP POLICY IF EXISTS binding_take_over ON varo.agent_server_binding;
CREATE POLICY binding_take_over ON varo.agent_server_binding FOR UPDATE TO varo_agent
  USING (agent_id = (SELECT varo.current_agent_id()) OR allow_takeover)
  WITH CHECK (agent_id = (SELECT varo.current_agent_id()));

-- Registrations: its own backend registers for itself. Registrations of
-- backends that have gone are visible and deletable by every agent (zombie
-- clean-up; deleting one releases the jobs of that backend, see 20_jobs.sql).
GRANT SELECT, INSERT, DELETE ON varo.jobagent TO varo_agent;
ALTER TABLE varo.jobagent ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS jobagent_read ON varo.jobagent;
CREATE POLICY jobagent_read ON varo.jobagent FOR SELECT TO varo_agent
  USING (agent_id = (SELECT varo.current_agent_id()) OR varo.backend_is_gone(jagpid));
DROP POLICY IF EXISTS jobagent_register ON varo.jobagent;
CREATE POLICY jobagent_register ON varo.jobagent FOR INSERT TO varo_agent
  WITH CHECK (agent_id = (SELECT varo.current_agent_id()) AND jagpid = pg_backend_pid());
DROP POLICY IF EXISTS jobagent_clear ON varo.jobagent;
CREATE POLICY jobagent_clear ON varo.jobagent FOR DELETE TO varo_agent
  USING (agent_id = (SELECT varo.current_agent_id()) OR varo.backend_is_gone(jagpid));

-- ---------------------------------------------------------------------------
-- Jobs: its own jobs, their steps and logs. A job is claimed only for the
-- claiming backend itself.
GRANT SELECT ON varo.job TO varo_agent;
GRANT UPDATE (jobprocessid, jobnextrun, joblastrun) ON varo.job TO varo_agent;
ALTER TABLE varo.job ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS job_read ON varo.job;
CREATE POLICY job_read ON varo.job FOR SELECT TO varo_agent
  USING (agent_id = (SELECT varo.current_agent_id()));
DROP POLICY IF EXISTS job_update ON varo.job;
CREATE POLICY job_update ON varo.job FOR UPDATE TO varo_agent
  USING (agent_id = (SELECT varo.current_agent_id()))
  WITH CHECK (agent_id = (SELECT varo.current_agent_id())
              AND (jobprocessid IS NULL OR jobprocessid = pg_backend_pid()));

GRANT SELECT ON varo.jobstep TO varo_agent;
ALTER TABLE varo.jobstep ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS jobstep_read ON varo.jobstep;
CREATE POLICY jobstep_read ON varo.jobstep FOR SELECT TO varo_agent
  USING (EXISTS (SELECT 1 FROM varo.job j
                  WHERE j.jobid = jstjobid AND j.agent_id = (SELECT varo.current_agent_id())));

GRANT SELECT, INSERT ON varo.joblog, varo.jobsteplog TO varo_agent;
GRANT UPDATE (jlgstatus, jlgduration) ON varo.joblog TO varo_agent;
GRANT UPDATE (jslstatus, jslresult, jslduration, jsloutput) ON varo.jobsteplog TO varo_agent;
GRANT USAGE ON SEQUENCE varo.joblog_jlgid_seq, varo.jobsteplog_jslid_seq TO varo_agent;
ALTER TABLE varo.joblog ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS joblog_own ON varo.joblog;
CREATE POLICY joblog_own ON varo.joblog FOR ALL TO varo_agent
  USING (EXISTS (SELECT 1 FROM varo.job j
                  WHERE j.jobid = jlgjobid AND j.agent_id = (SELECT varo.current_agent_id())))
  WITH CHECK (EXISTS (SELECT 1 FROM varo.job j
                       WHERE j.jobid = jlgjobid
                         AND j.agent_id = (SELECT varo.current_agent_id())));
ALTER TABLE varo.jobsteplog ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS jobsteplog_own ON varo.jobsteplog;
CREATE POLICY jobsteplog_own ON varo.jobsteplog FOR ALL TO varo_agent
  USING (EXISTS (SELECT 1 FROM varo.joblog l JOIN varo.job j ON j.jobid = l.jlgjobid
                  WHERE l.jlgid = jsljlgid AND j.agent_id = (SELECT varo.current_agent_id())))
  WITH CHECK (EXISTS (SELECT 1 FROM varo.joblog l JOIN varo.job j ON j.jobid = l.jlgjobid
                       JOIN varo.jobstep s ON s.jstjobid = j.jobid
                       WHERE l.jlgid = jsljlgid AND s.jstid = jsljstid
                         AND j.agent_id = (SELECT varo.current_agent_id())));

-- ---------------------------------------------------------------------------
-- Probes: every probe definition; its own schedule rows (its agent-level rows
-- and those of its bound servers), locked only for the locking backend.
GRANT SELECT ON varo.probe, varo.probe_schedule, varo.probe_schedule_view TO varo_agent;
GRANT UPDATE (current_backend_pid, last_execution_time) ON varo.probe_schedule TO varo_agent;
GRANT EXECUTE ON FUNCTION varo.probe_parameter_names(text),
                          varo.probe_is_due(timestamptz, integer),
                          varo.lock_schedule_table(integer, text),
                          varo.clear_probe_zombies() TO varo_agent;
ALTER TABLE varo.probe_schedule ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS schedule_read ON varo.probe_schedule;
-- Besides its own rows it sees the rows its backend has locked, and the row it
-- releases in the releasing statement itself (an UPDATE must be able to see
-- the new row: unlocked, with last_execution_time set to the statement's
-- transaction time).
CREATE POLICY schedule_read ON varo.probe_schedule FOR SELECT TO varo_agent
  USING (agent_id = (SELECT varo.current_agent_id())
         OR server_id = ANY ((SELECT varo.current_server_ids())::integer[])
         OR current_backend_pid = pg_backend_pid()
         OR (current_backend_pid IS NULL AND last_execution_time = now()));
DROP POLICY IF EXISTS schedule_lock ON varo.probe_schedule;
-- It locks only rows of its own, for its own backend; it may always release a
-- row its backend locked, also once the row's server has been taken over by
-- another agent meanwhile (the lock would otherwise stay until its backend ends).
CREATE POLICY schedule_lock ON varo.probe_schedule FOR UPDATE TO varo_agent
  USING (agent_id = (SELECT varo.current_agent_id())
         OR server_id = ANY ((SELECT varo.current_server_ids())::integer[])
         OR current_backend_pid = pg_backend_pid())
  WITH CHECK (current_backend_pid IS NULL
              OR (current_backend_pid = pg_backend_pid()
                  AND (agent_id = (SELECT varo.current_agent_id())
                       OR server_id = ANY ((SELECT varo.current_server_ids())::integer[]))));
-- The view reads the tables with the rights of whoever queries it, so the
-- policies above apply to it.
ALTER VIEW varo.probe_schedule_view SET (security_invoker = true);

-- Failure reports, for itself only.
GRANT INSERT ON varo.probe_log TO varo_agent;
ALTER TABLE varo.probe_log ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS probe_log_report ON varo.probe_log;
CREATE POLICY probe_log_report ON varo.probe_log FOR INSERT TO varo_agent
  WITH CHECK (agent_id = (SELECT varo.current_agent_id()));

-- Log import positions of its bound servers.
GRANT SELECT ON varo.log_configuration, varo.audit_configuration TO varo_agent;
GRANT UPDATE (last_read_filename, file_offset, last_read_device, last_read_inode)
  ON varo.log_configuration, varo.audit_configuration TO varo_agent;
ALTER TABLE varo.log_configuration ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS log_position_own ON varo.log_configuration;
CREATE POLICY log_position_own ON varo.log_configuration FOR ALL TO varo_agent
  USING (server_id = ANY ((SELECT varo.current_server_ids())::integer[]))
  WITH CHECK (server_id = ANY ((SELECT varo.current_server_ids())::integer[]));
ALTER TABLE varo.audit_configuration ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS audit_position_own ON varo.audit_configuration;
CREATE POLICY audit_position_own ON varo.audit_configuration FOR ALL TO varo_agent
  USING (server_id = ANY ((SELECT varo.current_server_ids())::integer[]))
  WITH CHECK (server_id = ANY ((SELECT varo.current_server_ids())::integer[]));

-- Alerts, mail and traps: shared work of all agents.
GRANT EXECUTE ON FUNCTION varo.process_one_alert() TO varo_agent;
GRANT SELECT ON varo.config TO varo_agent;
GRANT SELECT ON varo.smtp_spool, varo.snmp_spool TO varo_agent;
GRANT UPDATE (sent_status) ON varo.smtp_spool, varo.snmp_spool TO varo_agent;

-- ---------------------------------------------------------------------------
-- Probe results: in every table of varodata the rows of the agent itself
-- (column agent_id) and of its bound servers (column server_id). A table
-- with both columns: each of them that is set must be the agent's, and one
-- must be set. A table with neither is closed to the agents.
CREATE OR REPLACE FUNCTION varo.protect_result_table(p_table regclass) RETURNS void
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  has_agent boolean;
  has_server boolean;
  mine text;
BEGIN
  SELECT bool_or(attname = 'agent_id'), bool_or(attname = 'server_id')
    INTO has_agent, has_server
    FROM pg_attribute
   WHERE attrelid = p_table AND attnum > 0 AND NOT attisdropped;
  IF has_agent AND has_server THEN
    mine := '(agent_id IS NOT NULL OR server_id IS NOT NULL)'
         || ' AND (agent_id IS NULL OR agent_id = (SELECT varo.current_agent_id()))'
         || ' AND (server_id IS NULL OR server_id = ANY ((SELECT varo.current_server_ids())::integer[]))';
  ELSIF has_agent THEN
    mine := 'agent_id = (SELECT varo.current_agent_id())';
  ELSIF has_server THEN
    mine := 'server_id = ANY ((SELECT varo.current_server_ids())::integer[])';
  END IF;
  EXECUTE format('ALTER TABLE %s ENABLE ROW LEVEL SECURITY', p_table);
  -- Dropped only when present, so that creating a table prints no notices.
  IF EXISTS (SELECT 1 FROM pg_policy WHERE polrelid = p_table AND polname = 'agent_rows') THEN
    EXECUTE format('DROP POLICY agent_rows ON %s', p_table);
  END IF;
  IF mine IS NOT NULL THEN
    EXECUTE format('CREATE POLICY agent_rows ON %s FOR ALL TO varo_agent USING (%s) WITH CHECK (%s)',
                   p_table, mine, mine);
  END IF;
  IF EXISTS (SELECT 1 FROM pg_policy WHERE polrelid = p_table AND polname = 'reader_rows') THEN
    EXECUTE format('DROP POLICY reader_rows ON %s', p_table);
  END IF;
  EXECUTE format('CREATE POLICY reader_rows ON %s FOR SELECT TO varo_reader USING (true)', p_table);
END
$$;
-- Whoever creates a table in varodata runs it through the event trigger
-- below; it changes only tables the caller owns.
GRANT EXECUTE ON FUNCTION varo.protect_result_table(regclass) TO PUBLIC;

GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA varodata TO varo_agent;
ALTER DEFAULT PRIVILEGES IN SCHEMA varodata
  GRANT SELECT, INSERT, UPDATE, DELETE ON TABLES TO varo_agent;
ALTER DEFAULT PRIVILEGES IN SCHEMA varodata GRANT SELECT ON TABLES TO varo_reader;
SELECT varo.protect_result_table(c.oid)
  FROM pg_class c
 WHERE c.relnamespace = 'varodata'::regnamespace AND c.relkind IN ('r', 'p');

-- Tables created in varodata later get their policies at once, before any
-- agent can write to them (by whoever has the right to create them there);
-- so do tables altered later, since an added or renamed agent_id or server_id
-- column changes which rows are whose. The policies are made by ALTER TABLE
-- statements too, which must not start the trigger again.
CREATE OR REPLACE FUNCTION varo.protect_new_result_tables() RETURNS event_trigger
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  created record;
BEGIN
  IF current_setting('varo.protecting_result_tables', true) = 'on' THEN
    RETURN;
  END IF;
  PERFORM set_config('varo.protecting_result_tables', 'on', true);
  FOR created IN
    SELECT DISTINCT objid FROM pg_event_trigger_ddl_commands()
     WHERE schema_name = 'varodata' AND object_type = 'table'
  LOOP
    PERFORM varo.protect_result_table(created.objid::regclass);
  END LOOP;
  PERFORM set_config('varo.protecting_result_tables', 'off', true);
END
$$;
DROP EVENT TRIGGER IF EXISTS varo_protect_new_result_tables;
CREATE EVENT TRIGGER varo_protect_new_result_tables ON ddl_command_end
  WHEN TAG IN ('CREATE TABLE', 'CREATE TABLE AS', 'SELECT INTO', 'ALTER TABLE')
  EXECUTE FUNCTION varo.protect_new_result_tables();

-- ---------------------------------------------------------------------------
-- People who only read: every table and view, every row, but no stored
-- password (the password column of the bindings, the mail password of
-- varo.config).
GRANT SELECT ON ALL TABLES IN SCHEMA varo, varodata TO varo_reader;
REVOKE SELECT ON varo.agent_server_binding FROM varo_reader;
GRANT SELECT (server_id, agent_id, server, port, username, database, sslmode, allow_takeover)
  ON varo.agent_server_binding TO varo_reader;
GRANT EXECUTE ON FUNCTION varo.schema_version(),
                          varo.probe_parameter_names(text),
                          varo.probe_is_due(timestamptz, integer) TO varo_reader;
ALTER TABLE varo.config ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS config_read ON varo.config;
CREATE POLICY config_read ON varo.config FOR SELECT TO varo_agent USING (true);
DROP POLICY IF EXISTS config_reader ON varo.config;
CREATE POLICY config_reader ON varo.config FOR SELECT TO varo_reader
  USING (param <> 'smtp_password');
DO $$
DECLARE
  t regclass;
BEGIN
  FOR t IN
    SELECT c.oid FROM pg_class c
     WHERE c.relnamespace = 'varo'::regnamespace AND c.relkind IN ('r', 'p')
       AND c.relrowsecurity AND c.oid <> 'varo.config'::regclass
  LOOP
    EXECUTE format('DROP POLICY IF EXISTS reader_rows ON %s', t);
    EXECUTE format('CREATE POLICY reader_rows ON %s FOR SELECT TO varo_reader USING (true)', t);
  END LOOP;
END
$$;
