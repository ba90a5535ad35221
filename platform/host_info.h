// Readers of the Linux host's own description: /proc, /sys, statvfs, uname and
// /etc/os-release. Each returns the facts as the kernel gives them, in the
// kernel's units, with the source of each field named next to it; turning them
// into rows is the caller's business. Every reader takes the root directory of
// the tree it reads ("/" for the live host) so that tests can feed recorded
// trees. A reader returns an empty text on success and an error text naming the
// file and the cause otherwise; it never hands back a shortened list as success.
// Processes and block devices that vanish while they are listed are left out,
// since they no longer exist. All readers are safe on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

// Path of `path` (absolute, beginning with '/') inside the tree at `root`.
std::string HostPath(const std::string& root, std::string_view path);

// /proc/meminfo, in kibibytes.
struct MemoryInfo {
  uint64_t memTotalKb = 0;      // MemTotal
  uint64_t memAvailableKb = 0;  // MemAvailable (free plus reclaimable)
  uint64_t swapTotalKb = 0;     // SwapTotal
  uint64_t swapFreeKb = 0;      // SwapFree
};
std::string ReadMemoryInfo(const std::string& root, MemoryInfo& out);

// One cpu line of /proc/stat, in clock ticks (ClockTicksPerSecond()).
struct CpuTimes {
  int cpu = -1;  // N of "cpuN"; -1 for the "cpu" line that sums all processors
  uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  // Every tick of the line (guest time is already part of user and nice).
  uint64_t Total() const { return user + nice + system + idle + iowait + irq + softirq + steal; }
};
// /proc/stat: the summed line first, then one line per online processor.
struct ProcStat {
  std::vector<CpuTimes> cpus;
  int64_t bootTime = 0;  // btime: seconds since the epoch
};
std::string ReadProcStat(const std::string& root, ProcStat& out);

// Clock ticks per second of /proc times (sysconf _SC_CLK_TCK); page size in bytes.
long ClockTicksPerSecond();
long PageSizeBytes();

// /proc/<pid>/stat of one process.
struct ProcessStat {
  int32_t pid = 0;            // field 1
  std::string comm;           // field 2, without its parentheses
  int32_t ppid = 0;           // field 4
  uint64_t minorFaults = 0;   // field 10, minflt
  uint64_t majorFaults = 0;   // field 12, majflt
  uint64_t userTicks = 0;     // field 14, utime
  uint64_t systemTicks = 0;   // field 15, stime
  int64_t threads = 0;        // field 20, num_threads
  uint64_t startTicks = 0;    // field 22, starttime: ticks after boot
  uint64_t virtualBytes = 0;  // field 23, vsize
  int64_t residentPages = 0;  // field 24, rss
};
// Parses the text of one /proc/<pid>/stat file; false when it is malformed.
bool ParseProcessStat(std::string_view text, ProcessStat& out);
// Every process under /proc, by process id.
std::string ReadProcesses(const std::string& root, std::vector<ProcessStat>& out);

// The number of processes and the total of their threads, without opening a
// file per process: the processes are the numeric entries of /proc (one
// directory listing), the threads the second number of the fourth field of
// /proc/loadavg, the kernel's count of every task (each thread of each
// process, zombies included, the per-processor idle tasks not), which equals
// the sum of num_threads over /proc/<pid>/stat. That equality holds only where
// /proc shows every task the kernel counts, so the counts are given only for
// the live host ("/") in the initial process namespace with /proc mounted
// without hidepid; elsewhere (a recorded tree, a container, hidden processes)
// and when a file cannot be read, CountTasks returns false and the caller
// counts process by process (ReadProcesses).
struct TaskCounts {
  int64_t processes = 0;
  int64_t threads = 0;
};
bool CountTasks(const std::string& root, TaskCounts& out);

// One line of /proc/diskstats.
struct DiskStats {
  uint32_t major = 0, minor = 0;
  std::string name;
  uint64_t readsCompleted = 0;   // field 4
  uint64_t sectorsRead = 0;      // field 6, 512-byte units
  uint64_t writesCompleted = 0;  // field 8
  uint64_t sectorsWritten = 0;   // field 10, 512-byte units
  uint64_t inFlight = 0;         // field 12
  uint64_t ioTicksMs = 0;        // field 13: milliseconds the device was busy
};
std::string ReadDiskStats(const std::string& root, std::vector<DiskStats>& out);

// One line of /proc/self/mountinfo.
struct MountEntry {
  uint32_t major = 0, minor = 0;  // field 3; major 0 for file systems without a block device
  std::string root;               // field 4: the part of the file system mounted here
  std::string mountPoint;         // field 5, octal escapes decoded
  std::string fsType;             // first field after " - "
  std::string source;             // second field after " - ", octal escapes decoded
};
std::string ReadMounts(const std::string& root, std::vector<MountEntry>& out);

// The live host's mount table, parsed again only after it changed: the file
// stays open, and the kernel marks it for poll() (POLLPRI) after every mount,
// unmount or remount in the process's mount namespace, so an unchanged table
// costs one poll instead of a read of every mount. Safe on any thread.
class MountTableWatch {
 public:
  std::string Read(std::shared_ptr<const std::vector<MountEntry>>& out);

 private:
  std::mutex mutex_;
  UniqueFd fd_;                                           // guarded by mutex_
  std::shared_ptr<const std::vector<MountEntry>> table_;  // guarded by mutex_; null: read again
};

