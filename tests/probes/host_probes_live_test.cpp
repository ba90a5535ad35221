// The host probes on the machine running the tests, checked against df, free,
// nproc, ip and /proc/diskstats (within tolerances where figures move between
// the two readings).
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "db/db_connection_to_wmi.h"
#include "probes/host_resource_probes.h"
#include "probes/ipt_cpu_usage.h"
#include "probes/network_io_probes.h"
#include "support/process.h"

namespace {

std::string Output(const std::vector<std::string>& argv) {
  ProcessResult r = RunProcess(argv);
  EXPECT_EQ(r.exitCode, 0) << argv[0] << ": " << r.output;
  return r.output;
}

int64_t Number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// True when `a` and `b` differ by at most `share` of the larger, or by `slack`.
bool Near(double a, double b, double share, double slack) {
  return std::abs(a - b) <= std::max(share * std::max(std::abs(a), std::abs(b)), slack);
}

// The rows of a probe that must succeed, by the value of their first column.
std::map<std::string, std::map<std::string, std::string>> Rows(InternalProbe&& probe) {
  std::unique_ptr<ResultSet> r = probe.CollectResults();
  EXPECT_TRUE(r->IsOk()) << r->GetErrorMessage();
  std::map<std::string, std::map<std::string, std::string>> out;
  for (uint32_t i = 0; i < r->GetRowCount(); ++i) {
    auto& row = out[r->GetValueByIndex(static_cast<int32_t>(i), 0)];
    for (const std::string& c : r->columnNames) row[c] = r->GetValueByName(i, c);
  }
  return out;
}

class LiveHostProbes : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ConnectToWMI());
    sources = LiveHostSources();
    ASSERT_NE(sources.wmi, nullptr);
  }
  HostProbeSources sources;
};

TEST_F(LiveHostProbes, DiskSpaceAgreesWithDf) {
  auto rows = Rows(IPTDiskSpace(sources));
  ASSERT_FALSE(rows.empty()) << "the root file system is on a block device here";
  std::istringstream df(Output({"df", "-B1", "--output=target,size,avail"}));
  std::map<std::string, std::pair<int64_t, int64_t>> dfSizes;
  std::string line;
  std::getline(df, line);
  for (std::string target, size, avail; df >> target >> size >> avail;)
    dfSizes[target] = {Number(size), Number(avail)};
  for (const auto& [mount, row] : rows) {
    ASSERT_TRUE(dfSizes.count(mount)) << mount;
    EXPECT_EQ(Number(row.at("size_mb")), dfSizes[mount].first / 1048576) << mount;
    EXPECT_TRUE(
        Near(Number(row.at("space_available_mb")), dfSizes[mount].second / 1048576.0, 0.01, 64))
        << mount << ": " << row.at("space_available_mb");
    EXPECT_TRUE(Near(Number(row.at("space_used_mb")) + Number(row.at("space_available_mb")),
                     Number(row.at("size_mb")), 0, 1))
        << "used and available add up to the size, give or take the rounding";
  }
}

TEST_F(LiveHostProbes, MemoryAgreesWithFree) {
  auto rows = Rows(IPTMemoryUsage(sources));
  ASSERT_EQ(rows.size(), 1u);
  const auto& row = rows.begin()->second;
  std::istringstream free(Output({"free", "-b"}));
  std::string line, label, total, used, freeBytes, shared, cache, available;
  std::getline(free, line);
  free >> label >> total >> used >> freeBytes >> shared >> cache >> available;
  EXPECT_EQ(Number(row.at("total_ram_memory_mb")), Number(total) / 1048576);
  EXPECT_TRUE(Near(Number(row.at("free_ram_memory_mb")), Number(available) / 1048576.0, 0.05, 64))
      << row.at("free_ram_memory_mb") << " " << available;
  std::string swapTotal, swapUsed, swapFree;
  free >> label >> swapTotal >> swapUsed >> swapFree;
  EXPECT_EQ(Number(row.at("total_swap_memory_mb")), Number(swapTotal) / 1048576);
  EXPECT_TRUE(Near(Number(row.at("free_swap_memory_mb")), Number(swapFree) / 1048576.0, 0.05, 64));
}

