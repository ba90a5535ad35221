// Cost of one full pass of the host probes (disk space, memory, processors,
// network, disk I/O, disk busy, process counts, operating system), collection
// only: each probe built by its code as the probe step builds it, its rows
// collected and dropped, nothing stored. Runs the bare C reference (hostprobe:
// /proc/stat, meminfo, diskstats, net/dev and statvfs of every mount) in the
// same run and prints the ratio, and this process's resident memory after a
// pass. The first pass (the processor probe's 3-second wait, the disk busy
// probe's two readings) is not timed. The reference counts no processes; the
// process count lists /proc (and, in a container's own process namespace,
// opens one file per process), so the benchmark also times a bare scan of
// /proc/<pid>/stat and prints the ratio to the reference plus that scan, and
// the ratio of the other probes to the reference alone.
// With --agent it instead runs the agent program (varo-agent DEBUG) against a
// throwaway central database (the test fixture's cluster) with the built-in
// probes scheduled for it, waits until every host probe has stored its rows,
// and prints the agent's resident memory after that pass.
// Usage: host_bench [PASSES] | host_bench --agent
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "db/db_connection_to_wmi.h"
#include "host_reference.h"
#include "probes/internal_probe.h"
#include "support/pg_cluster.h"
#include "support/process.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kCodes[] = {"disk_space",         "memory_usage", "cpu_usage",
                              "network_statistics", "io_analysis",  "disk_busy_info",
                              "os_statistics",      "os_info"};

std::map<std::string, double> perProbe;  // µs summed over the timed passes
long sink = 0;

void FullPass() {
  for (const char* code : kCodes) {
    const auto start = Clock::now();
    std::unique_ptr<InternalProbe> probe = CreateInternalProbeCollector(code, 0, "");
    std::unique_ptr<ResultSet> rows = probe->CollectResults();
    if (!rows->IsOk()) {
      std::fprintf(stderr, "host_bench: %s: %s\n", code, rows->GetErrorMessage().c_str());
      std::exit(1);
    }
    sink += rows->GetRowCount();
    perProbe[code] += std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  }
}

// VmRSS (or another line of /proc/<pid>/status) of process `pid` (this
// process by default) in kB, or -1.
long ResidentKb(const std::string& pid = "self", const std::string& line = "VmRSS:") {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string word; status >> word;) {
    if (word == line) {
      long kb = -1;
      status >> kb;
      return kb;
    }
  }
  return -1;
}

}  // namespace

// The agent program's resident memory once every host probe has stored rows.
int AgentResidentMemory() {
  PgCluster& cluster = PgCluster::Get();
  std::string out;
  if (cluster.RunCentralDb({"--schedule", "12"}, &out) != 0) {
    std::fprintf(stderr, "host_bench: central-db failed: %s\n", out.c_str());
    return 1;
  }
  ChildProcess agent;
  if (!agent.Start({std::string(VARO_BINARY_DIR) + "/varo-agent", "DEBUG", "-o",
                    "varo_host=" + cluster.socketDir(), "-o",
                    "varo_port=" + std::to_string(cluster.port()), "-o", "agent_id=12", "-t", "1",
                    "-l", "warning"})) {
    std::fprintf(stderr, "host_bench: cannot start the agent: %s\n", agent.Output().c_str());
    return 1;
  }
  const std::string count =
      "SELECT count(*) FROM (SELECT agent_id FROM varodata.disk_space UNION ALL SELECT agent_id "
      "FROM varodata.memory_usage UNION ALL SELECT agent_id FROM varodata.cpu_usage UNION ALL "
      "SELECT agent_id FROM varodata.network_statistics UNION ALL SELECT agent_id FROM "
      "varodata.io_analysis UNION ALL SELECT agent_id FROM varodata.disk_busy_info UNION ALL "
      "SELECT agent_id FROM varodata.os_statistics UNION ALL SELECT agent_id FROM varodata.os_info"
      ") t";
  const std::string tables =
      "SELECT (SELECT count(*) > 0 FROM varodata.disk_space) AND (SELECT count(*) > 0 FROM "
      "varodata.memory_usage) AND (SELECT count(*) > 0 FROM varodata.cpu_usage) AND (SELECT "
      "count(*) > 0 FROM varodata.network_statistics) AND (SELECT count(*) > 0 FROM "
      "varodata.io_analysis) AND (SELECT count(*) > 0 FROM varodata.disk_busy_info) AND (SELECT "
      "count(*) > 0 FROM varodata.os_statistics) AND (SELECT count(*) > 0 FROM varodata.os_info)";
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (cluster.Exec("varo", tables) != "t") {
    if (Clock::now() > deadline || !agent.running()) {
      std::fprintf(stderr, "host_bench: the host probes stored no rows: %s\n",
                   agent.Output().c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // idle after the pass
  const std::string pid = std::to_string(agent.pid());
  const long kb = ResidentKb(pid);
  std::printf(
      "agent: %s rows stored by the host probes; resident memory after the pass: %ld kB "
      "(target: at most 8192 kB): %ld kB anonymous, %ld kB of mapped files (shared "
      "libraries), %ld kB shared memory; %ld threads\n",
      cluster.Exec("varo", count).c_str(), kb, ResidentKb(pid, "RssAnon:"),
      ResidentKb(pid, "RssFile:"), ResidentKb(pid, "RssShmem:"), ResidentKb(pid, "Threads:"));
  agent.Signal(SIGTERM);
  agent.WaitForExit(std::chrono::seconds(15));
  return kb > 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--agent") return AgentResidentMemory();
  const long passes = argc > 1 ? std::atol(argv[1]) : 2000;
  if (!ConnectToWMI()) {
    std::fprintf(stderr, "host_bench: no WMI connection\n");
    return 1;
  }
  const long before = ResidentKb();
  FullPass();  // the first pass waits for the processor and disk samples
  std::printf("resident memory of this process before the first pass: %ld kB, after it: %ld kB\n",
              before, ResidentKb());
  perProbe.clear();

  const auto start = Clock::now();
  for (long i = 0; i < passes; ++i) FullPass();
  const double agentMicros =
      std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
      static_cast<double>(passes);

  std::printf("host_bench: %ld full passes of the host probes, collection only\n", passes);
  for (const auto& [code, micros] : perProbe) {
    std::printf("  %-20s %9.1f us per pass\n", code.c_str(), micros / static_cast<double>(passes));
  }
  std::printf("agent: %.1f us per full pass\n", agentMicros);
  std::printf(
      "resident memory of this process after %ld passes: %ld kB (the agent's own: "
      "host_bench --agent)\n",
      passes + 1, ResidentKb());
  const double referenceMicros = host_reference::ReferenceMicros(passes);
  if (referenceMicros <= 0) {
    std::fprintf(stderr, "host_bench: the reference program %s failed\n", HOSTPROBE_PATH);
    return 1;
  }
  const double scanMicros = host_reference::BareProcessScanMicros(passes);
  const double processMicros = perProbe["os_statistics"] / static_cast<double>(passes);
  std::printf("bare scan of /proc/<pid>/stat: %.1f us\n", scanMicros);
  std::printf("ratio agent/reference: %.2f (target: within 2.00)\n", agentMicros / referenceMicros);
  std::printf("ratio agent/(reference + bare process scan): %.2f\n",
              agentMicros / (referenceMicros + scanMicros));
  std::printf("ratio agent without the process count/reference: %.2f  [sink %ld]\n",
              (agentMicros - processMicros) / referenceMicros, sink % 10);
  return 0;
}
