// Cost of one full pass of the host probes (disk space, memory, processors,
// network, disk I/O, disk busy, process counts, operating system), collection
// only: each probe built by its code as the probe step builds it, its rows
// collected and dropped, nothing stored. Runs the bare C reference (hostprobe:
// /proc/stat, meminfo, diskstats, net/dev and statvfs of every mount) in the
// same run and prints the ratio, and this process's resident memory after a
// pass. The first pass (the processor probe's 3-second wait, the disk busy
// probe's two readings) is not timed. The reference reads no process files,
// while the process count must open one file per process, so the benchmark
// also times a bare scan of /proc/<pid>/stat and prints the ratio to the
// reference plus that scan, and the ratio of the other probes to the
// reference alone.
// Usage: host_bench [PASSES]
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "db/db_connection_to_wmi.h"
#include "probes/internal_probe.h"

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

// VmRSS of this process in kB, or -1.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string word; status >> word;) {
    if (word == "VmRSS:") {
      long kb = -1;
      status >> kb;
      return kb;
    }
  }
  return -1;
}

// µs of one bare scan: open, read and close /proc/<pid>/stat of every process.
double BareProcessScanMicros(long passes) {
  char buffer[4096];
  const auto start = Clock::now();
  for (long i = 0; i < passes; ++i) {
    DIR* dir = ::opendir("/proc");
    if (!dir) return -1;
    char path[300];
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::snprintf(path, sizeof path, "%s/stat", e->d_name);
      const int fd = ::openat(::dirfd(dir), path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) sink += buffer[n / 2];
      ::close(fd);
    }
    ::closedir(dir);
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
         static_cast<double>(passes);
}

// Runs the reference program and returns its µs per sample, or -1.
double ReferenceMicros(long iterations) {
  const std::string command = std::string(HOSTPROBE_PATH) + " " + std::to_string(iterations);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  char line[1024] = {0};
  std::string output;
  while (std::fgets(line, sizeof line, pipe)) output += line;
  if (::pclose(pipe) != 0) return -1;
  const size_t at = output.find("us_per_sample=");
  if (at == std::string::npos) return -1;
  std::printf("reference: %s", output.c_str());
  return std::atof(output.c_str() + at + 14);
}

}  // namespace

int main(int argc, char** argv) {
  const long passes = argc > 1 ? std::atol(argv[1]) : 2000;
  if (!ConnectToWMI()) {
    std::fprintf(stderr, "host_bench: no WMI connection\n");
    return 1;
  }
  FullPass();  // the first pass waits for the processor and disk samples
  std::printf("resident memory after the first pass: %ld kB\n", ResidentKb());
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
  std::printf("resident memory after %ld passes: %ld kB (target: at most 8192 kB)\n", passes + 1,
              ResidentKb());
  const double referenceMicros = ReferenceMicros(passes);
  if (referenceMicros <= 0) {
    std::fprintf(stderr, "host_bench: the reference program %s failed\n", HOSTPROBE_PATH);
    return 1;
  }
  const double scanMicros = BareProcessScanMicros(passes);
  const double processMicros = perProbe["os_statistics"] / static_cast<double>(passes);
  std::printf("bare scan of /proc/<pid>/stat: %.1f us\n", scanMicros);
  std::printf("ratio agent/reference: %.2f (target: within 2.00)\n", agentMicros / referenceMicros);
  std::printf("ratio agent/(reference + bare process scan): %.2f\n",
              agentMicros / (referenceMicros + scanMicros));
  std::printf("ratio agent without the process count/reference: %.2f  [sink %ld]\n",
              (agentMicros - processMicros) / referenceMicros, sink % 10);
  return 0;
}
