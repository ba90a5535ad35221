// The host classes on the machine running the tests, checked against what df,
// free, nproc, ps and uname say (within tolerances where the figures move
// between the two readings), and queried from several threads at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <thread>

#include "db/db_connection_to_wmi.h"
#include "support/process.h"

namespace {

std::string Output(const std::vector<std::string>& argv) {
  ProcessResult r = RunProcess(argv);
  EXPECT_EQ(r.exitCode, 0) << argv[0] << ": " << r.output;
  return r.output;
}

uint64_t Number(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }

// True when `a` and `b` differ by at most `share` of the larger, or by `slack`.
bool Near(double a, double b, double share, double slack) {
  return std::abs(a - b) <= std::max(share * std::max(a, b), slack);
}

TEST(WmiLiveHost, MemoryAndProcessorsAgreeWithFreeAndNproc) {
  DBConnectionToWMI conn;
  auto cs = conn.ExecuteQuery(
      "SELECT TotalPhysicalMemory, NumberOfLogicalProcessors FROM Win32_ComputerSystem");
  auto os = conn.ExecuteQuery(
      "SELECT FreePhysicalMemory, FreeVirtualMemory, TotalVirtualMemorySize, "
      "FreeSpaceInPagingFiles, "
      "SizeStoredInPagingFiles FROM Win32_OperatingSystem");
  ASSERT_TRUE(cs->IsOk() && os->IsOk()) << cs->GetErrorMessage() << os->GetErrorMessage();
  ASSERT_EQ(cs->GetRowCount(), 1u);
  ASSERT_EQ(os->GetRowCount(), 1u);

  // free -b: "Mem: total used free shared buff/cache available", "Swap: total used free".
  std::istringstream free(Output({"free", "-b"}));
  std::string line, label;
  uint64_t memTotal = 0, memAvailable = 0, swapTotal = 0, swapFree = 0, skip = 0;
  while (std::getline(free, line)) {
    std::istringstream words(line);
    words >> label;
    if (label == "Mem:") words >> memTotal >> skip >> skip >> skip >> skip >> memAvailable;
    if (label == "Swap:") words >> swapTotal >> skip >> swapFree;
  }
  ASSERT_GT(memTotal, 0u);
  EXPECT_EQ(Number(cs->GetValueByName(0, "TotalPhysicalMemory")), memTotal);
  EXPECT_TRUE(Near(Number(os->GetValueByName(0, "FreePhysicalMemory")) * 1024.0, memAvailable, 0.05,
                   64 << 20))
      << "available memory, not bare free memory: " << os->GetValueByName(0, "FreePhysicalMemory")
      << " kB against " << memAvailable;
  EXPECT_EQ(Number(os->GetValueByName(0, "SizeStoredInPagingFiles")) * 1024, swapTotal);
  EXPECT_TRUE(Near(Number(os->GetValueByName(0, "FreeSpaceInPagingFiles")) * 1024.0, swapFree, 0.05,
                   64 << 20));

  const uint64_t processors = Number(cs->GetValueByName(0, "NumberOfLogicalProcessors"));
  EXPECT_EQ(processors, Number(Output({"getconf", "_NPROCESSORS_ONLN"})));
  EXPECT_GE(processors, Number(Output({"nproc"})))
      << "nproc counts only the processors this process may use";
  auto cpus =
      conn.ExecuteQuery("SELECT * FROM Win32_PerfRawData_PerfOS_Processor WHERE Name != '_Total' ");
  ASSERT_TRUE(cpus->IsOk());
  EXPECT_EQ(cpus->GetRowCount(), processors);
  for (uint32_t i = 0; i < cpus->GetRowCount(); ++i) {
    EXPECT_LE(Number(cpus->GetValueByName(i, "PercentProcessorTime")),
              Number(cpus->GetValueByName(i, "TimeStamp_Sys100NS")));
  }
}

TEST(WmiLiveHost, FileSystemsAgreeWithDf) {
  DBConnectionToWMI conn;
  auto disks = conn.ExecuteQuery("SELECT DeviceID FROM Win32_DiskDrive");
  ASSERT_TRUE(disks->IsOk()) << disks->GetErrorMessage();
  // Every file system reached from a disk through its partitions, as the disk
  // space probe walks them.
  std::set<std::string> checked;
  for (uint32_t d = 0; d < disks->GetRowCount(); ++d) {
    auto parts = conn.ExecuteQuery("ASSOCIATORS OF {Win32_DiskDrive.DeviceID='" +
                                   disks->GetValueByName(d, "DeviceID") +
                                   "'} WHERE AssocClass = Win32_DiskDriveToDiskPartition");
    ASSERT_TRUE(parts->IsOk()) << parts->GetErrorMessage();
    for (uint32_t p = 0; p < parts->GetRowCount(); ++p) {
      auto logical = conn.ExecuteQuery("ASSOCIATORS OF {Win32_DiskPartition.DeviceID='" +
                                       parts->GetValueByName(p, "DeviceID") +
                                       "'} WHERE AssocClass = Win32_LogicalDiskToPartition");
      ASSERT_TRUE(logical->IsOk()) << logical->GetErrorMessage();
      for (uint32_t l = 0; l < logical->GetRowCount(); ++l) {
        const std::string mount = logical->GetValueByName(l, "Caption");
        std::istringstream df(Output({"df", "-B1", "--output=size,avail", mount}));
        std::string header;
        uint64_t size = 0, avail = 0;
        std::getline(df, header);
        df >> size >> avail;
        EXPECT_EQ(Number(logical->GetValueByName(l, "Size")), size) << mount;
        EXPECT_TRUE(Near(Number(logical->GetValueByName(l, "FreeSpace")), avail, 0.01, 256 << 20))
            << mount << ": " << logical->GetValueByName(l, "FreeSpace") << " against " << avail;
        checked.insert(mount);
      }
    }
  }
  // The root file system is on a disk on every machine the tests run on.
  EXPECT_TRUE(checked.count("/")) << "no disk carries /";
}

TEST(WmiLiveHost, ProcessesAndThreadsAgreeWithPs) {
  DBConnectionToWMI conn;
  const uint64_t psProcesses = Number(Output({"sh", "-c", "ps -e --no-headers | wc -l"}));
  const uint64_t psThreads = Number(Output({"sh", "-c", "ps -eL --no-headers | wc -l"}));
  auto r = conn.ExecuteQuery("SELECT * FROM Win32_Process");
  ASSERT_TRUE(r->IsOk()) << r->GetErrorMessage();
  uint64_t threads = 0;
  bool self = false;
  for (uint32_t i = 0; i < r->GetRowCount(); ++i) {
    threads += Number(r->GetValueByName(i, "ThreadCount"));
    self |= Number(r->GetValueByName(i, "ProcessId")) == static_cast<uint64_t>(getpid());
  }
  EXPECT_TRUE(self) << "the test process itself is listed";
  // Other helpers start and end processes all the time: within a quarter, or 30.
  EXPECT_TRUE(Near(r->GetRowCount(), psProcesses, 0.25, 30))
      << r->GetRowCount() << " against " << psProcesses;
  EXPECT_TRUE(Near(threads, psThreads, 0.25, 60)) << threads << " against " << psThreads;
}

TEST(WmiLiveHost, OperatingSystemAgreesWithUnameAndOsRelease) {
  DBConnectionToWMI conn;
  auto r = conn.ExecuteQuery(
      "SELECT Caption, OtherTypeDescription, OSArchitecture, CSDVersion, Version, LastBootUpTime "
      "FROM Win32_OperatingSystem");
  ASSERT_TRUE(r->IsOk());
  std::string release = Output({"uname", "-r"});
  release.erase(release.find_last_not_of('\n') + 1);
  EXPECT_EQ(r->GetValueByName(0, "Version"), release);
  OsRelease os;
  ASSERT_EQ(ReadOsRelease("/", os), "");
  if (os.found && !os.prettyName.empty()) {
    EXPECT_EQ(r->GetValueByName(0, "Caption"), os.prettyName);
  }
  bool isNull = false;
  r->GetValueByName(0, "CSDVersion", &isNull);
  EXPECT_TRUE(isNull);
  EXPECT_EQ(r->GetValueByName(0, "LastBootUpTime").size(), 25u)
      << r->GetValueByName(0, "LastBootUpTime");
}

TEST(WmiLiveHost, QueriesFromSeveralThreadsAtOnce) {
  ASSERT_TRUE(ConnectToWMI());
  DBConnectionToWMI* const conn = GetWMIConnection();
  ASSERT_NE(conn, nullptr);
  const char* const queries[] = {
      "SELECT DeviceID FROM Win32_DiskDrive",
      "SELECT * FROM Win32_LogicalDisk",
      "SELECT TotalPhysicalMemory FROM Win32_ComputerSystem",
      "SELECT * FROM Win32_PerfRawData_PerfOS_Processor WHERE Name != '_Total' ",
      "SELECT * FROM Win32_Process",
      "SELECT Caption, Name, Description, PercentIdleTime FROM "
      "Win32_PerfFormattedData_PerfDisk_PhysicalDisk",
  };
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      // Every thread makes sure of the connection too; all get the one object.
      if (!ConnectToWMI() || GetWMIConnection() != conn) ++failures;
      for (int i = 0; i < 12; ++i) {
        auto r = conn->ExecuteQuery(queries[(t + i) % 6]);
        if (!r->IsOk() || r->GetRowCount() == 0) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
