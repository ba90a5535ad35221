// A small host tree written into a temporary directory, for the host probes
// and the WMI engine: one disk sda (sda1 on "/", sda2 on "/mnt/it's x"), two
// processors, three processes, five network interfaces and their addresses,
// with statvfs figures, a clock and the wait between two disk readings under
// the test's control. Tests change single files to make their cases. Used by
// one test thread.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "db/wmi_host.h"
#include "platform/host_info.h"
#include "support/temp_dir.h"

// Clock ticks of `seconds` in /proc/stat.
inline uint64_t Ticks(double seconds) {
  return static_cast<uint64_t>(seconds * static_cast<double>(ClockTicksPerSecond()));
}

class HostTree {
 public:
  HostTree() {
    Write("/proc/partitions",
          "major minor  #blocks  name\n\n   8        0   41943040 sda\n"
          "   8        1   20971520 sda1\n   8        2   20969472 sda2\n");
    Write("/sys/block/sda/dev", "8:0\n");
    Write("/sys/block/sda/size", "83886080\n");
    Write("/sys/block/sda/removable", "0\n");
    Write("/sys/block/sda/queue/logical_block_size", "4096\n");
    Write("/sys/block/sda/sda1/dev", "8:1\n");
    Write("/sys/block/sda/sda1/partition", "1\n");
    Write("/sys/block/sda/sda1/start", "2048\n");
    Write("/sys/block/sda/sda1/size", "41943040\n");
    Write("/sys/block/sda/sda2/dev", "8:2\n");
    Write("/sys/block/sda/sda2/partition", "2\n");
    Write("/sys/block/sda/sda2/start", "41945088\n");
    Write("/sys/block/sda/sda2/size", "41938944\n");
    // The apostrophe and the blank (written \040 by the kernel) reach the
    // queries built from the mount point.
    Write("/proc/self/mountinfo",
          "21 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
          "22 21 8:2 / /mnt/it's\\040x rw - xfs /dev/sda2 rw\n"
          "23 21 0:5 / /proc rw - proc proc rw\n");
    // 10737418240 bytes with 4294967296 free; 2 GiB with 1 GiB free.
    space[root() + "/"] = {4096, 2621440, 1100000, 1048576};
    space[root() + "/mnt/it's x"] = {4096, 524288, 300000, 262144};
    Write("/proc/diskstats",
          "   8       0 sda 100 0 2048 10 200 0 4096 20 0 1000 30 0 0 0 0\n"
          "   8       1 sda1 60 0 1024 5 100 0 2048 10 0 500 15 0 0 0 0\n"
          "   8       2 sda2 40 0 1024 5 100 0 2048 10 0 500 15 0 0 0 0\n");
    Write("/proc/meminfo",
          "MemTotal:        8388608 kB\nMemFree:          100000 kB\n"
          "MemAvailable:     1048575 kB\nSwapTotal:        2097152 kB\n"
          "SwapFree:         1047552 kB\n");
    WriteProcStat({{Ticks(10), Ticks(80)}, {Ticks(10), Ticks(80)}});
    Write("/proc/1/stat", ProcessLine(1, "systemd", 1));
    Write("/proc/42/stat", ProcessLine(42, "postgres", 7));
    Write("/proc/77/stat", ProcessLine(77, "(worker) x", 3));
    Write("/proc/sys/kernel/hostname", "host\n");
    Write("/proc/sys/kernel/osrelease", "4.18.0-513.el8.x86_64\n");
    Write("/proc/sys/kernel/version", "#1 SMP\n");
    Write("/proc/sys/kernel/arch", "x86_64\n");
    Write("/etc/os-release", "PRETTY_NAME=\"Rocky Linux 8.9 (Green Obsidian)\"\nNAME=\"Rocky\"\n");

    Write("/proc/net/dev",
          "Inter-|   Receive                                                |  Transmit\n"
          " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets "
          "errs drop fifo colls carrier compressed\n"
          "    lo:    1024      10    0    0    0     0          0         0     1023      10    "
          "0    0    0     0       0          0\n"
          "  eth0: 4294968320 2147483648 1 2 0 0 0 0 10240 4294967297 3 4 0 0 0 0\n"
          "  eth1:       0       0    0    0    0     0          0         0        0       0    "
          "0    0    0     0       0          0\n"
          " wlan0:    2048       5    0    0    0     0          0         0     3072       6    "
          "0    0    0     0       0          0\n"
          "  tun0:     100       1    0    0    0     0          0         0      100       1    "
          "0    0    0     0       0          0\n");
    Interface("lo", 1, 772, "down", 6, "");  // the loopback: a row whatever its state
    Interface("eth0", 2, 1, "up", 6, "10000");
    Interface("eth1", 3, 1, "down", 6, "");  // a disconnected adapter: no row
    Interface("wlan0", 4, 1, "unknown", 6, "-1");
    Write("/sys/class/net/wlan0/carrier", "1\n");
    Write("/sys/class/net/wlan0/wireless/.keep", "");
    Interface("tun0", 5, 65534, "unknown", 0, "");  // not an accepted type
    addresses = {{1, "127.0.0.1", false, true},   {2, "10.0.0.5", false, true},
                 {2, "10.0.0.6", true, true},     {2, "10.0.0.7", true, false},
                 {3, "192.168.9.1", false, true}, {4, "172.16.0.2", false, false},
                 {5, "10.8.0.1", false, true}};

    options.root = root();
    options.readSpace = [this](const std::string& path, FileSystemSpace& out) {
      auto it = space.find(path);
      if (it == space.end()) return "statvfs " + path + ": Permission denied";
      out = it->second;
      return std::string();
    };
    options.monotonicSeconds = [this] { return monotonic; };
    options.sleep = [this](double seconds) {
      monotonic += seconds;
      if (betweenDiskReadings) betweenDiskReadings();
    };
  }

