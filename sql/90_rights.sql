-- What the agents (members of varo_agent) may do: read their work, write
-- their results, and nothing else. Rights are revoked first, so a reload
-- also takes back rights granted by older versions of this file.

DO $$
BEGIN
  EXECUTE format('REVOKE ALL ON DATABASE %I FROM PUBLIC', current_database());
  EXECUTE format('GRANT CONNECT, TEMPORARY ON DATABASE %I TO varo_agent', current_database());
END
$$;

REVOKE ALL ON SCHEMA varo, varodata FROM PUBLIC, varo_agent;
REVOKE ALL ON ALL TABLES IN SCHEMA varo, varodata FROM PUBLIC, varo_agent;
REVOKE ALL ON ALL SEQUENCES IN SCHEMA varo, varodata FROM PUBLIC, varo_agent;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA varo FROM PUBLIC, varo_agent;

GRANT USAGE ON SCHEMA varo, varodata TO varo_agent;

-- Connection set-up, capabilities, heartbeats, takeover.
GRANT EXECUTE ON FUNCTION varo.schema_version() TO varo_agent;
GRANT SELECT ON varo.agent TO varo_agent;
GRANT UPDATE (agent_capability_list) ON varo.agent TO varo_agent;
GRANT SELECT ON varo.agent_server_binding TO varo_agent;
GRANT UPDATE (agent_id) ON varo.agent_server_binding TO varo_agent;
GRANT EXECUTE ON FUNCTION varo.do_heartbeat(integer, integer[]) TO varo_agent;
GRANT SELECT, INSERT, DELETE ON varo.jobagent TO varo_agent;

-- Jobs.
GRANT SELECT ON varo.job TO varo_agent;
GRANT UPDATE (jobprocessid, jobnextrun, joblastrun) ON varo.job TO varo_agent;
GRANT SELECT ON varo.jobstep TO varo_agent;
GRANT SELECT, INSERT ON varo.joblog, varo.jobsteplog TO varo_agent;
GRANT UPDATE (jlgstatus, jlgduration) ON varo.joblog TO varo_agent;
GRANT UPDATE (jslstatus, jslresult, jslduration, jsloutput) ON varo.jobsteplog TO varo_agent;
GRANT USAGE ON SEQUENCE varo.joblog_jlgid_seq, varo.jobsteplog_jslid_seq TO varo_agent;

-- Probes.
GRANT SELECT ON varo.probe, varo.probe_schedule, varo.probe_schedule_view TO varo_agent;
GRANT UPDATE (current_backend_pid, last_execution_time) ON varo.probe_schedule TO varo_agent;
GRANT EXECUTE ON FUNCTION varo.probe_parameter_names(text),
                          varo.probe_is_due(timestamptz, integer),
                          varo.lock_schedule_table(integer, text),
                          varo.clear_probe_zombies() TO varo_agent;
GRANT INSERT ON varo.probe_log TO varo_agent;

-- Probe results: every table of varodata, also those added later by the
-- role that runs this script.
GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA varodata TO varo_agent;
ALTER DEFAULT PRIVILEGES IN SCHEMA varodata
  GRANT SELECT, INSERT, UPDATE, DELETE ON TABLES TO varo_agent;

-- Log import positions.
GRANT SELECT ON varo.log_configuration, varo.audit_configuration TO varo_agent;
GRANT UPDATE (last_read_filename, file_offset)
  ON varo.log_configuration, varo.audit_configuration TO varo_agent;

-- Alerts, mail and traps.
GRANT EXECUTE ON FUNCTION varo.process_one_alert() TO varo_agent;
GRANT SELECT ON varo.config TO varo_agent;
GRANT SELECT ON varo.smtp_spool, varo.snmp_spool TO varo_agent;
GRANT UPDATE (sent_status) ON varo.smtp_spool, varo.snmp_spool TO varo_agent;
