// The host probes on a small host tree that each test writes into a temporary
// directory, with the rows worked out by hand from those files: the disk walk
// and its megabyte arithmetic, memory, processor loads over two samples,
// process and thread counts, the operating system's description and boot
// time, disk busy time from two readings, interface counters with their
// addresses, and disk I/O counters; and that every collector failure is
// reported as a failure, never as an empty row set.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "db/db_connection_to_wmi.h"
#include "db/wql_parser.h"
#include "probes/host_resource_probes.h"
#include "probes/internal_probe.h"
#include "probes/ipt_cpu_usage.h"
#include "probes/network_io_probes.h"
#include "support/host_tree.h"

namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::string>;

// Every row as "v1|v2|...", after a header row of the column names; a failed
// result as "error: <text>".
Rows Table(const ResultSet& r) {
  if (!r.IsOk()) return {"error: " + r.GetErrorMessage()};
  Rows out;
  std::string header;
  for (size_t c = 0; c < r.columnNames.size(); ++c) header += (c ? "|" : "") + r.columnNames[c];
  out.push_back(header);
  for (uint32_t i = 0; i < r.GetRowCount(); ++i) {
    std::string line;
    for (size_t c = 0; c < r.columnNames.size(); ++c)
      line += (c ? "|" : "") + r.GetValueByIndex(static_cast<int32_t>(i), static_cast<int32_t>(c));
    out.push_back(line);
  }
  return out;
}