  std::string root() const { return dir.str(); }

  void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(root() + path).parent_path());
    std::ofstream(root() + path, std::ios::trunc) << text;
  }

  // /proc/stat with one line per processor: idle ticks and all other ticks.
  void WriteProcStat(const std::vector<std::pair<uint64_t, uint64_t>>& cpus) {
    uint64_t busy = 0, idle = 0;
    std::string lines;
    for (size_t i = 0; i < cpus.size(); ++i) {
      busy += cpus[i].first;
      idle += cpus[i].second;
      lines += "cpu" + std::to_string(i) + " " + std::to_string(cpus[i].first) + " 0 0 " +
               std::to_string(cpus[i].second) + " 0 0 0 0 0 0\n";
    }
    Write("/proc/stat", "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) +
                            " 0 0 0 0 0 0\n" + lines + "btime 1383643812\n");
  }

  static std::string ProcessLine(int pid, const std::string& comm, int64_t threads) {
    return std::to_string(pid) + " (" + comm + ") S 1 1 1 0 -1 0 0 0 0 0 1 1 0 0 20 0 " +
           std::to_string(threads) + " 0 100 1000 10 0\n";
  }

  void Interface(const std::string& name, int index, int type, const std::string& state,
                 int addressLength, const std::string& speed) {
    const std::string dir = "/sys/class/net/" + name + "/";
    Write(dir + "ifindex", std::to_string(index) + "\n");
    Write(dir + "type", std::to_string(type) + "\n");
    Write(dir + "operstate", state + "\n");
    Write(dir + "addr_len", std::to_string(addressLength) + "\n");
    if (!speed.empty()) Write(dir + "speed", speed + "\n");
  }

  TempDir dir;
  std::map<std::string, FileSystemSpace> space;
  std::vector<Ipv4Address> addresses;
  std::string addressError;
  double monotonic = 100;
  std::function<void()> betweenDiskReadings;
  WmiHostOptions options;
};
