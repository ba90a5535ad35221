-- The probes built into the agent, their target tables and their defaults.
-- Each target table holds the probe's parameter columns (agent_id for host
-- probes, server_id for server probes), its result columns and recorded_time.
-- Values whose text form the agent writes in its own way (timestamps without
-- leading zeros, settings) are kept as text, so that an unchanged value reads
-- back unchanged and does not count as changed on every run.

CREATE TABLE IF NOT EXISTS varodata.disk_space (
  agent_id integer NOT NULL,
  mount_point text NOT NULL,
  file_system text,
  size_mb bigint,
  space_used_mb bigint,
  space_available_mb bigint,
  recorded_time timestamptz DEFAULT now(),
  PRIMARY KEY (agent_id, mount_point)
);

CREATE TABLE IF NOT EXISTS varodata.memory_usage (
  agent_id integer PRIMARY KEY,
  total_ram_memory_mb bigint,
  free_ram_memory_mb bigint,
  total_swap_memory_mb bigint,
  free_swap_memory_mb bigint,
  recorded_time timestamptz DEFAULT now()
);

CREATE TABLE IF NOT EXISTS varodata.cpu_usage (
  agent_id integer NOT NULL,
  core_id text NOT NULL,
  load_percentage numeric,
  recorded_time timestamptz DEFAULT now(),
  PRIMARY KEY (agent_id, core_id)
);

CREATE TABLE IF NOT EXISTS varodata.network_statistics (
  agent_id integer NOT NULL,
  interface_name text NOT NULL,
  ip_address text NOT NULL,
  packets_sent bigint,
  packets_received bigint,
  sent_bytes_kb bigint,
  receive_bytes_kb bigint,
  out_packets_discards bigint,
  in_packets_discards bigint,
  out_packets_errors bigint,
  in_packets_errors bigint,
  link_speed_mbps bigint,
  recorded_time timestamptz DEFAULT now(),
  PRIMARY KEY (agent_id, interface_name, ip_address)
);

CREATE TABLE IF NOT EXISTS varodata.pg_hba_conf (
  server_id integer NOT NULL,
  line_num integer NOT NULL,
  type text,
  database text,
  "user" text,
  cidr_addr text,
  method text,
  options text,
  recorded_time timestamptz DEFAULT now(),
  PRIMARY KEY (server_id, line_num)
);

CREATE TABLE IF NOT EXISTS varodata.io_analysis (
  agent_id integer NOT NULL,
  disk_drive text NOT NULL,
  blks_read numeric(20, 0),
  blks_wrtn numeric(20, 0),
  recorded_time timestamptz DEFAULT now(),
  PRIMARY KEY (agent_id, disk_drive)
);

-- dir_type: d data directory, x WAL directory, t tablespace.
CREATE TABLE IF NOT EXISTS varodata.data_log_file_analysis (
  server_id integer NOT NULL,
  name text NOT NULL,
  path text NOT NULL,
  device_id numeric(20, 0),
  dir_type text,
  recorded_time timestamptz DEFAULT now(),
  PRIMARY KEY (server_id, name, path)
);

CREATE TABLE IF NOT EXISTS varodata.disk_busy_info (
  agent_id integer NOT NULL,
  mount_point text NOT NULL,
  disk_busy bigint,
  recorded_time timestamptz DEFAULT now(),
  PRIMARY KEY (agent_id, mount_point)
);

CREATE TABLE IF NOT EXISTS varodata.os_statistics (
  agent_id integer PRIMARY KEY,
  total_process_count bigint,
  total_thread_count bigint,
  recorded_time timestamptz DEFAULT now()
);

CREATE TABLE IF NOT EXISTS varodata.os_info (
  agent_id integer PRIMARY KEY,
  os_details text,
  os_start_time text,
  recorded_time timestamptz DEFAULT now()
);

CREATE TABLE IF NOT EXISTS varodata.audit_configuration (
  server_id integer PRIMARY KEY,
  azu_audit text,
  azu_audit_directory text,
  azu_audit_filename text,
  azu_audit_rotation_day text,
  azu_audit_rotation_size text,
  azu_audit_rotation_sec text,
  azu_audit_connect text,
  azu_audit_disconnect text,
  azu_audit_statements text,
  recorded_time timestamptz DEFAULT now()
);

-- log_silent_mode is reported only by servers of the versions that have it.
CREATE TABLE IF NOT EXISTS varodata.log_configuration (
  server_id integer PRIMARY KEY,
  log_destination text,
  log_collector text,
  log_silent_mode text,
  log_directory text,
  log_filename text,
  log_syslog_facility text,
  log_syslog_ident text,
  log_rotation_size text,
  log_rotation_time text,
  log_rotation_truncate text,
  log_client_min_messages text,
  log_min_messages text,
  log_min_error_statement text,
  log_min_duration_statement text,
  log_parse_tree text,
  log_rewriter_output text,
  log_exec_plan text,
  log_indent_debug_output text,
  log_checkpoints text,
  log_connections text,
  log_disconnections text,
  log_duration text,
  log_hostname text,
  log_lock_waits text,
  log_error_verbosity text,
  log_prefix_string text,
  log_statements text,
  recorded_time timestamptz DEFAULT now()
);

-- The probe rows. A user's changes to them (intervals, enabled) are kept.
INSERT INTO varo.probe (probe_name, probe_internal_name, collection_method, probe_code,
                        probe_key_list, probe_scope, default_interval)
VALUES
  ('Disk space', 'disk_space', 'i', 'disk_space', '{mount_point}', 'agent', 300),
  ('Memory usage', 'memory_usage', 'i', 'memory_usage', '{}', 'agent', 60),
  ('CPU usage', 'cpu_usage', 'i', 'cpu_usage', '{core_id}', 'agent', 60),
  ('Network statistics', 'network_statistics', 'i', 'network_statistics',
   '{interface_name,ip_address}', 'agent', 60),
  ('pg_hba.conf', 'pg_hba_conf', 'i', 'pg_hba_conf', '{line_num}', 'server', 3600),
  ('Disk I/O', 'io_analysis', 'i', 'io_analysis', '{disk_drive}', 'agent', 60),
  ('Data and log directories', 'data_log_file_analysis', 'i', 'data_log_file_analysis',
   '{name,path}', 'server', 3600),
  ('Disk busy', 'disk_busy_info', 'i', 'disk_busy_info', '{mount_point}', 'agent', 60),
  ('Process counts', 'os_statistics', 'i', 'os_statistics', '{}', 'agent', 60),
  ('Operating system', 'os_info', 'i', 'os_info', '{}', 'agent', 3600),
  ('Audit settings', 'audit_configuration', 'i', 'audit_configuration', '{}', 'server', 3600),
  ('Log settings', 'log_configuration', 'i', 'log_configuration', '{}', 'server', 3600)
ON CONFLICT (probe_internal_name) DO NOTHING;