TEST_F(LiveHostProbes, OneLoadPerProcessorAsNprocCountsThem) {
  ProcessorSampleStore store;
  auto wait = [](std::chrono::milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  auto rows = Rows(IPTCPUUsage(sources, store, wait));
  EXPECT_EQ(static_cast<int64_t>(rows.size()), Number(Output({"nproc", "--all"})));
  for (const auto& [core, row] : rows) {
    const double load = std::strtod(row.at("load_percentage").c_str(), nullptr);
    EXPECT_GE(load, 0) << core;
    EXPECT_LE(load, 100) << core;
    EXPECT_EQ(row.at("load_percentage").size() - row.at("load_percentage").find('.'), 7u);
  }
}

TEST_F(LiveHostProbes, NetworkCountersAgreeWithIp) {
  auto rows = Rows(IPTNetworkStatistics(sources));
  std::map<std::string, std::map<std::string, std::string>> byAddress;
  for (const auto& [name, row] : rows) byAddress[row.at("ip_address")] = row;
  ASSERT_TRUE(byAddress.count("127.0.0.1")) << "the loopback row";
  EXPECT_EQ(byAddress["127.0.0.1"].at("interface_name").rfind("lo", 0), 0u);

  // Every address ip lists on an interface that is up and not secondary has its row.
  std::istringstream addresses(Output({"ip", "-4", "-o", "addr"}));
  std::map<std::string, std::string> interfaceOf;
  for (std::string line; std::getline(addresses, line);) {
    std::istringstream words(line);
    std::string index, name, family, cidr;
    words >> index >> name >> family >> cidr;
    if (line.find("secondary") == std::string::npos)
      interfaceOf[cidr.substr(0, cidr.find('/'))] = name;
  }
  for (const auto& [address, name] : interfaceOf) {
    const std::string state = Output({"cat", "/sys/class/net/" + name + "/operstate"});
    if (name != "lo" && state != "up\n") continue;
    ASSERT_TRUE(byAddress.count(address)) << address << " on " << name;
    // Counters from ip -s link: the probe read them first, so they are at most
    // as large (a little traffic may pass between the readings).
    std::istringstream link(Output({"ip", "-s", "-o", "link", "show", "dev", name}));
    std::string text((std::istreambuf_iterator<char>(link)), std::istreambuf_iterator<char>());
    const size_t rx = text.find("RX:");
    const size_t tx = text.find("TX:");
    ASSERT_NE(rx, std::string::npos);
    auto values = [&](size_t at) {
      std::istringstream s(text.substr(text.find('\\', at) + 1));
      int64_t bytes = 0, packets = 0;
      s >> bytes >> packets;
      return std::pair<int64_t, int64_t>(bytes, packets);
    };
    const auto [rxBytes, rxPackets] = values(rx);
    const auto [txBytes, txPackets] = values(tx);
    const auto& row = byAddress[address];
    EXPECT_TRUE(Near(Number(row.at("packets_received")), static_cast<int32_t>(rxPackets), 0.01, 50))
        << name << " " << row.at("packets_received") << " " << rxPackets;
    EXPECT_TRUE(Near(Number(row.at("packets_sent")), static_cast<int32_t>(txPackets), 0.01, 50));
    EXPECT_TRUE(
        Near(Number(row.at("receive_bytes_kb")), static_cast<int32_t>(rxBytes >> 10), 0.01, 64));
    EXPECT_TRUE(
        Near(Number(row.at("sent_bytes_kb")), static_cast<int32_t>(txBytes >> 10), 0.01, 64));
    std::ifstream speedFile("/sys/class/net/" + name + "/speed");
    int64_t speed = -1;
    if (!(speedFile >> speed) || speed < 0) speed = 0;
    EXPECT_EQ(Number(row.at("link_speed_mbps")), speed) << name;
  }
}

TEST_F(LiveHostProbes, DiskIOAgreesWithProcDiskstats) {
  auto rows = Rows(IPTIOAnalysis(sources));
  auto disks = Rows(IPTDiskSpace(sources));
  EXPECT_EQ(rows.size(), disks.size()) << "every file system on a disk has its counters";
  std::map<std::string, std::pair<uint64_t, uint64_t>> sectors;
  std::ifstream stats("/proc/diskstats");
  for (std::string line; std::getline(stats, line);) {
    std::istringstream words(line);
    std::string major, minor, name, reads, merged, read, ms, writes, wmerged, written;
    words >> major >> minor >> name >> reads >> merged >> read >> ms >> writes >> wmerged >>
        written;
    sectors[name] = {std::strtoull(read.c_str(), nullptr, 10),
                     std::strtoull(written.c_str(), nullptr, 10)};
  }
  // Each logical disk repeats its drive's counters: one of the drives matches.
  for (const auto& [drive, row] : rows) {
    bool matched = false;
    for (const auto& [name, counts] : sectors) {
      std::ifstream sizeFile("/sys/block/" + name + "/queue/logical_block_size");
      uint64_t bytesPerSector = 0;
      if (!(sizeFile >> bytesPerSector) || bytesPerSector == 0) continue;
      const double read = static_cast<double>(counts.first * 512 / bytesPerSector);
      const double written = static_cast<double>(counts.second * 512 / bytesPerSector);
      matched |= Near(std::strtod(row.at("blks_read").c_str(), nullptr), read, 0.01, 2048) &&
                 Near(std::strtod(row.at("blks_wrtn").c_str(), nullptr), written, 0.01, 65536);
    }
    EXPECT_TRUE(matched) << drive << " " << row.at("blks_read") << " " << row.at("blks_wrtn");
  }
}

TEST_F(LiveHostProbes, ProcessesOperatingSystemAndDiskBusy) {
  auto processes = Rows(IPTProcessInfo(sources));
  ASSERT_EQ(processes.size(), 1u);
  const int64_t count = Number(processes.begin()->second.at("total_process_count"));
  const std::string ps = Output({"ps", "-e", "-o", "pid="});
  const int64_t psCount = std::count(ps.begin(), ps.end(), '\n');
  EXPECT_TRUE(Near(count, psCount, 0.2, 10)) << count << " " << psCount;
  EXPECT_GE(Number(processes.begin()->second.at("total_thread_count")), count);

  auto os = Rows(IPTOperatingSystemInfo(sources));
  ASSERT_EQ(os.size(), 1u);
  std::string release = Output({"uname", "-r"});
  release.pop_back();
  const std::string details = os.begin()->first;
  EXPECT_NE(details.find(" (" + release + ")"), std::string::npos) << details;
  EXPECT_NE(details.find("-bit"), std::string::npos) << details;
  // The boot time from /proc/stat, in local time without leading zeros.
  std::ifstream stat("/proc/stat");
  time_t boot = 0;
  for (std::string word; stat >> word;) {
    if (word == "btime") stat >> boot;
  }
  struct tm local {};
  localtime_r(&boot, &local);
  char expected[64];
  std::snprintf(expected, sizeof expected, "%d-%d-%d %d:%d:%d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  EXPECT_EQ(os.begin()->second.at("os_start_time"), expected);

  auto busy = Rows(IPTDiskBusyInfo(sources));
  ASSERT_TRUE(busy.count("_Total"));
  for (const auto& [mount, row] : busy) {
    EXPECT_GE(Number(row.at("disk_busy")), 0) << mount;
    EXPECT_LE(Number(row.at("disk_busy")), 100) << mount;
  }
}

}  // namespace
