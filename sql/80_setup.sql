-- Functions used by scripts/central-db to add agents, bindings and default
-- schedules. Only the database owner and superusers may run them.

-- Creates the login role agent<id> (a member of varo_agent), the agent's row
-- and the entry that lets the role act for the agent, when they are missing.
CREATE OR REPLACE FUNCTION varo.setup_agent(p_agent_id integer) RETURNS void
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  role_name text := 'agent' || p_agent_id;
BEGIN
  IF p_agent_id IS NULL OR p_agent_id <= 0 THEN
    RAISE EXCEPTION 'agent id must be a positive number, not %', p_agent_id;
  END IF;
  -- Two set-up runs adding the same agent at once wait for each other.
  PERFORM pg_advisory_xact_lock(201210091);
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = role_name) THEN
    EXECUTE format('CREATE ROLE %I LOGIN', role_name);
  END IF;
  EXECUTE format('GRANT varo_agent TO %I', role_name);
  INSERT INTO varo.agent (id, name) VALUES (p_agent_id, role_name)
  ON CONFLICT (id) DO NOTHING;
  INSERT INTO varo.agent_role (role_name, agent_id) VALUES (role_name, p_agent_id)
  ON CONFLICT DO NOTHING;
END
$$;

-- Adds or updates monitored server p_server_id, bound to agent p_agent_id,
-- with the rows its log import needs. p_password is the stored, encrypted
-- form, or NULL for none. p_sslmode and p_allow_takeover set the binding's
-- sslmode and allow_takeover; NULL keeps the value of an existing binding
-- (a new one gets '' and false).
DROP FUNCTION IF EXISTS varo.setup_binding(integer, integer, text, integer, text, text, text);
CREATE OR REPLACE FUNCTION varo.setup_binding(p_agent_id integer, p_server_id integer,
                                              p_host text, p_port integer, p_user text,
                                              p_database text, p_password text,
                                              p_sslmode text, p_allow_takeover boolean)
RETURNS void
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  IF p_server_id IS NULL OR p_server_id <= 0 THEN
    RAISE EXCEPTION 'server id must be a positive number, not %', p_server_id;
  END IF;
  IF p_sslmode IS NOT NULL AND p_sslmode NOT IN ('', 'disable', 'allow', 'prefer', 'require',
                                                 'verify-ca', 'verify-full') THEN
    RAISE EXCEPTION 'unknown sslmode %', p_sslmode;
  END IF;
  PERFORM varo.setup_agent(p_agent_id);
  INSERT INTO varo.server (id, name) VALUES (p_server_id, 'server' || p_server_id)
  ON CONFLICT (id) DO NOTHING;
  INSERT INTO varo.agent_server_binding AS b (server_id, agent_id, server, port, username,
                                              database, password, sslmode, allow_takeover)
  VALUES (p_server_id, p_agent_id, p_host, p_port, p_user, p_database, p_password,
          coalesce(p_sslmode, ''), coalesce(p_allow_takeover, false))
  ON CONFLICT (server_id) DO UPDATE
    SET agent_id = EXCLUDED.agent_id, server = EXCLUDED.server, port = EXCLUDED.port,
        username = EXCLUDED.username, database = EXCLUDED.database,
        password = EXCLUDED.password,
        sslmode = coalesce(p_sslmode, b.sslmode),
        allow_takeover = coalesce(p_allow_takeover, b.allow_takeover);
  INSERT INTO varo.log_configuration (server_id) VALUES (p_server_id)
  ON CONFLICT (server_id) DO NOTHING;
  INSERT INTO varo.audit_configuration (server_id) VALUES (p_server_id)
  ON CONFLICT (server_id) DO NOTHING;
END
$$;

-- Schedules the built-in probes: the host probes for the agent, the server
-- probes for each server bound to it. Existing schedule rows are kept.
-- Returns the number of rows added.
CREATE OR REPLACE FUNCTION varo.schedule_builtin_probes(p_agent_id integer) RETURNS integer
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  added integer;
  more integer;
BEGIN
  INSERT INTO varo.probe_schedule (probe_id, parameter_value_list, agent_id)
  SELECT p.probe_id, '', p_agent_id
    FROM varo.probe p
   WHERE p.collection_method = 'i' AND p.probe_scope = 'agent'
     AND p.probe_internal_name = p.probe_code
  ON CONFLICT (probe_id, parameter_value_list) DO NOTHING;
  GET DIAGNOSTICS added = ROW_COUNT;
  INSERT INTO varo.probe_schedule (probe_id, parameter_value_list, server_id)
  SELECT p.probe_id, '', b.server_id
    FROM varo.probe p, varo.agent_server_binding b
   WHERE p.collection_method = 'i' AND p.probe_scope = 'server'
     AND p.probe_internal_name = p.probe_code
     AND b.agent_id = p_agent_id
  ON CONFLICT (probe_id, parameter_value_list) DO NOTHING;
  GET DIAGNOSTICS more = ROW_COUNT;
  RETURN added + more;
END
$$;

REVOKE ALL ON FUNCTION varo.setup_agent(integer) FROM PUBLIC;
REVOKE ALL ON FUNCTION varo.setup_binding(integer, integer, text, integer, text, text, text, text,
                                          boolean) FROM PUBLIC;
REVOKE ALL ON FUNCTION varo.schedule_builtin_probes(integer) FROM PUBLIC;
