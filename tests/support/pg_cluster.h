// A throwaway PostgreSQL cluster for integration tests: created on first use in
// a test process (as the postgres user when running as root), on a free port
// with a private socket directory, holding the central database "varo" and a
// database "monitored" that plays a monitored server. A guard process removes
// the cluster when the test process ends, however it ends.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/db_connection_to_postgresql.h"
#include "db/pg_handles.h"

class PgCluster {
 public:
  // The cluster of this test process, started on first call. Ends the test
  // process with a message when no cluster can be made.
  static PgCluster& Get();
  // A further cluster of its own, made like the one of Get() with `settings`
  // (postgresql.conf lines) added; stopped and removed when the object goes.
  // Null with the reason in *error when it cannot be made.
  static std::unique_ptr<PgCluster> MakeWith(const std::vector<std::string>& settings,
                                             std::string* error);
  ~PgCluster() { Shutdown(); }

  int port() const { return port_; }
  // The socket directory, usable as libpq's host.
  const std::string& socketDir() const { return base_; }
  const std::string& dataDir() const { return data_; }
  const std::string& logFile() const { return log_; }
  // The PostgreSQL programs' directory (initdb, pg_ctl).
  const std::string& binDir() const { return bin_; }

  // A libpq connection string for `db` as `user` over the socket.
  std::string ConnInfo(const std::string& db, const std::string& user = "postgres") const;
  // An open connection, or null with the reason in *error.
  PGconnPtr Connect(const std::string& db, const std::string& user = "postgres",
                    std::string* error = nullptr) const;
  // A connection object as the agent uses it; adds a test failure when it fails.
  std::unique_ptr<DBConnectionToPostgreSQL> ConnectDB(const std::string& db,
                                                      const std::string& user = "postgres") const;
  // Runs `sql` as superuser in `db`; returns the first value of the first row
  // (empty when there is none). A failing statement adds a test failure.
  std::string Exec(const std::string& db, const std::string& sql) const;

  // The libpq environment (PGHOST, PGPORT, PGUSER) of the superuser, NAME=value.
  std::vector<std::string> LibpqEnv() const;
  // Runs scripts/central-db with `args` against this cluster; exit code and output.
  int RunCentralDb(const std::vector<std::string>& args, std::string* output = nullptr) const;

  // Appends a line to postgresql.conf (or puts one first in pg_hba.conf) and
  // reloads the configuration.
  void AddConf(const std::string& line) const;
  void AddHbaLineFirst(const std::string& line) const;
  void Reload() const;
  // Stops and starts the server (fast shutdown), for tests of outages.
  void Stop() const;
  void Start() const;

  // Stops the server and removes the cluster now; called at process exit.
  void Shutdown();

 private:
  PgCluster() = default;
  bool Create(std::string* error);
  std::string PgCtl(const std::string& action) const;

  int port_ = 0;
  std::string bin_;
  std::string base_;
  std::string data_;
  std::string log_;
  int guardPipe_ = -1;
  int guardPid_ = -1;
  std::vector<std::string> settings_;
};
