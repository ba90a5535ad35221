-- Schemas and the group role of the agents. Every file in this folder is
-- loaded in name order, in one transaction, by scripts/central-db; each can be
-- loaded again over an existing database without harm.

-- Two runs of the set-up script at the same time wait for each other here.
SELECT pg_advisory_xact_lock(201210091);

CREATE SCHEMA IF NOT EXISTS varo;
CREATE SCHEMA IF NOT EXISTS varodata;

-- Agents log in as agent<id>; each such role is a member of varo_agent, which
-- holds the rights (see 90_rights.sql).
DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'varo_agent') THEN
    CREATE ROLE varo_agent NOLOGIN;
  END IF;
END
$$;

-- The schema version the agent checks when it connects.
CREATE OR REPLACE FUNCTION varo.schema_version() RETURNS integer
LANGUAGE sql IMMUTABLE AS $$ SELECT 201210091 $$;
