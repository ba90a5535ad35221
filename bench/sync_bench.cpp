// Measures SyncToDB against a live server: results of 100, 10,000 and 100,000
// rows (one key column, five value columns) with 0 %, 1 %, 10 % and 100 % of the
// rows changed. For each case it prints the wall time, the statements sent and
// the CPU time of the synchronising thread per row, which is the agent's own work
// (reading the stored rows, pairing, building statements) without the time spent
// waiting for the server.
//
// The server comes from the libpq environment (PGHOST, PGPORT, PGUSER,
// PGDATABASE). The benchmark creates its own table and drops it at the end.
// Usage: sync_bench [ROWS [PERCENT]] to run only the cases of that size (and
// share of changed rows), for profiling.
#include <libpq-fe.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "db/db_connection_to_postgresql.h"
#include "db/result_set_with_fixed_rows.h"

namespace {

// Counts the statements a synchronisation sends through this connection.
class CountingConnection : public DBConnectionToPostgreSQL {
 public:
  using DBConnectionToPostgreSQL::DBConnectionToPostgreSQL;
  std::unique_ptr<ResultSet> ExecuteQuery(const std::string& query,
                                          const std::vector<std::string>& params = {}) override {
    ++statements;
    return DBConnectionToPostgreSQL::ExecuteQuery(query, params);
  }
  long statements = 0;
};

double ThreadCpuMicros() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

bool Exec(DBConnection& conn, const std::string& sql) {
  auto result = conn.ExecuteQuery(sql);
  if (result->IsOk()) return true;
  std::fprintf(stderr, "sync_bench: %s: %s\n", sql.c_str(), result->GetErrorMessage().c_str());
  return false;
}

std::string Key(long i) {
  char text[32];
  std::snprintf(text, sizeof text, "key-%07ld", i);
  return text;
}

// Value `v` of row `i`; `changed` rows differ in their third value column.
std::string Value(int v, long i, bool changed) {
  return (changed && v == 3 ? "changed-" : "value-") + std::to_string(v) + "-" + std::to_string(i);
}

}  // namespace

int main(int argc, char** argv) {
  const long onlyRows = argc > 1 ? std::atol(argv[1]) : -1;
  const int onlyPercent = argc > 2 ? std::atoi(argv[2]) : -1;
  PGconnPtr pg(PQconnectdb(""));
  if (!pg || PQstatus(pg.get()) != CONNECTION_OK) {
    std::fprintf(stderr, "sync_bench: cannot connect: %s",
                 pg ? PQerrorMessage(pg.get()) : "out of memory\n");
    return 1;
  }
  CountingConnection conn(std::move(pg));
  const std::string table = "varo_sync_bench_" + std::to_string(getpid());
  if (!Exec(conn, "SET client_min_messages = warning") ||
      !Exec(conn, "CREATE TABLE " + table +
                      " (server_id int NOT NULL, key text NOT NULL, v1 text, v2 text, v3 text, "
                      "v4 text, v5 text, recorded_time timestamptz NOT NULL DEFAULT now())") ||
      !Exec(conn, "CREATE INDEX ON " + table + " (key, server_id)")) {
    return 1;
  }

  int status = 0;
  const std::vector<std::string> names = {"key", "v1", "v2", "v3", "v4", "v5"};
  for (long rows : {100L, 10000L, 100000L}) {
    if (onlyRows >= 0 && rows != onlyRows) continue;
    for (int percent : {0, 1, 10, 100}) {
      if (onlyPercent >= 0 && percent != onlyPercent) continue;
      // Stored rows: the unchanged form of every row.
      const std::string n = std::to_string(rows);
      std::string fill = "INSERT INTO " + table +
                         " (server_id, key, v1, v2, v3, v4, v5) SELECT 1, "
                         "'key-' || lpad(g::text, 7, '0')";
      for (int v = 1; v <= 5; ++v) {
        fill += ", 'value-" + std::to_string(v) + "-' || g";
      }
      fill += " FROM generate_series(0, " + std::to_string(rows - 1) + ") AS g";
      if (!Exec(conn, "TRUNCATE " + table) || !Exec(conn, fill) ||
          !Exec(conn, "VACUUM ANALYZE " + table)) {
        status = 1;
        break;
      }

      ResultSetWithFixedRows fresh(names);
      const long every = percent == 0 ? 0 : 100 / percent;
      for (long i = 0; i < rows; ++i) {
        const bool changed = every != 0 && i % every == 0;
        ResultSetWithFixedRows::Row row = {Key(i)};
        for (int v = 1; v <= 5; ++v) row.push_back(Value(v, i, changed));
        fresh.AddRow(row);
      }

      conn.statements = 0;
      const auto wallStart = std::chrono::steady_clock::now();
      const double cpuStart = ThreadCpuMicros();
      const std::string error = conn.SyncToDB(fresh, table, {"key"}, {"server_id"}, {"1"});
      const double cpu = ThreadCpuMicros() - cpuStart;
      const double wall =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart)
              .count();
      if (!error.empty()) {
        std::fprintf(stderr, "sync_bench: rows=%ld changed=%d: %s\n", rows, percent, error.c_str());
        status = 1;
        break;
      }
      std::printf("rows=%ld changed=%d wall_ms=%.1f statements=%ld agent_cpu_us_per_row=%.3f\n",
                  rows, percent, wall, conn.statements, cpu / static_cast<double>(rows));
      std::fflush(stdout);
    }
    if (status != 0) break;
  }
  if (!Exec(conn, "DROP TABLE " + table)) status = 1;
  return status;
}