class HostProbes : public testing::Test {
 protected:
  void SetUp() override {
    // Boot time and dates are local time; the expectations are in UTC.
    const char* tz = getenv("TZ");
    savedTz = tz ? std::optional<std::string>(tz) : std::nullopt;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    if (savedTz) {
      setenv("TZ", savedTz->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  // The probes' view of `host` through a WMI connection of their own.
  HostProbeSources Sources(HostTree& tree) {
    if (!wmi) wmi = std::make_unique<DBConnectionToWMI>(tree.options);
    HostProbeSources s;
    s.wmi = wmi.get();
    s.root = tree.root();
    s.readAddresses = [&tree](std::vector<Ipv4Address>& out) {
      out = tree.addresses;
      return tree.addressError;
    };
    return s;
  }

  std::optional<std::string> savedTz;
  HostTree host;
  std::unique_ptr<DBConnectionToWMI> wmi;
};

TEST_F(HostProbes, DiskSpaceWalksDrivesPartitionsAndFileSystems) {
  // 10737418240 - 4294967296 bytes used; the second file system's mount point
  // holds an apostrophe and a blank.
  EXPECT_EQ(Table(*IPTDiskSpace(Sources(host)).CollectResults()),
            (Rows{"mount_point|file_system|size_mb|space_used_mb|space_available_mb",
                  "/|ext4|10240|6144|4096", "/mnt/it's x|xfs|2048|1024|1024"}));

  // A file system of size 0 (no medium) is left out, not reported as empty.
  host.space[host.root() + "/mnt/it's x"] = {4096, 0, 0, 0};
  EXPECT_EQ(Table(*IPTDiskSpace(Sources(host)).CollectResults()),
            (Rows{"mount_point|file_system|size_mb|space_used_mb|space_available_mb",
                  "/|ext4|10240|6144|4096"}));

  // A statvfs that fails fails the probe: no shorter list of disks.
  host.space.erase(host.root() + "/");
  const Rows failed = Table(*IPTDiskSpace(Sources(host)).CollectResults());
  EXPECT_EQ(failed, (Rows{"error: Query failed. Error code = 0x-2147217404"}));
}

TEST_F(HostProbes, MountPointsWithQuotesSurviveTheQueriesBuiltFromThem) {
  DBConnection& wmi = *Sources(host).wmi;
  for (const std::string mount : {"/mnt/it's x"}) {
    std::unique_ptr<ResultSet> r =
        wmi.ExecuteQuery("ASSOCIATORS OF {Win32_LogicalDisk.DeviceID=" + QuoteWqlLiteral(mount) +
                         "} WHERE AssocClass = Win32_LogicalDiskToPartition");
    ASSERT_TRUE(r->IsOk()) << r->GetErrorMessage();
    ASSERT_EQ(r->GetRowCount(), 1u);
    EXPECT_EQ(r->GetValueByName(0, "DeviceID"), "/dev/sda2");
  }
  // Each literal reads back as the value it was made from.
  for (const std::string value : {"plain", "it's", "a\\b", "\\'", "''", "end\\", ""}) {
    WqlParseResult parsed =
        ParseWql("SELECT Name FROM Win32_LogicalDisk WHERE Name = " + QuoteWqlLiteral(value));
    ASSERT_TRUE(parsed.status.ok()) << value << ": " << parsed.status.detail;
    ASSERT_EQ(parsed.query.conditions.size(), 1u);
    EXPECT_EQ(parsed.query.conditions[0].literal, value);
  }
}

TEST_F(HostProbes, MemoryInMebibytesRoundedDown) {
  // 8388608 kB = 8192 MiB; 1048575 kB available = 1023 MiB; swap 2048 MiB
  // with 1047552 kB = 1023 MiB free.
  EXPECT_EQ(Table(*IPTMemoryUsage(Sources(host)).CollectResults()),
            (Rows{"total_ram_memory_mb|free_ram_memory_mb|total_swap_memory_mb|free_swap_memory_mb",
                  "8192|1023|2048|1023"}));
  fs::remove(host.root() + "/proc/meminfo");
  EXPECT_EQ(Table(*IPTMemoryUsage(Sources(host)).CollectResults()),
            (Rows{"error: Query failed. Error code = 0x-2147217404"}));
}

TEST_F(HostProbes, ProcessorLoadsOverTheIntervalBetweenSamples) {
  ProcessorSampleStore store;
  std::vector<std::chrono::milliseconds> waits;
  // First run: two samples 3000 ms apart. CPU0 was idle 0.5 s of 1 s (dP
  // 5000000, dT 10000000); CPU1's other ticks went back, so its idle time grew
  // more than its time stamp (dP > dT).
  auto wait = [&](std::chrono::milliseconds ms) {
    waits.push_back(ms);
    host.WriteProcStat({{Ticks(10.5), Ticks(80.5)}, {Ticks(9), Ticks(81.5)}});
  };
  EXPECT_EQ(Table(*IPTCPUUsage(Sources(host), store, wait).CollectResults()),
            (Rows{"core_id|load_percentage", "CPU0|50.000000", "CPU1|0.000000"}));
  EXPECT_EQ(waits, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(3000)}));

  // Two processors more: this run compares only the first two, whose counters
  // did not move (equal time stamps give 0); the next run reports all four.
  host.WriteProcStat({{Ticks(10.5), Ticks(80.5)},
                      {Ticks(9), Ticks(81.5)},
                      {Ticks(1), Ticks(1)},
                      {Ticks(1), Ticks(1)}});
  EXPECT_EQ(Table(*IPTCPUUsage(Sources(host), store, wait).CollectResults()),
            (Rows{"core_id|load_percentage", "CPU0|0.000000", "CPU1|0.000000"}));
  host.WriteProcStat({{Ticks(11.25), Ticks(80.75)},
                      {Ticks(9), Ticks(82.5)},
                      {Ticks(1.75), Ticks(1.25)},
                      {Ticks(2), Ticks(1)}});
  EXPECT_EQ(Table(*IPTCPUUsage(Sources(host), store, wait).CollectResults()),
            (Rows{"core_id|load_percentage", "CPU0|75.000000", "CPU1|0.000000", "CPU2|75.000000",
                  "CPU3|100.000000"}));
  EXPECT_EQ(waits.size(), 1u) << "only the first run waits";

  // A failed sample fails the run and keeps the previous sample: the run
  // after it measures from the last good one.
  fs::remove(host.root() + "/proc/stat");
  EXPECT_EQ(Table(*IPTCPUUsage(Sources(host), store, wait).CollectResults()),
            (Rows{"error: Query failed. Error code = 0x-2147217404"}));
  host.WriteProcStat({{Ticks(11.75), Ticks(81.25)},
                      {Ticks(9), Ticks(82.5)},
                      {Ticks(1.75), Ticks(1.25)},
                      {Ticks(2), Ticks(1)}});
  EXPECT_EQ(Table(*IPTCPUUsage(Sources(host), store, wait).CollectResults())[1], "CPU0|50.000000");
}

TEST_F(HostProbes, ProcessorRunsOnSeveralThreadsShareOneSample) {
  ProcessorSampleStore store;
  std::atomic<int> waits{0};
  auto wait = [&](std::chrono::milliseconds) { ++waits; };
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  const HostProbeSources sources = Sources(host);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        const Rows rows = Table(*IPTCPUUsage(sources, store, wait).CollectResults());
        if (rows != Rows{"core_id|load_percentage", "CPU0|0.000000", "CPU1|0.000000"}) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(waits, 1) << "one first run, whichever thread ran it";
}

TEST_F(HostProbes, ProcessorLoadArithmetic) {
  struct Case {
    double dP, dT, load;
  } cases[] = {{5000000, 10000000, 50}, {0, 10000000, 100}, {10000000, 10000000, 0},
               {20000000, 10000000, 0}, {0, 0, 0},          {5, -1, 0}};
  for (const Case& c : cases) EXPECT_EQ(ProcessorLoad(c.dP, c.dT), c.load) << c.dP << " " << c.dT;
  EXPECT_EQ(ProcessorLoad(1, std::nan("")), 0) << "a time stamp that is no number";
}

TEST_F(HostProbes, ProcessAndThreadCounts) {
  EXPECT_EQ(Table(*IPTProcessInfo(Sources(host)).CollectResults()),
            (Rows{"total_process_count|total_thread_count", "3|11"}));
  // The sum is a 32-bit number: past 2147483647 it wraps as the column does.
  host.Write("/proc/9/stat", HostTree::ProcessLine(9, "many", 2147483647));
  EXPECT_EQ(Table(*IPTProcessInfo(Sources(host)).CollectResults()),
            (Rows{"total_process_count|total_thread_count", "4|-2147483638"}));
  host.Write("/proc/10/stat", "garbage\n");
  EXPECT_EQ(Table(*IPTProcessInfo(Sources(host)).CollectResults()),
            (Rows{"error: Query failed. Error code = 0x-2147217404"}));
}

TEST_F(HostProbes, OperatingSystemDetailsAndBootTime) {
  // Always with the architecture, also on a 4.18 kernel; boot at
  // 2013-11-05 09:30:12 UTC (LastBootUpTime 20131105093012.000000+000).
  EXPECT_EQ(Table(*IPTOperatingSystemInfo(Sources(host)).CollectResults()),
            (Rows{"os_details|os_start_time",
                  "Rocky Linux 8.9 (Green Obsidian) 64-bit (4.18.0-513.el8.x86_64)|"
                  "2013-11-5 9:30:12"}));
}

TEST(HostProbeTexts, OsDetailsComposition) {
  struct Case {
    const char *caption, *other, *arch, *csd, *version, *expected;
  } cases[] = {
      {"Microsoft Windows 7 Professional ", "", "64-bit", "Service Pack 1", "6.1.7601",
       "Microsoft Windows 7 Professional 64-bit Service Pack 1 (6.1.7601)"},
      {"Debian GNU/Linux 12 (bookworm)", "", "64-bit", "", "6.1.0-13-amd64 ",
       "Debian GNU/Linux 12 (bookworm) 64-bit (6.1.0-13-amd64)"},
      {"Server", "R2", "", "", "5.2", "Server R2  (5.2)"},
      {"", "", "", "", "", "  ()"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ComposeOsDetails(c.caption, c.other, c.arch, c.csd, c.version), c.expected)
        << c.caption;
}

TEST(HostProbeTexts, BootTimeFromCimDateTime) {
  const std::pair<const char*, const char*> cases[] = {
      {"20131105093012.500000+060", "2013-11-5 9:30:12"},
      {"20131105093012", "2013-11-5 9:30:12"},
      {"201311050930", "2013-11-5 9:30:0"},  // short: the missing pairs read 0
      {"2013110", "2013-11-0 0:0:0"},
      {"2013", "2013-0-0 0:0:0"},
      {"", "0-0-0 0:0:0"},
      {"2013ab05xx3012", "2013-0-5 0:30:12"},  // a pair without digits reads 0
      {"99991231235959.999999-720", "9999-12-31 23:59:59"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(FormatBootTime(text), expected) << text;
}

TEST(HostProbeTexts, DiskInstanceMountPoints) {
  const std::pair<const char*, const char*> cases[] = {
      {"0 C:", "C:"}, {"1 D: E:", "E:"},         {"_Total", "_Total"},
      {"0", "0"},     {"2  /  /data ", "/data"}, {"", ""},
      {" x", " x"},
  };
  for (const auto& [name, expected] : cases)
    EXPECT_EQ(DiskInstanceMountPoint(name), expected) << "'" << name << "'";
}

TEST_F(HostProbes, DiskBusyFromTwoReadingsOfTheCounters) {
  // Between the first query's two readings, one second apart, sda was busy
  // 250 ms of the second.
  int readings = 0;
  host.betweenDiskReadings = [&] {
    ++readings;
    host.Write("/proc/diskstats",
               "   8       0 sda 100 0 2048 10 200 0 4096 20 0 1250 30 0 0 0 0\n"
               "   8       1 sda1 60 0 1024 5 100 0 2048 10 0 500 15 0 0 0 0\n"
               "   8       2 sda2 40 0 1024 5 100 0 2048 10 0 500 15 0 0 0 0\n");
  };
  EXPECT_EQ(Table(*IPTDiskBusyInfo(Sources(host)).CollectResults()),
            (Rows{"mount_point|disk_busy", "/mnt/it's\\040x|25", "_Total|25"}))
      << "the instance is named \"0 / /mnt/it's\\040x\": its last word is the mount point, "
         "its blank written as mountinfo writes it";
  EXPECT_EQ(readings, 1);
  // Two seconds later with 1000 ms more busy time: 50 %.
  host.monotonic += 2;
  host.Write("/proc/diskstats", "   8       0 sda 100 0 2048 10 200 0 4096 20 0 2250 30 0 0 0 0\n");
  EXPECT_EQ(Table(*IPTDiskBusyInfo(Sources(host)).CollectResults()),
            (Rows{"mount_point|disk_busy", "/mnt/it's\\040x|50", "_Total|50"}));
  EXPECT_EQ(readings, 1);
}

TEST_F(HostProbes, NetworkRowsPerAddressAndAcceptedInterface) {
  // lo: down but a loopback; eth0: 10 Gb/s, counters beyond 32 bits print
  // their low 32 bits as signed numbers; its secondary permanent address is
  // left out, its secondary leased one kept; eth1 is down; wlan0 has an
  // unknown state with a carrier and an unknown speed; tun0 is no accepted type.
  const std::string header =
      "interface_name|ip_address|packets_sent|packets_received|sent_bytes_kb|receive_bytes_kb|"
      "out_packets_discards|in_packets_discards|out_packets_errors|in_packets_errors|"
      "link_speed_mbps";
  const Rows expected{header, "lo0|127.0.0.1|10|10|0|1|0|0|0|0|0",
                      "eth0|10.0.0.5|1|-2147483648|10|4194305|4|2|3|1|10000",
                      "eth1|10.0.0.7|1|-2147483648|10|4194305|4|2|3|1|10000",
                      "eth2|172.16.0.2|6|5|3|2|0|0|0|0|0"};
  EXPECT_EQ(Table(*IPTNetworkStatistics(Sources(host)).CollectResults()), expected);
  // The names start again at 0 in every run.
  EXPECT_EQ(Table(*IPTNetworkStatistics(Sources(host)).CollectResults()), expected);

  // A failure of either table fails the probe.
  host.addressError = "netlink RTM_GETADDR: Operation not permitted";
  EXPECT_EQ(Table(*IPTNetworkStatistics(Sources(host)).CollectResults()),
            (Rows{"error: GetIpAddrTable: netlink RTM_GETADDR: Operation not permitted"}));
  host.addressError.clear();
  fs::remove(host.root() + "/proc/net/dev");
  const Rows failed = Table(*IPTNetworkStatistics(Sources(host)).CollectResults());
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].rfind("error: GetIfTable: cannot read " + host.root() + "/proc/net/dev", 0),
            0u)
      << failed[0];
}

TEST(HostProbeTexts, InterfaceKindsAndCounters) {
  struct Case {
    uint32_t linkType;
    bool wireless;
    std::string state;
    bool carrier;
    uint32_t type;
    bool operational;
  } cases[] = {
      {772, false, "down", false, 24, false},   {1, false, "up", false, 6, true},
      {1, true, "unknown", true, 71, true},     {1, false, "unknown", false, 6, false},
      {24, false, "dormant", true, 144, false}, {65534, false, "up", true, 1, true},
  };
  for (const Case& c : cases) {
    NetworkInterface n;
    n.linkType = c.linkType;
    n.wireless = c.wireless;
    n.operState = c.state;
    n.carrier = c.carrier;
    EXPECT_EQ(InterfaceType(n), c.type) << c.linkType;
    EXPECT_EQ(InterfaceOperational(n), c.operational) << c.state;
  }
  const std::pair<uint64_t, const char*> counters[] = {
      {0, "0"},           {2147483647, "2147483647"}, {2147483648, "-2147483648"},
      {4294967295, "-1"}, {4294967296, "0"},          {1023 >> 10, "0"},
      {1024 >> 10, "1"},
  };
  for (const auto& [value, text] : counters) EXPECT_EQ(FormatCounter32(value), text) << value;
}

TEST_F(HostProbes, DiskIOCountersOfEachLogicalDisk) {
  // sda: 2048 sectors of 512 bytes read = 1048576 bytes = 256 blocks of 4096;
  // 4096 written = 512 blocks. Both file systems repeat the disk's counters.
  EXPECT_EQ(Table(*IPTIOAnalysis(Sources(host)).CollectResults()),
            (Rows{"disk_drive|blks_read|blks_wrtn", "/|256|512", "/mnt/it's x|256|512"}));
  // A disk without counters cannot be opened: no row, no error.
  host.Write("/proc/diskstats", "   8       1 sda1 60 0 1024 5 100 0 2048 10 0 500 15 0 0 0 0\n");
  EXPECT_EQ(Table(*IPTIOAnalysis(Sources(host)).CollectResults()),
            (Rows{"disk_drive|blks_read|blks_wrtn"}));
  // Counters that cannot be read fail the probe.
  host.Write("/proc/diskstats", "   8       0 sda x\n");
  EXPECT_EQ(Table(*IPTIOAnalysis(Sources(host)).CollectResults()),
            (Rows{"error: IOAnalysis DeviceIOControl failed: " + host.root() +
                  "/proc/diskstats: malformed line for sda"}));
}

TEST_F(HostProbes, WithoutAWmiConnectionEveryWmiProbeFails) {
  HostProbeSources none = Sources(host);
  none.wmi = nullptr;
  ProcessorSampleStore store;
  std::vector<std::unique_ptr<InternalProbe>> probes;
  probes.push_back(std::make_unique<IPTDiskSpace>(none));
  probes.push_back(std::make_unique<IPTMemoryUsage>(none));
  probes.push_back(std::make_unique<IPTCPUUsage>(none, store));
  probes.push_back(std::make_unique<IPTProcessInfo>(none));
  probes.push_back(std::make_unique<IPTOperatingSystemInfo>(none));
  probes.push_back(std::make_unique<IPTDiskBusyInfo>(none));
  probes.push_back(std::make_unique<IPTIOAnalysis>(none));
  for (const auto& probe : probes) {
    EXPECT_EQ(Table(*probe->CollectResults()),
              (Rows{std::string("error: ") + NoWmiConnectionText()}));
  }
  // The network probe reads no WMI class.
  EXPECT_EQ(Table(*IPTNetworkStatistics(none).CollectResults()).size(), 5u);
}

TEST(HostProbeRegistry, EveryHostCodeHasItsProbe) {
  for (const char* code : {"disk_space", "memory_usage", "cpu_usage", "network_statistics",
                           "io_analysis", "disk_busy_info", "os_statistics", "os_info"}) {
    EXPECT_NE(CreateInternalProbeCollector(code, 0, ""), nullptr) << code;
  }
  EXPECT_EQ(CreateInternalProbeCollector("Disk_Space", 0, ""), nullptr);
}

}  // namespace
