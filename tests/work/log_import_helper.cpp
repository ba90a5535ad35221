// A process that runs the server log import job step over and over, for the
// tests that kill an import at any moment and start it again.
// Usage: log_import_helper CONNINFO "DATADIR SERVERID VERSION" loop|once
//   loop: imports until it is killed, printing "pass <records>" after each run
//   once: imports until a run finds nothing new, then exits 0 (1 on failure)
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "db/db_connection_with_mutex.h"
#include "work/internal_task.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: log_import_helper CONNINFO ARGUMENTS loop|once\n");
    return 2;
  }
  PGconnPtr conn(PQconnectdb(argv[1]));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    std::fprintf(stderr, "connect: %s\n", conn ? PQerrorMessage(conn.get()) : "no memory");
    return 1;
  }
  PGresultPtr utf8(PQexec(conn.get(), "SET client_encoding = 'UTF8'"));
  DBConnectionWithMutex central(std::make_unique<DBConnectionToPostgreSQL>(std::move(conn)));
  const bool once = std::strcmp(argv[3], "once") == 0;
  for (;;) {
    const std::string before =
        central.ExecuteQuery("SELECT count(*) FROM varodata.server_logs")->GetValueByIndex(0, 0);
    InternalTask task(std::string("server_log_import ") + argv[2], 0);
    task.Run(central);
    if (task.Failed()) {
      std::printf("failed: %s\n", task.message.c_str());
      std::fflush(stdout);
      if (once) return 1;
      continue;
    }
    const std::string after =
        central.ExecuteQuery("SELECT count(*) FROM varodata.server_logs")->GetValueByIndex(0, 0);
    std::printf("pass %s\n", after.c_str());
    std::fflush(stdout);
    if (once && before == after) return 0;
  }
}
