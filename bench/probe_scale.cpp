// Probe execution at scale: N monitored servers bound to one agent (the
// "monitored" database of a throwaway cluster, bound N times under different
// server ids), three SQL probes each, every pass due. For N = 50, 200 and 500
// it runs three passes of the probe step the way the main loop does (probe
// step, wait for the workers, reap idle server connections) and prints per N:
// the wall time of a pass, the agent's CPU time per probe run, the
// monitored-server connections opened per pass, the failed probe runs, and
// the process's peak RSS.
//
// The cluster is the test fixture's (made as user postgres when run as root,
// removed at exit), restarted with max_connections above N. Usage: probe_scale [N...]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "db/central_connection.h"
#include "db/db_settings.h"
#include "db/server_binding_cache.h"
#include "db/server_pool.h"
#include "support/pg_cluster.h"
#include "work/probe_step.h"
#include "work/worker_thread.h"

namespace {

constexpr int32_t kAgentId = 12;
constexpr int32_t kFirstServer = 100000;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakRssKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::string Central(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

long SessionsOpened() {
  return std::atol(
      PgCluster::Get()
          .Exec("postgres", "SELECT sessions FROM pg_stat_database WHERE datname = 'monitored'")
          .c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {50, 200, 500};
  int most = 0;
  for (int n : sizes) most = std::max(most, n);

  PgCluster& cluster = PgCluster::Get();
  // One cluster stands in for every monitored server: give it room for a
  // connection per server at once, as N separate servers would have.
  cluster.AddConf("max_connections = " + std::to_string(most + 100));
  cluster.Stop();
  cluster.Start();
  std::vector<std::string> args = {"--agent", std::to_string(kAgentId)};
  for (int i = 0; i < most; ++i) {
    for (const std::string& a :
         {std::string("--bind"), std::to_string(kAgentId), std::to_string(kFirstServer + i),
          cluster.socketDir(), std::to_string(cluster.port()), std::string("postgres"),
          std::string("monitored")}) {
      args.push_back(a);
    }
  }
  std::string out;
  if (cluster.RunCentralDb(args, &out) != 0) {
    std::fprintf(stderr, "central-db failed: %s\n", out.c_str());
    return 1;
  }
  Central("DELETE FROM varo.probe");
  for (int p = 1; p <= 3; ++p) {
    const std::string table = "ps" + std::to_string(p);
    Central("DROP TABLE IF EXISTS varodata." + table);
    Central("CREATE TABLE varodata." + table +
            " (server_id int, relkind text, n text, recorded_time timestamptz NOT NULL DEFAULT "
            "now())");
    const std::string id = Central(
        "INSERT INTO varo.probe (probe_internal_name, collection_method, probe_code, "
        "probe_key_list, probe_scope) VALUES ('" +
        table +
        "', 's', 'SELECT relkind::text, count(*)::text AS n FROM pg_class WHERE "
        "%{server_id}::int > 0 GROUP BY 1', '{relkind}', 'server') RETURNING probe_id");
    Central("INSERT INTO varo.probe_schedule (probe_id, server_id, enabled) SELECT " + id +
            ", server_id, false FROM varo.agent_server_binding WHERE agent_id = " +
            std::to_string(kAgentId));
  }

  DBSettings& settings = GetDBSettings();
  settings.varo_host = cluster.socketDir();
  settings.varo_port = static_cast<uint16_t>(cluster.port());
  settings.agent_id = kAgentId;
  std::unique_ptr<DBConnection> connection;
  ConnectToVARO(connection, true);
  if (!connection) return 1;
  SetCentralConnection(std::move(connection));
  SetCentralSchemaVersion(201210091);
  DBConnection& central = *GetCentralConnection();

  std::printf("%6s %5s %12s %16s %18s %8s %14s\n", "N", "pass", "wall ms", "CPU us/probe",
              "connections/pass", "failed", "peak RSS KiB");
  for (int n : sizes) {
    Central("UPDATE varo.probe_schedule SET enabled = (server_id < " +
            std::to_string(kFirstServer + n) + ")");
    for (int pass = 1; pass <= 3; ++pass) {
      Central("DELETE FROM varo.probe_log");
      Central("UPDATE varo.probe_schedule SET last_execution_time = NULL");
      const long sessions = SessionsOpened();
      const double cpu = CpuSeconds();
      const auto start = std::chrono::steady_clock::now();
      if (!RunProbeStep(central, kAgentId)) return 1;
      while (GetRunningWorkerCount() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      const double wall =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      const double cpuPerProbe = (CpuSeconds() - cpu) * 1e6 / (3.0 * n);
      ReapIdleServerConnections();
      std::printf("%6d %5d %12.0f %16.0f %18ld %8s %14ld\n", n, pass, wall, cpuPerProbe,
                  SessionsOpened() - sessions,
                  Central("SELECT count(*) FROM varo.probe_log").c_str(), PeakRssKib());
      const std::string failure = Central("SELECT min(message) FROM varo.probe_log");
      if (!failure.empty()) std::printf("       a failure: %s\n", failure.c_str());
      std::fflush(stdout);
    }
  }
  SetCentralConnection(nullptr);
  Central("DELETE FROM varo.probe");
  return 0;
}
