// Cost of one full pass of the host probes' WQL queries on the live host: the
// disk walk (drives, their partitions, the file systems on each), memory,
// processors, processes, operating system and disk busy time, each value read
// by name as the probes read it. Prints µs per pass and per query, runs the bare
// C reference (hostprobe: /proc/stat, meminfo, diskstats, net/dev and statvfs of
// every mount) in the same run, and prints the ratio of the two. The reference
// reads no process files while the process count query must open one file per
// process, so the benchmark also times a bare C-style scan of /proc/<pid>/stat
// and prints the ratio to the reference plus that scan, and the ratio of the
// queries other than the process count to the reference alone.
// Usage: wmi_bench [PASSES]
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "db/db_connection_to_wmi.h"
#include "host_reference.h"

namespace {

using Clock = std::chrono::steady_clock;

std::map<std::string, double> perQuery;  // µs summed over all passes
long sink = 0;

// Runs one query, reads the named values of every row, and adds its time.
void Run(DBConnection& conn, const std::string& label, const std::string& wql,
         std::initializer_list<const char*> values, std::unique_ptr<ResultSet>* keep = nullptr) {
  const auto start = Clock::now();
  std::unique_ptr<ResultSet> r = conn.ExecuteQuery(wql);
  if (!r->IsOk()) {
    std::fprintf(stderr, "wmi_bench: %s: %s\n", wql.c_str(), r->GetErrorMessage().c_str());
    std::exit(1);
  }
  for (uint32_t i = 0; i < r->GetRowCount(); ++i) {
    for (const char* v : values)
      sink += static_cast<long>(r->GetValueByName(static_cast<int32_t>(i), v).size());
  }
  perQuery[label] += std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  if (keep) *keep = std::move(r);
}

void FullPass(DBConnection& conn) {
  std::unique_ptr<ResultSet> drives;
  Run(conn, "disk: drives", "SELECT DeviceID FROM Win32_DiskDrive", {"DeviceID"}, &drives);
  for (uint32_t d = 0; d < drives->GetRowCount(); ++d) {
    std::unique_ptr<ResultSet> parts;
    Run(conn, "disk: partitions of a drive",
        "ASSOCIATORS OF {Win32_DiskDrive.DeviceID='" + drives->GetValueByName(d, "DeviceID") +
            "'} WHERE AssocClass = Win32_DiskDriveToDiskPartition",
        {"DeviceID"}, &parts);
    for (uint32_t p = 0; p < parts->GetRowCount(); ++p) {
      Run(conn, "disk: file systems of a partition",
          "ASSOCIATORS OF {Win32_DiskPartition.DeviceID='" + parts->GetValueByName(p, "DeviceID") +
              "'} WHERE AssocClass = Win32_LogicalDiskToPartition",
          {"Size", "FreeSpace", "Caption", "FileSystem"});
    }
  }
  Run(conn, "memory: computer system", "SELECT TotalPhysicalMemory FROM Win32_ComputerSystem",
      {"TotalPhysicalMemory"});
  Run(conn, "memory: operating system",
      "SELECT FreePhysicalMemory, FreeVirtualMemory, TotalVirtualMemorySize, "
      "FreeSpaceInPagingFiles, "
      "SizeStoredInPagingFiles FROM Win32_OperatingSystem",
      {"FreePhysicalMemory", "FreeVirtualMemory", "TotalVirtualMemorySize",
       "FreeSpaceInPagingFiles", "SizeStoredInPagingFiles"});
  Run(conn, "cpu: processors",
      "SELECT * FROM Win32_PerfRawData_PerfOS_Processor WHERE Name != '_Total' ",
      {"PercentProcessorTime", "TimeStamp_Sys100NS"});
  Run(conn, "os_statistics: processes", "SELECT * FROM Win32_Process", {"ThreadCount"});
  Run(conn, "os_info: operating system",
      "SELECT Caption, OtherTypeDescription, OSArchitecture, CSDVersion, Version, LastBootUpTime "
      "FROM "
      "Win32_OperatingSystem",
      {"Caption", "OtherTypeDescription", "OSArchitecture", "CSDVersion", "Version",
       "LastBootUpTime"});
  Run(conn, "disk_busy: physical disks",
      "SELECT Caption, Name, Description, PercentIdleTime FROM "
      "Win32_PerfFormattedData_PerfDisk_PhysicalDisk",
      {"Caption", "Name", "Description", "PercentIdleTime"});
}

}  // namespace

int main(int argc, char** argv) {
  const long passes = argc > 1 ? std::atol(argv[1]) : 2000;
  DBConnectionToWMI conn;
  for (int i = 0; i < 20; ++i) FullPass(conn);  // warm the caches
  perQuery.clear();

  const auto start = Clock::now();
  for (long i = 0; i < passes; ++i) FullPass(conn);
  const double agentMicros =
      std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
      static_cast<double>(passes);

  std::printf("wmi_bench: %ld full passes of the host probes' queries\n", passes);
  for (const auto& [label, micros] : perQuery) {
    std::printf("  %-36s %9.1f us per pass\n", label.c_str(), micros / static_cast<double>(passes));
  }
  std::printf("agent: %.1f us per full pass\n", agentMicros);
  const double referenceMicros = host_reference::ReferenceMicros(passes);
  if (referenceMicros <= 0) {
    std::fprintf(stderr, "wmi_bench: the reference program %s failed\n", HOSTPROBE_PATH);
    return 1;
  }
  const double scanMicros = host_reference::BareProcessScanMicros(passes);
  const double processMicros = perQuery["os_statistics: processes"] / static_cast<double>(passes);
  std::printf("bare scan of /proc/<pid>/stat: %.1f us\n", scanMicros);
  std::printf("ratio agent/reference: %.2f (target: within 2.00)\n", agentMicros / referenceMicros);
  std::printf("ratio agent/(reference + bare process scan): %.2f\n",
              agentMicros / (referenceMicros + scanMicros));
  std::printf("ratio agent without the process query/reference: %.2f  [sink %ld]\n",
              (agentMicros - processMicros) / referenceMicros, sink % 10);
  return 0;
}