// One line of /proc/partitions: every block device and partition with its size.
struct PartitionListEntry {
  uint32_t major = 0, minor = 0;
  uint64_t blocks = 0;  // #blocks, 1024-byte units
  std::string name;
  bool operator==(const PartitionListEntry&) const = default;
};
// `found` is false (and no error) when the file does not exist.
std::string ReadPartitionList(const std::string& root, std::vector<PartitionListEntry>& out,
                              bool& found);

// A partition: /sys/block/<disk>/<partition>/.
struct BlockPartition {
  std::string name;
  uint32_t major = 0, minor = 0;     // dev
  uint32_t number = 0;               // partition
  uint64_t startSectors = 0;         // start, 512-byte units
  uint64_t sizeSectors = 0;          // size, 512-byte units
  std::vector<std::string> holders;  // holders/: devices built on it (device-mapper, md)
};
// A whole block device: /sys/block/<name>/.
struct BlockDevice {
  std::string name;
  uint32_t major = 0, minor = 0;           // dev
  uint64_t sizeSectors = 0;                // size, 512-byte units
  uint32_t logicalBlockSize = 512;         // queue/logical_block_size
  bool removable = false;                  // removable
  std::string model;                       // device/model, trimmed; empty when absent
  std::string dmName;                      // dm/name for device-mapper devices
  std::string mdLevel;                     // md/level for md arrays
  std::vector<std::string> holders;        // holders/
  std::vector<std::string> slaves;         // slaves/: devices it is built on
  std::vector<BlockPartition> partitions;  // by partition number
};
// Every block device under /sys/block, sorted by name.
std::string ReadBlockDevices(const std::string& root, std::vector<BlockDevice>& out);

// uname(2) for the live host; for another root, the same facts from
// /proc/sys/kernel/{hostname,osrelease,version,arch}.
struct KernelInfo {
  std::string hostName;  // nodename
  std::string release;   // release
  std::string version;   // version
  std::string machine;   // machine
};
std::string ReadKernelInfo(const std::string& root, KernelInfo& out);

// /etc/os-release (or /usr/lib/os-release).
struct OsRelease {
  bool found = false;      // false when neither file exists
  std::string prettyName;  // PRETTY_NAME
  std::string name;        // NAME
  std::string versionId;   // VERSION_ID
};
OsRelease ParseOsRelease(std::string_view text);
std::string ReadOsRelease(const std::string& root, OsRelease& out);

// /sys/class/dmi/id: the machine's maker and model; empty where absent.
struct MachineInfo {
  std::string vendor;   // sys_vendor
  std::string product;  // product_name
};
std::string ReadMachineInfo(const std::string& root, MachineInfo& out);

// statvfs(3) of a mounted file system.
struct FileSystemSpace {
  uint64_t fragmentSize = 0;     // f_frsize
  uint64_t blocks = 0;           // f_blocks
  uint64_t freeBlocks = 0;       // f_bfree
  uint64_t availableBlocks = 0;  // f_bavail: free blocks unprivileged users may use
};
std::string ReadFileSystemSpace(const std::string& path, FileSystemSpace& out);

// A network interface: /sys/class/net/<name>/ for its kind and state, with its
// counters from /proc/net/dev (the same kernel counters as statistics/, 64 bits).
struct NetworkInterface {
  std::string name;            // directory name under /sys/class/net
  uint32_t index = 0;          // ifindex
  uint32_t linkType = 0;       // type: ARPHRD_* (1 Ethernet, 772 loopback, 24 IEEE 1394)
  bool wireless = false;       // wireless/ or phy80211/ present
  std::string operState;       // operstate: up, down, unknown, dormant, ...
  bool carrier = false;        // carrier is 1 (the file cannot be read while down)
  uint32_t addressLength = 0;  // addr_len: bytes of the hardware address
  int64_t speedMbps = -1;      // speed in Mb/s; -1 when the driver does not know it
  uint64_t rxBytes = 0, rxPackets = 0, rxErrors = 0, rxDropped = 0;  // /proc/net/dev receive
  uint64_t txBytes = 0, txPackets = 0, txErrors = 0, txDropped = 0;  // /proc/net/dev transmit
};
// Every interface of the host. For the live host ("/") the kernel's routing
// socket gives them in one answer (RTM_GETLINK: the same facts as the files),
// in the order of their index, with only the speed of interfaces that are up
// and the wireless check read from sysfs; for another root,
// ReadNetworkInterfaceFiles.
std::string ReadNetworkInterfaces(const std::string& root, std::vector<NetworkInterface>& out);
// The same from the files: every interface that /proc/net/dev lists, in its
// order, with its /sys/class/net directory. An interface that vanishes between
// the two files is left out.
std::string ReadNetworkInterfaceFiles(const std::string& root, std::vector<NetworkInterface>& out);

// One IPv4 address of an interface, from the kernel's address table (rtnetlink).
struct Ipv4Address {
  uint32_t interfaceIndex = 0;  // ifa_index
  std::string address;          // IFA_LOCAL (IFA_ADDRESS when absent), dotted decimal
  bool secondary = false;       // IFA_F_SECONDARY: an alias in a subnet that has a primary
  bool permanent = false;       // IFA_F_PERMANENT: configured, not leased with a lifetime
};
// The live host's IPv4 addresses, in the kernel's order (by interface). The
// kernel answers at once; the wait is still bounded by a 5-second receive timeout.
std::string ReadIpv4Addresses(std::vector<Ipv4Address>& out);
