-- Agents, monitored servers and which agent monitors which server.

CREATE TABLE IF NOT EXISTS varo.agent (
  id integer PRIMARY KEY CHECK (id > 0),
  name text NOT NULL DEFAULT '',
  active boolean NOT NULL DEFAULT true,
  -- Seconds between heartbeats; the agent reads it back on every heartbeat.
  heartbeat_interval integer NOT NULL DEFAULT 30,
  -- Written by the agent when it connects, for example {linux,disk_space,...}.
  agent_capability_list text[],
  last_heartbeat timestamptz
);

CREATE TABLE IF NOT EXISTS varo.server (
  id integer PRIMARY KEY CHECK (id > 0),
  name text NOT NULL DEFAULT '',
  last_heartbeat timestamptz,
  -- The agent that recorded the last heartbeat.
  last_heartbeat_agent_id integer
);

-- One binding per server: the agent that monitors it and how to reach it.
-- server is a host name, an address, or a socket directory (empty or starting
-- with "/" means the server runs on the agent's host). password holds the
-- stored, encrypted form made by varo-passwd, or NULL for none.
CREATE TABLE IF NOT EXISTS varo.agent_server_binding (
  server_id integer PRIMARY KEY REFERENCES varo.server (id) ON DELETE CASCADE,
  agent_id integer NOT NULL REFERENCES varo.agent (id),
  server text NOT NULL DEFAULT '',
  port integer NOT NULL DEFAULT 5432 CHECK (port BETWEEN 1 AND 65535),
  username text NOT NULL,
  database text NOT NULL,
  sslmode text NOT NULL DEFAULT '',
  password text,
  allow_takeover boolean NOT NULL DEFAULT false
);
CREATE INDEX IF NOT EXISTS agent_server_binding_agent_id
  ON varo.agent_server_binding (agent_id);

-- The central database backends of running agents; rows whose backend has
-- gone are cleared by the agents themselves when they (re)connect.
CREATE TABLE IF NOT EXISTS varo.jobagent (
  jagpid integer NOT NULL,
  agent_id integer NOT NULL REFERENCES varo.agent (id) ON DELETE CASCADE,
  jagstart timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS jobagent_jagpid ON varo.jobagent (jagpid);

-- Run-time settings of the mail and trap spoolers and of alert processing.
CREATE TABLE IF NOT EXISTS varo.config (
  param text PRIMARY KEY,
  value text NOT NULL DEFAULT ''
);
-- Defaults only; a setting the user changed is never overwritten.
INSERT INTO varo.config (param, value) VALUES
  ('smtp_server', ''),
  ('smtp_port', '25'),
  ('smtp_encryption', 'f'),
  ('smtp_username', ''),
  ('smtp_enabled', 'f'),
  ('smtp_authentication', 'f'),
  ('smtp_from', 'varo@localhost'),
  ('snmp_server', ''),
  ('snmp_port', '162'),
  ('snmp_enabled', 'f'),
  ('snmp_community', 'public'),
  ('snmp_trap_version', '2'),
  ('snmp_trap_oid', '1.3.6.1.4.1.8072.9999.9999.1'),
  ('snmp_enterprise_oid', '1.3.6.1.4.1.8072.9999.9999')
ON CONFLICT (param) DO NOTHING;

-- Which login role acts for which agent: scripts/central-db --agent maps role
-- agentN to agent N. The rights of the agent roles (90_rights.sql) follow this
-- table, so a role acts for the agent listed here and no other; a role that is
-- not listed acts for none.
CREATE TABLE IF NOT EXISTS varo.agent_role (
  role_name text PRIMARY KEY,
  agent_id integer NOT NULL UNIQUE REFERENCES varo.agent (id) ON DELETE CASCADE
);
-- Databases made before the table existed: their agentN roles act for agent N.
INSERT INTO varo.agent_role (role_name, agent_id)
SELECT r.rolname, a.id
  FROM varo.agent a
  JOIN pg_roles r ON r.rolname = 'agent' || a.id
 WHERE pg_has_role(r.oid, 'varo_agent', 'MEMBER')
ON CONFLICT DO NOTHING;

-- The agent a role acts for, or NULL. Agents cannot read varo.agent_role
-- itself; this looks one role up.
CREATE OR REPLACE FUNCTION varo.agent_id_of_role(p_role text) RETURNS integer
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
  SELECT agent_id FROM varo.agent_role WHERE role_name = p_role
$$;

-- The agent the current role acts for, or NULL. The row-level security
-- policies of 90_rights.sql compare rows with it.
CREATE OR REPLACE FUNCTION varo.current_agent_id() RETURNS integer
LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $$
  SELECT varo.agent_id_of_role(current_user::text)
$$;

-- Refuses a call of an agent's function on behalf of another agent. Inside a
-- SECURITY DEFINER function the caller is the session's login role; a
-- superuser session may act for any agent.
CREATE OR REPLACE FUNCTION varo.check_caller_acts_for(p_agent_id integer) RETURNS void
LANGUAGE plpgsql STABLE SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  IF varo.agent_id_of_role(session_user::text) IS NOT DISTINCT FROM p_agent_id
     OR (SELECT rolsuper FROM pg_roles WHERE rolname = session_user) THEN
    RETURN;
  END IF;
  RAISE EXCEPTION 'permission denied: role % does not act for agent %', session_user, p_agent_id
    USING ERRCODE = 'insufficient_privilege';
END
$$;

-- Records that an agent ('{}') or the listed servers of an agent are alive.
-- Only the agent's own role may call it for the agent. A server heartbeat
-- counts only for servers bound to that agent, so an agent that lost a server
-- to a takeover cannot keep it looking alive.
CREATE OR REPLACE FUNCTION varo.do_heartbeat(p_agent_id integer, p_server_ids integer[])
RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  PERFORM varo.check_caller_acts_for(p_agent_id);
  IF p_server_ids IS NULL OR cardinality(p_server_ids) = 0 THEN
    UPDATE varo.agent SET last_heartbeat = now() WHERE id = p_agent_id;
  ELSE
    UPDATE varo.server s
       SET last_heartbeat = now(), last_heartbeat_agent_id = p_agent_id
     WHERE s.id = ANY (p_server_ids)
       AND EXISTS (SELECT 1 FROM varo.agent_server_binding b
                    WHERE b.server_id = s.id AND b.agent_id = p_agent_id);
  END IF;
END
$$;

-- Last heartbeats of agents and servers, for people looking at the system.
CREATE OR REPLACE VIEW varo.heartbeats AS
  SELECT 'agent'::text AS kind, a.id, a.name, a.active AS active,
         a.last_heartbeat, now() - a.last_heartbeat AS age,
         NULL::integer AS agent_id
    FROM varo.agent a
  UNION ALL
  SELECT 'server', s.id, s.name, NULL, s.last_heartbeat,
         now() - s.last_heartbeat, b.agent_id
    FROM varo.server s LEFT JOIN varo.agent_server_binding b ON b.server_id = s.id;
