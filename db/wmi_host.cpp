#include "db/wmi_host.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

#include "db/wql_parser.h"

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(Lower(a[i]));
    const unsigned char y = static_cast<unsigned char>(Lower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

// ---------------------------------------------------------------------------
// Classes and their properties.

enum class CimType { kString, kUInt16, kUInt32, kUInt64, kBoolean, kDateTime };

bool IsNumeric(CimType t) {
  return t == CimType::kUInt16 || t == CimType::kUInt32 || t == CimType::kUInt64;
}

struct PropertyDef {
  const char* name;
  CimType type;
};

using Object = std::vector<WmiValue>;

void Set(Object& o, size_t index, std::string text) {
  o[index].isNull = false;
  o[index].text = std::move(text);
}
void SetNumber(Object& o, size_t index, uint64_t n) {
  o[index].isNull = false;
  char buffer[24];
  const int len = std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(n));
  o[index].text.assign(buffer, static_cast<size_t>(len));
}
void SetBool(Object& o, size_t index, bool b) { Set(o, index, b ? "True" : "False"); }

// 100-nanosecond units from clock ticks.
uint64_t TicksTo100ns(uint64_t ticks) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(ticks) * 10000000u /
                               static_cast<unsigned __int128>(ClockTicksPerSecond()));
}

// ---------------------------------------------------------------------------
// Disks, partitions and mounted file systems, read once per query.

struct PartitionInfo {
  std::string node;  // block device name: sda1, or the disk itself when it has no partition table
  size_t disk = 0;   // position in WmiBlockTopology::disks
  uint32_t index = 0;
  uint64_t startBytes = 0, sizeBytes = 0;
  uint32_t blockSize = 512;
};

struct LogicalDiskInfo {
  std::string mountPoint;
  std::string fsType;
  std::string node;  // block device the file system is on
  std::string mountRoot;
  bool removable = false;
  FileSystemSpace space;
};

}  // namespace

// The block devices and how they stack: physical disks, their partitions, and
// for each partition every device built on it. Immutable once built.
struct WmiBlockTopology {
  std::vector<BlockDevice> devices;
  std::vector<const BlockDevice*> disks;  // physical disks in index order
  std::vector<PartitionInfo> partitions;
  std::vector<std::pair<size_t, size_t>> diskPartition;  // (disk, partition)
  // Devices and partitions by name, by device number, device-mapper devices by
  // their mapped name; for each partition the names of itself and of every
  // device above it.
  std::unordered_map<std::string, bool> removable;
  std::unordered_map<uint64_t, std::string> byNumber;
  std::unordered_map<std::string, std::string> byDmName;
  std::vector<std::set<std::string>> above;
};

namespace {

// Disks and partitions with the file systems mounted on them, for one query.
struct HostDisks {
  std::shared_ptr<const WmiBlockTopology> t;
  std::vector<LogicalDiskInfo> logical;
  std::vector<std::pair<size_t, size_t>> partitionLogical;  // (partition, logical disk)
};

// A physical disk: a block device not built on others, and not a loop, RAM,
// compressed-RAM, optical, floppy or network block device.
bool IsPhysicalDisk(const BlockDevice& d) {
  if (!d.slaves.empty() || !d.dmName.empty() || !d.mdLevel.empty()) return false;
  for (const char* prefix : {"loop", "ram", "zram", "sr", "fd", "nbd", "dm-", "md"}) {
    if (d.name.rfind(prefix, 0) == 0) return false;
  }
  return true;
}

WmiStatus ProviderFailure(std::string detail) {
  return WmiStatus::Error(WBEM_E_PROVIDER_FAILURE, std::move(detail));
}

WmiStatus ReadBlockTopology(const WmiHostOptions& options, WmiBlockTopology& out) {
  if (std::string e = ReadBlockDevices(options.root, out.devices); !e.empty())
    return ProviderFailure(e);

  struct Node {
    const BlockDevice* device = nullptr;        // set for whole devices
    const BlockPartition* partition = nullptr;  // set for partitions
  };
  std::unordered_map<std::string, Node> nodes;
  for (const BlockDevice& d : out.devices) {
    nodes[d.name] = {&d, nullptr};
    out.removable[d.name] = d.removable;
    out.byNumber[(uint64_t{d.major} << 32) | d.minor] = d.name;
    if (!d.dmName.empty()) out.byDmName[d.dmName] = d.name;
    for (const BlockPartition& p : d.partitions) {
      nodes[p.name] = {nullptr, &p};
      out.removable[p.name] = d.removable;
      out.byNumber[(uint64_t{p.major} << 32) | p.minor] = p.name;
    }
  }

  for (const BlockDevice& d : out.devices) {
    if (!IsPhysicalDisk(d)) continue;
    const size_t disk = out.disks.size();
    out.disks.push_back(&d);
    if (d.partitions.empty()) {
      // A file system or volume on the whole disk: the disk is its one partition.
      PartitionInfo p;
      p.node = d.name;
      p.disk = disk;
      p.sizeBytes = d.sizeSectors * 512;
      p.blockSize = d.logicalBlockSize;
      out.diskPartition.emplace_back(disk, out.partitions.size());
      out.partitions.push_back(std::move(p));
      continue;
    }
    uint32_t index = 0;
    for (const BlockPartition& bp : d.partitions) {
      PartitionInfo p;
      p.node = bp.name;
      p.disk = disk;
      p.index = index++;
      p.startBytes = bp.startSectors * 512;
      p.sizeBytes = bp.sizeSectors * 512;
      p.blockSize = d.logicalBlockSize;
      out.diskPartition.emplace_back(disk, out.partitions.size());
      out.partitions.push_back(std::move(p));
    }
  }

  // Each partition carries the file systems on it and on every device built on
  // it: device-mapper (LVM, crypt) and md arrays, and their partitions.
  for (const PartitionInfo& partition : out.partitions) {
    std::set<std::string>& above = out.above.emplace_back();
    std::vector<std::string> todo = {partition.node};
    while (!todo.empty()) {
      std::string name = std::move(todo.back());
      todo.pop_back();
      if (!above.insert(name).second) continue;
      auto it = nodes.find(name);
      if (it == nodes.end()) continue;
      const Node& n = it->second;
      const std::vector<std::string>& holders = n.device ? n.device->holders : n.partition->holders;
      todo.insert(todo.end(), holders.begin(), holders.end());
      if (n.device && !IsPhysicalDisk(*n.device)) {
        for (const BlockPartition& p : n.device->partitions) todo.push_back(p.name);
      }
    }
  }
  return WmiStatus();
}

// The mounted file systems on block devices, one per mount point (a later mount
// hides an earlier one at the same place) and one per device (the mount of the
// file system's root is preferred over bind mounts of parts of it), with their
// space.
WmiStatus ReadMountedDisks(WmiHost& host, bool withSpace, HostDisks& out) {
  const WmiHostOptions& options = host.options();
  const WmiBlockTopology& t = *out.t;
  std::shared_ptr<const std::vector<MountEntry>> mounts;
  if (std::string e = host.Mounts(mounts); !e.empty()) return ProviderFailure(e);
  for (const MountEntry& m : *mounts) {
    std::string node;
    if (auto it = t.byNumber.find((uint64_t{m.major} << 32) | m.minor);
        m.major != 0 && it != t.byNumber.end()) {
      node = it->second;
    } else if (m.source.rfind("/dev/mapper/", 0) == 0) {
      // File systems with anonymous device numbers (btrfs) are found by their source.
      if (auto dm = t.byDmName.find(m.source.substr(12)); dm != t.byDmName.end()) node = dm->second;
    } else if (m.source.rfind("/dev/", 0) == 0 && t.removable.count(m.source.substr(5))) {
      node = m.source.substr(5);
    }
    if (node.empty())
      continue;  // not on a block device: never statvfs'd (a network mount may hang)
    std::erase_if(out.logical,
                  [&](const LogicalDiskInfo& l) { return l.mountPoint == m.mountPoint; });
    auto same = std::find_if(out.logical.begin(), out.logical.end(),
                             [&](const LogicalDiskInfo& l) { return l.node == node; });
    LogicalDiskInfo l;
    l.mountPoint = m.mountPoint;
    l.fsType = m.fsType;
    l.node = node;
    l.mountRoot = m.root;
    l.removable = t.removable.at(node);
    if (same == out.logical.end()) {
      out.logical.push_back(std::move(l));
    } else if (same->mountRoot != "/" && m.root == "/") {
      *same = std::move(l);
    }
  }
  for (auto it = out.logical.begin(); withSpace && it != out.logical.end();) {
    const std::string path = HostPath(options.root, it->mountPoint);
    std::string e = options.readSpace(path, it->space);
    if (!e.empty()) {
      // Unmounted since mountinfo was read: the file system is gone.
      if (e.find(std::strerror(ENOENT)) != std::string::npos) {
        it = out.logical.erase(it);
        continue;
      }
      return ProviderFailure(e);
    }
    ++it;
  }
  for (size_t pi = 0; pi < t.partitions.size(); ++pi) {
    for (size_t li = 0; li < out.logical.size(); ++li) {
      if (t.above[pi].count(out.logical[li].node)) out.partitionLogical.emplace_back(pi, li);
    }
  }
  return WmiStatus();
}

// Facts read on first need within one query, so that an ASSOCIATORS OF query
// reads the disks once for both ends.
class QueryContext {
 public:
  explicit QueryContext(WmiHost& host) : host(host) {}

  WmiHost& host;
  const WmiHostOptions& options() const { return host.options(); }

  // Properties the query needs, by position in the class (empty: all of them).
  // Enumerators read only the sources of needed properties; the others stay NULL.
  std::vector<bool> wanted;
  bool Wants(size_t property) const { return wanted.empty() || wanted[property]; }
  template <typename... P>
  bool WantsAny(P... properties) const {
    return (Wants(properties) || ...);
  }

  // The block devices only (no mounts, no statvfs).
  WmiStatus Topology(const WmiBlockTopology*& out) {
    if (!topology) {
      WmiStatus s;
      topology = host.BlockTopology(s);
      if (!s.ok()) return s;
    }
    out = topology.get();
    return WmiStatus();
  }
  // The block devices and the file systems mounted on them, with their space
  // unless `withSpace` is false.
  WmiStatus Disks(const HostDisks*& out, bool withSpace = true) {
    if (!disks || (withSpace && !disksHaveSpace)) {
      const WmiBlockTopology* t = nullptr;
      if (WmiStatus s = Topology(t); !s.ok()) return s;
      disks.emplace();
      disks->t = topology;
      disksHaveSpace = withSpace;
      WmiStatus s = ReadMountedDisks(host, withSpace, *disks);
      if (!s.ok()) {
        disks.reset();
        return s;
      }
    }
    out = &*disks;
    return WmiStatus();
  }
  WmiStatus Stat(const ProcStat*& out) {
    if (!stat) {
      ProcStat s;
      if (std::string e = ReadProcStat(options().root, s); !e.empty()) return ProviderFailure(e);
      stat = std::move(s);
    }
    out = &*stat;
    return WmiStatus();
  }
  WmiStatus Kernel(const KernelInfo*& out) {
    if (!kernel) {
      KernelInfo k;
      if (std::string e = ReadKernelInfo(options().root, k); !e.empty()) return ProviderFailure(e);
      kernel = std::move(k);
    }
    out = &*kernel;
    return WmiStatus();
  }
  WmiStatus Memory(const MemoryInfo*& out) {
    if (!memory) {
      MemoryInfo m;
      if (std::string e = ReadMemoryInfo(options().root, m); !e.empty()) return ProviderFailure(e);
      memory = m;
    }
    out = &*memory;
    return WmiStatus();
  }

 private:
  std::shared_ptr<const WmiBlockTopology> topology;
  std::optional<HostDisks> disks;
  bool disksHaveSpace = false;
  std::optional<ProcStat> stat;
  std::optional<KernelInfo> kernel;
  std::optional<MemoryInfo> memory;
};

using Enumerator = WmiStatus (*)(QueryContext&, std::vector<Object>&);

struct ClassDef {
  const char* name;
  std::vector<PropertyDef> properties;
  size_t key;  // the key property
  Enumerator enumerate;
};

// --- Win32_DiskDrive -------------------------------------------------------
enum {
  kDdDeviceID,
  kDdName,
  kDdCaption,
  kDdModel,
  kDdIndex,
  kDdBytesPerSector,
  kDdSize,
  kDdTotalSectors,
  kDdPartitions,
  kDdMediaType,
  kDdMediaLoaded,
  kDdCount
};

Object DiskDriveObject(const WmiBlockTopology& h, size_t i) {
  Object o(kDdCount);
  const BlockDevice& d = *h.disks[i];
  Set(o, kDdDeviceID, "/dev/" + d.name);
  Set(o, kDdName, "/dev/" + d.name);
  Set(o, kDdCaption, d.model.empty() ? d.name : d.model);
  if (!d.model.empty()) Set(o, kDdModel, d.model);
  SetNumber(o, kDdIndex, i);
  SetNumber(o, kDdBytesPerSector, d.logicalBlockSize);
  if (d.sizeSectors > 0) {
    SetNumber(o, kDdSize, d.sizeSectors * 512);
    SetNumber(o, kDdTotalSectors, d.sizeSectors * 512 / d.logicalBlockSize);
  }
  size_t partitions = 0;
  for (const auto& dp : h.diskPartition)
    partitions += dp.first == i && h.partitions[dp.second].node != d.name;
  SetNumber(o, kDdPartitions, partitions);
  Set(o, kDdMediaType, d.removable ? "Removable Media" : "Fixed hard disk media");
  SetBool(o, kDdMediaLoaded, d.sizeSectors > 0);
  return o;
}

WmiStatus EnumerateDiskDrives(QueryContext& ctx, std::vector<Object>& out) {
  const WmiBlockTopology* h = nullptr;
  if (WmiStatus s = ctx.Topology(h); !s.ok()) return s;
  for (size_t i = 0; i < h->disks.size(); ++i) out.push_back(DiskDriveObject(*h, i));
  return WmiStatus();
}

// --- Win32_DiskPartition ---------------------------------------------------
enum {
  kDpDeviceID,
  kDpName,
  kDpCaption,
  kDpDescription,
  kDpDiskIndex,
  kDpIndex,
  kDpStartingOffset,
  kDpSize,
  kDpBlockSize,
  kDpNumberOfBlocks,
  kDpCount
};

Object PartitionObject(const WmiBlockTopology& h, size_t i) {
  Object o(kDpCount);
  const PartitionInfo& p = h.partitions[i];
  Set(o, kDpDeviceID, "/dev/" + p.node);
  Set(o, kDpName, "/dev/" + p.node);
  Set(o, kDpCaption, "/dev/" + p.node);
  Set(o, kDpDescription, p.node == h.disks[p.disk]->name ? "Whole disk" : "Partition");
  SetNumber(o, kDpDiskIndex, p.disk);
  SetNumber(o, kDpIndex, p.index);
  SetNumber(o, kDpStartingOffset, p.startBytes);
  SetNumber(o, kDpSize, p.sizeBytes);
  SetNumber(o, kDpBlockSize, p.blockSize);
  SetNumber(o, kDpNumberOfBlocks, p.sizeBytes / p.blockSize);
  return o;
}

WmiStatus EnumeratePartitions(QueryContext& ctx, std::vector<Object>& out) {
  const WmiBlockTopology* h = nullptr;
  if (WmiStatus s = ctx.Topology(h); !s.ok()) return s;
  for (size_t i = 0; i < h->partitions.size(); ++i) out.push_back(PartitionObject(*h, i));
  return WmiStatus();
}

// --- Win32_LogicalDisk -----------------------------------------------------
enum {
  kLdDeviceID,
  kLdName,
  kLdCaption,
  kLdDescription,
  kLdDriveType,
  kLdFileSystem,
  kLdSize,
  kLdFreeSpace,
  kLdVolumeName,
  kLdCount
};

Object LogicalDiskObject(const HostDisks& h, size_t i) {
  Object o(kLdCount);
  const LogicalDiskInfo& l = h.logical[i];
  Set(o, kLdDeviceID, l.mountPoint);
  Set(o, kLdName, l.mountPoint);
  Set(o, kLdCaption, l.mountPoint);
  Set(o, kLdDescription, l.removable ? "Removable Disk" : "Local Fixed Disk");
  SetNumber(o, kLdDriveType, l.removable ? 2 : 3);
  Set(o, kLdFileSystem, l.fsType);
  // Free space is what an unprivileged user may still write (f_bavail), as df
  // shows it; the blocks reserved for root count as used.
  SetNumber(o, kLdSize, l.space.blocks * l.space.fragmentSize);
  SetNumber(o, kLdFreeSpace, l.space.availableBlocks * l.space.fragmentSize);
  Set(o, kLdVolumeName, "/dev/" + l.node);
  return o;
}

WmiStatus EnumerateLogicalDisks(QueryContext& ctx, std::vector<Object>& out) {
  const HostDisks* h = nullptr;
  if (WmiStatus s = ctx.Disks(h); !s.ok()) return s;
  for (size_t i = 0; i < h->logical.size(); ++i) out.push_back(LogicalDiskObject(*h, i));
  return WmiStatus();
}

// --- Associations ----------------------------------------------------------
enum { kAsAntecedent, kAsDependent, kAsCount };

std::string ObjectPath(const char* cls, const char* key, const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return std::string(cls) + "." + key + "=\"" + escaped + "\"";
}

WmiStatus EnumerateDiskDriveToPartition(QueryContext& ctx, std::vector<Object>& out) {
  const WmiBlockTopology* h = nullptr;
  if (WmiStatus s = ctx.Topology(h); !s.ok()) return s;
  for (const auto& [disk, part] : h->diskPartition) {
    Object o(kAsCount);
    Set(o, kAsAntecedent,
        ObjectPath("Win32_DiskDrive", "DeviceID", "/dev/" + h->disks[disk]->name));
    Set(o, kAsDependent,
        ObjectPath("Win32_DiskPartition", "DeviceID", "/dev/" + h->partitions[part].node));
    out.push_back(std::move(o));
  }
  return WmiStatus();
}

WmiStatus EnumerateLogicalDiskToPartition(QueryContext& ctx, std::vector<Object>& out) {
  const HostDisks* h = nullptr;
  if (WmiStatus s = ctx.Disks(h); !s.ok()) return s;
  for (const auto& [part, logical] : h->partitionLogical) {
    Object o(kAsCount);
    Set(o, kAsAntecedent,
        ObjectPath("Win32_DiskPartition", "DeviceID", "/dev/" + h->t->partitions[part].node));
    Set(o, kAsDependent,
        ObjectPath("Win32_LogicalDisk", "DeviceID", h->logical[logical].mountPoint));
    out.push_back(std::move(o));
  }
  return WmiStatus();
}

// --- Win32_ComputerSystem --------------------------------------------------
enum {
  kCsName,
  kCsCaption,
  kCsTotalPhysicalMemory,
  kCsNumberOfLogicalProcessors,
  kCsSystemType,
  kCsManufacturer,
  kCsModel,
  kCsCount
};

WmiStatus EnumerateComputerSystem(QueryContext& ctx, std::vector<Object>& out) {
  Object o(kCsCount);
  if (ctx.WantsAny(kCsName, kCsCaption, kCsSystemType)) {
    const KernelInfo* k = nullptr;
    if (WmiStatus s = ctx.Kernel(k); !s.ok()) return s;
    Set(o, kCsName, k->hostName);
    Set(o, kCsCaption, k->hostName);
    const std::string type = k->machine == "x86_64"    ? "x64"
                             : k->machine == "aarch64" ? "ARM64"
                                                       : k->machine;
    Set(o, kCsSystemType, type + "-based PC");
  }
  if (ctx.Wants(kCsTotalPhysicalMemory)) {
    const MemoryInfo* m = nullptr;
    if (WmiStatus s = ctx.Memory(m); !s.ok()) return s;
    SetNumber(o, kCsTotalPhysicalMemory, m->memTotalKb * 1024);
  }
  if (ctx.Wants(kCsNumberOfLogicalProcessors)) {
    const ProcStat* st = nullptr;
    if (WmiStatus s = ctx.Stat(st); !s.ok()) return s;
    SetNumber(o, kCsNumberOfLogicalProcessors, st->cpus.size() - 1);
  }
  if (ctx.WantsAny(kCsManufacturer, kCsModel)) {
    MachineInfo machine;
    if (std::string e = ReadMachineInfo(ctx.options().root, machine); !e.empty())
      return ProviderFailure(e);
    if (!machine.vendor.empty()) Set(o, kCsManufacturer, machine.vendor);
    if (!machine.product.empty()) Set(o, kCsModel, machine.product);
  }
  out.push_back(std::move(o));
  return WmiStatus();
}

// --- Win32_OperatingSystem -------------------------------------------------
enum {
  kOsName,
  kOsCaption,
  kOsVersion,
  kOsOSArchitecture,
  kOsCSDVersion,
  kOsOtherTypeDescription,
  kOsOSType,
  kOsCSName,
  kOsLastBootUpTime,
  kOsLocalDateTime,
  kOsFreePhysicalMemory,
  kOsTotalVisibleMemorySize,
  kOsSizeStoredInPagingFiles,
  kOsFreeSpaceInPagingFiles,
  kOsTotalVirtualMemorySize,
  kOsFreeVirtualMemory,
  kOsPrimary,
  kOsCount
};

int64_t WallSeconds(const WmiHostOptions& o) {
  return o.wallSeconds ? o.wallSeconds() : static_cast<int64_t>(::time(nullptr));
}

WmiStatus EnumerateOperatingSystem(QueryContext& ctx, std::vector<Object>& out) {
  Object o(kOsCount);
  if (ctx.WantsAny(kOsName, kOsCaption)) {
    OsRelease release;
    if (std::string e = ReadOsRelease(ctx.options().root, release); !e.empty())
      return ProviderFailure(e);
    const std::string caption = !release.prettyName.empty() ? release.prettyName
                                : !release.name.empty()     ? release.name
                                                            : "Linux";
    Set(o, kOsName, caption);
    Set(o, kOsCaption, caption);
  }
  if (ctx.WantsAny(kOsVersion, kOsOSArchitecture, kOsCSName)) {
    const KernelInfo* k = nullptr;
    if (WmiStatus s = ctx.Kernel(k); !s.ok()) return s;
    Set(o, kOsVersion, k->release);
    const bool is64 = k->machine.find("64") != std::string::npos || k->machine == "s390x";
    Set(o, kOsOSArchitecture, is64 ? "64-bit" : "32-bit");
    Set(o, kOsCSName, k->hostName);
  }
  SetNumber(o, kOsOSType, 36);  // CIM operating system type LINUX
  if (ctx.Wants(kOsLastBootUpTime)) {
    const ProcStat* st = nullptr;
    if (WmiStatus s = ctx.Stat(st); !s.ok()) return s;
    Set(o, kOsLastBootUpTime, FormatCimDateTime(st->bootTime));
  }
  Set(o, kOsLocalDateTime, FormatCimDateTime(WallSeconds(ctx.options())));
  if (ctx.WantsAny(kOsFreePhysicalMemory, kOsTotalVisibleMemorySize, kOsSizeStoredInPagingFiles,
                   kOsFreeSpaceInPagingFiles, kOsTotalVirtualMemorySize, kOsFreeVirtualMemory)) {
    const MemoryInfo* m = nullptr;
    if (WmiStatus s = ctx.Memory(m); !s.ok()) return s;
    // Free memory is what programs can still get without swapping:
    // MemAvailable, not the bare MemFree that leaves the page cache out.
    SetNumber(o, kOsFreePhysicalMemory, m->memAvailableKb);
    SetNumber(o, kOsTotalVisibleMemorySize, m->memTotalKb);
    SetNumber(o, kOsSizeStoredInPagingFiles, m->swapTotalKb);
    SetNumber(o, kOsFreeSpaceInPagingFiles, m->swapFreeKb);
    SetNumber(o, kOsTotalVirtualMemorySize, m->memTotalKb + m->swapTotalKb);
    SetNumber(o, kOsFreeVirtualMemory, m->memAvailableKb + m->swapFreeKb);
  }
  SetBool(o, kOsPrimary, true);
  out.push_back(std::move(o));
  return WmiStatus();
}

// --- Win32_PerfRawData_PerfOS_Processor ------------------------------------
enum {
  kPrName,
  kPrPercentProcessorTime,
  kPrPercentIdleTime,
  kPrPercentUserTime,
  kPrPercentPrivilegedTime,
  kPrPercentInterruptTime,
  kPrTimeStamp_Sys100NS,
  kPrFrequency_Sys100NS,
  kPrCount
};

WmiStatus EnumerateProcessors(QueryContext& ctx, std::vector<Object>& out) {
  const ProcStat* st = nullptr;
  if (WmiStatus s = ctx.Stat(st); !s.ok()) return s;
  // Per processor first, the sum ("_Total") last, as Windows lists them. The
  // raw processor time counts idle time; its time stamp is the same line's
  // total, so the idle share of an interval is exact.
  for (size_t i = 1; i <= st->cpus.size(); ++i) {
    const CpuTimes& t = st->cpus[i % st->cpus.size()];
    Object o(kPrCount);
    Set(o, kPrName, t.cpu < 0 ? "_Total" : std::to_string(t.cpu));
    SetNumber(o, kPrPercentProcessorTime, TicksTo100ns(t.idle + t.iowait));
    SetNumber(o, kPrPercentIdleTime, TicksTo100ns(t.idle + t.iowait));
    SetNumber(o, kPrPercentUserTime, TicksTo100ns(t.user + t.nice));
    SetNumber(o, kPrPercentPrivilegedTime, TicksTo100ns(t.system));
    SetNumber(o, kPrPercentInterruptTime, TicksTo100ns(t.irq + t.softirq));
    SetNumber(o, kPrTimeStamp_Sys100NS, TicksTo100ns(t.Total()));
    SetNumber(o, kPrFrequency_Sys100NS, 10000000);
    out.push_back(std::move(o));
  }
  return WmiStatus();
}

// --- Win32_Process ---------------------------------------------------------
enum {
  kPsHandle,
  kPsProcessId,
  kPsParentProcessId,
  kPsName,
  kPsCaption,
  kPsDescription,
  kPsThreadCount,
  kPsKernelModeTime,
  kPsUserModeTime,
  kPsWorkingSetSize,
  kPsVirtualSize,
  kPsPageFaults,
  kPsCreationDate,
  kPsCount
};

WmiStatus EnumerateProcesses(QueryContext& ctx, std::vector<Object>& out) {
  const ProcStat* st = nullptr;
  const bool dates = ctx.Wants(kPsCreationDate);
  if (WmiStatus s = dates ? ctx.Stat(st) : WmiStatus(); !s.ok()) return s;
  std::vector<ProcessStat> processes;
  if (std::string e = ReadProcesses(ctx.options().root, processes); !e.empty())
    return ProviderFailure(e);
  const uint64_t pageSize = static_cast<uint64_t>(PageSizeBytes());
  out.reserve(out.size() + processes.size());
  for (const ProcessStat& p : processes) {
    Object o(kPsCount);
    SetNumber(o, kPsHandle, static_cast<uint32_t>(p.pid));
    SetNumber(o, kPsProcessId, static_cast<uint32_t>(p.pid));
    SetNumber(o, kPsParentProcessId, static_cast<uint32_t>(p.ppid));
    Set(o, kPsName, p.comm);
    Set(o, kPsCaption, p.comm);
    Set(o, kPsDescription, p.comm);
    SetNumber(o, kPsThreadCount, static_cast<uint64_t>(std::max<int64_t>(p.threads, 0)));
    SetNumber(o, kPsKernelModeTime, TicksTo100ns(p.systemTicks));
    SetNumber(o, kPsUserModeTime, TicksTo100ns(p.userTicks));
    SetNumber(o, kPsWorkingSetSize,
              static_cast<uint64_t>(std::max<int64_t>(p.residentPages, 0)) * pageSize);
    SetNumber(o, kPsVirtualSize, p.virtualBytes);
    SetNumber(o, kPsPageFaults, static_cast<uint32_t>(p.minorFaults + p.majorFaults));
    const uint64_t ticks = static_cast<uint64_t>(ClockTicksPerSecond());
    if (dates)
      Set(o, kPsCreationDate,
          FormatCimDateTime(st->bootTime + static_cast<int64_t>(p.startTicks / ticks),
                            static_cast<int32_t>(p.startTicks % ticks * 1000000 / ticks)));
    out.push_back(std::move(o));
  }
  return WmiStatus();
}

// --- Win32_PerfFormattedData_PerfDisk_PhysicalDisk -------------------------
enum {
  kPdName,
  kPdCaption,
  kPdDescription,
  kPdPercentIdleTime,
  kPdPercentDiskTime,
  kPdDiskReadBytesPersec,
  kPdDiskWriteBytesPersec,
  kPdDiskReadsPersec,
  kPdDiskWritesPersec,
  kPdCurrentDiskQueueLength,
  kPdCount
};

// A mount point inside an instance name, whose words are separated by blanks:
// blanks, tabs, newlines and backslashes written as mountinfo writes them
// (\040, \011, \012, \134), so that the last word is the whole mount point.
std::string BlankFreeMountPoint(const std::string& mountPoint) {
  std::string out;
  for (char c : mountPoint) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
      out += octal;
    } else {
      out += c;
    }
  }
  return out;
}

WmiStatus EnumeratePhysicalDiskPerf(QueryContext& ctx, std::vector<Object>& out) {
  const HostDisks* h = nullptr;
  if (WmiStatus s = ctx.Disks(h, /*withSpace=*/false); !s.ok()) return s;
  std::vector<DiskStats> all;
  if (std::string e = ReadDiskStats(ctx.options().root, all); !e.empty()) return ProviderFailure(e);
  std::vector<DiskStats> counters;
  for (const BlockDevice* d : h->t->disks) {
    auto it =
        std::find_if(all.begin(), all.end(), [&](const DiskStats& s) { return s.name == d->name; });
    if (it == all.end()) {
      return ProviderFailure(HostPath(ctx.options().root, "/proc/diskstats") + ": no line for " +
                             d->name);
    }
    counters.push_back(*it);
  }
  // A formatted counter is the change between two readings: a disk without an
  // earlier reading is read twice, one second apart.
  if (!ctx.host.HasDiskSample(counters)) {
    ctx.host.StartDiskSample(counters);
    if (ctx.options().sleep) {
      ctx.options().sleep(1.0);
    } else {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (std::string e = ReadDiskStats(ctx.options().root, all); !e.empty())
      return ProviderFailure(e);
    for (size_t i = 0; i < counters.size(); ++i) {
      auto it = std::find_if(all.begin(), all.end(),
                             [&](const DiskStats& s) { return s.name == counters[i].name; });
      if (it == all.end()) {
        return ProviderFailure(HostPath(ctx.options().root, "/proc/diskstats") + ": no line for " +
                               counters[i].name);
      }
      counters[i] = *it;
    }
  }
  const std::vector<WmiHost::DiskRates> rates = ctx.host.DiskRatesSince(counters);
  WmiHost::DiskRates total;
  uint64_t queue = 0;
  for (size_t i = 0; i < h->t->disks.size(); ++i) {
    // Instance name: the disk's index, then the mount points of its file systems.
    std::string name = std::to_string(i);
    std::set<size_t> seen;
    for (const auto& [disk, part] : h->t->diskPartition) {
      if (disk != i) continue;
      for (const auto& [p, l] : h->partitionLogical) {
        if (p == part && seen.insert(l).second)
          name += " " + BlankFreeMountPoint(h->logical[l].mountPoint);
      }
    }
    const WmiHost::DiskRates& r = rates[i];
    Object o(kPdCount);
    Set(o, kPdName, name);
    SetNumber(o, kPdPercentIdleTime, 100 - r.percentDiskTime);
    SetNumber(o, kPdPercentDiskTime, r.percentDiskTime);
    SetNumber(o, kPdDiskReadBytesPersec, r.readBytesPerSec);
    SetNumber(o, kPdDiskWriteBytesPersec, r.writeBytesPerSec);
    SetNumber(o, kPdDiskReadsPersec, r.readsPerSec);
    SetNumber(o, kPdDiskWritesPersec, r.writesPerSec);
    SetNumber(o, kPdCurrentDiskQueueLength, counters[i].inFlight);
    out.push_back(std::move(o));
    total.percentDiskTime += r.percentDiskTime;
    total.readBytesPerSec += r.readBytesPerSec;
    total.writeBytesPerSec += r.writeBytesPerSec;
    total.readsPerSec += r.readsPerSec;
    total.writesPerSec += r.writesPerSec;
    queue += counters[i].inFlight;
  }
  // The total's busy time is the disks' average; its rates are their sums.
  const uint64_t busy = h->t->disks.empty() ? 0 : total.percentDiskTime / h->t->disks.size();
  Object o(kPdCount);
  Set(o, kPdName, "_Total");
  SetNumber(o, kPdPercentIdleTime, 100 - busy);
  SetNumber(o, kPdPercentDiskTime, busy);
  SetNumber(o, kPdDiskReadBytesPersec, total.readBytesPerSec);
  SetNumber(o, kPdDiskWriteBytesPersec, total.writeBytesPerSec);
  SetNumber(o, kPdDiskReadsPersec, total.readsPerSec);
  SetNumber(o, kPdDiskWritesPersec, total.writesPerSec);
  SetNumber(o, kPdCurrentDiskQueueLength, queue);
  out.push_back(std::move(o));
  return WmiStatus();
}

// ---------------------------------------------------------------------------

const std::vector<ClassDef>& Classes() {
  using T = CimType;
  static const std::vector<ClassDef> classes = {
      {"Win32_DiskDrive",
       {{"DeviceID", T::kString},
        {"Name", T::kString},
        {"Caption", T::kString},
        {"Model", T::kString},
        {"Index", T::kUInt32},
        {"BytesPerSector", T::kUInt32},
        {"Size", T::kUInt64},
        {"TotalSectors", T::kUInt64},
        {"Partitions", T::kUInt32},
        {"MediaType", T::kString},
        {"MediaLoaded", T::kBoolean}},
       kDdDeviceID,
       EnumerateDiskDrives},
      {"Win32_DiskPartition",
       {{"DeviceID", T::kString},
        {"Name", T::kString},
        {"Caption", T::kString},
        {"Description", T::kString},
        {"DiskIndex", T::kUInt32},
        {"Index", T::kUInt32},
        {"StartingOffset", T::kUInt64},
        {"Size", T::kUInt64},
        {"BlockSize", T::kUInt64},
        {"NumberOfBlocks", T::kUInt64}},
       kDpDeviceID,
       EnumeratePartitions},
      {"Win32_LogicalDisk",
       {{"DeviceID", T::kString},
        {"Name", T::kString},
        {"Caption", T::kString},
        {"Description", T::kString},
        {"DriveType", T::kUInt32},
        {"FileSystem", T::kString},
        {"Size", T::kUInt64},
        {"FreeSpace", T::kUInt64},
        {"VolumeName", T::kString}},
       kLdDeviceID,
       EnumerateLogicalDisks},
      {"Win32_DiskDriveToDiskPartition",
       {{"Antecedent", T::kString}, {"Dependent", T::kString}},
       kAsDependent,
       EnumerateDiskDriveToPartition},
      {"Win32_LogicalDiskToPartition",
       {{"Antecedent", T::kString}, {"Dependent", T::kString}},
       kAsDependent,
       EnumerateLogicalDiskToPartition},
      {"Win32_ComputerSystem",
       {{"Name", T::kString},
        {"Caption", T::kString},
        {"TotalPhysicalMemory", T::kUInt64},
        {"NumberOfLogicalProcessors", T::kUInt32},
        {"SystemType", T::kString},
        {"Manufacturer", T::kString},
        {"Model", T::kString}},
       kCsName,
       EnumerateComputerSystem},
      {"Win32_OperatingSystem",
       {{"Name", T::kString},
        {"Caption", T::kString},
        {"Version", T::kString},
        {"OSArchitecture", T::kString},
        {"CSDVersion", T::kString},
        {"OtherTypeDescription", T::kString},
        {"OSType", T::kUInt16},
        {"CSName", T::kString},
        {"LastBootUpTime", T::kDateTime},
        {"LocalDateTime", T::kDateTime},
        {"FreePhysicalMemory", T::kUInt64},
        {"TotalVisibleMemorySize", T::kUInt64},
        {"SizeStoredInPagingFiles", T::kUInt64},
        {"FreeSpaceInPagingFiles", T::kUInt64},
        {"TotalVirtualMemorySize", T::kUInt64},
        {"FreeVirtualMemory", T::kUInt64},
        {"Primary", T::kBoolean}},
       kOsName,
       EnumerateOperatingSystem},
      {"Win32_PerfRawData_PerfOS_Processor",
       {{"Name", T::kString},
        {"PercentProcessorTime", T::kUInt64},
        {"PercentIdleTime", T::kUInt64},
        {"PercentUserTime", T::kUInt64},
        {"PercentPrivilegedTime", T::kUInt64},
        {"PercentInterruptTime", T::kUInt64},
        {"TimeStamp_Sys100NS", T::kUInt64},
        {"Frequency_Sys100NS", T::kUInt64}},
       kPrName,
       EnumerateProcessors},
      {"Win32_Process",
       {{"Handle", T::kString},
        {"ProcessId", T::kUInt32},
        {"ParentProcessId", T::kUInt32},
        {"Name", T::kString},
        {"Caption", T::kString},
        {"Description", T::kString},
        {"ThreadCount", T::kUInt32},
        {"KernelModeTime", T::kUInt64},
        {"UserModeTime", T::kUInt64},
        {"WorkingSetSize", T::kUInt64},
        {"VirtualSize", T::kUInt64},
        {"PageFaults", T::kUInt32},
        {"CreationDate", T::kDateTime}},
       kPsHandle,
       EnumerateProcesses},
      {"Win32_PerfFormattedData_PerfDisk_PhysicalDisk",
       {{"Name", T::kString},
        {"Caption", T::kString},
        {"Description", T::kString},
        {"PercentIdleTime", T::kUInt64},
        {"PercentDiskTime", T::kUInt64},
        {"DiskReadBytesPersec", T::kUInt64},
        {"DiskWriteBytesPersec", T::kUInt64},
        {"DiskReadsPersec", T::kUInt32},
        {"DiskWritesPersec", T::kUInt32},
        {"CurrentDiskQueueLength", T::kUInt32}},
       kPdName,
       EnumeratePhysicalDiskPerf},
  };
  return classes;
}

const ClassDef* FindClass(std::string_view name) {
  for (const ClassDef& c : Classes()) {
    if (EqualsNoCase(c.name, name)) return &c;
  }
  return nullptr;
}

std::optional<size_t> FindProperty(const ClassDef& c, std::string_view name) {
  for (size_t i = 0; i < c.properties.size(); ++i) {
    if (EqualsNoCase(c.properties[i].name, name)) return i;
  }
  return std::nullopt;
}

// An association: objects of `antecedent` tied to objects of `dependent`; the
// association class's own objects name both ends by object path.
struct AssocDef {
  const char* name;
  const char* antecedent;
  const char* dependent;
};
const AssocDef kAssociations[] = {
    {"Win32_DiskDriveToDiskPartition", "Win32_DiskDrive", "Win32_DiskPartition"},
    {"Win32_LogicalDiskToPartition", "Win32_DiskPartition", "Win32_LogicalDisk"},
};

// Key value of the object named by an association path `Class.Key="value"`.
std::string PathValue(const std::string& path) {
  const size_t open = path.find('"');
  std::string out;
  for (size_t i = open + 1; i + 1 < path.size(); ++i) {
    if (path[i] == '\\' && i + 2 < path.size()) ++i;
    out += path[i];
  }
  return out;
}

struct ParsedNumber {
  bool ok = false;
  long double value = 0;
};
ParsedNumber ParseNumberText(const std::string& text) {
  ParsedNumber n;
  if (text.empty()) return n;
  char* end = nullptr;
  errno = 0;
  n.value = std::strtold(text.c_str(), &end);
  n.ok = end == text.c_str() + text.size() && errno == 0;
  return n;
}

bool Holds(int comparison, WqlOperator op) {
  switch (op) {
    case WqlOperator::kEqual:
      return comparison == 0;
    case WqlOperator::kNotEqual:
      return comparison != 0;
    case WqlOperator::kLess:
      return comparison < 0;
    case WqlOperator::kGreater:
      return comparison > 0;
    case WqlOperator::kLessEqual:
      return comparison <= 0;
    case WqlOperator::kGreaterEqual:
      return comparison >= 0;
  }
  return false;
}

struct BoundCondition {
  size_t property;
  CimType type;
  WqlOperator op;
  std::string literal;
  long double number = 0;
};

// A NULL value satisfies no condition. Numbers compare as numbers, other
// values as text without regard to case (as WQL compares strings).
bool Matches(const Object& o, const BoundCondition& c) {
  const WmiValue& v = o[c.property];
  if (v.isNull) return false;
  if (IsNumeric(c.type)) {
    const ParsedNumber n = ParseNumberText(v.text);
    if (!n.ok) return false;
    return Holds(n.value < c.number ? -1 : (n.value > c.number ? 1 : 0), c.op);
  }
  return Holds(CompareNoCase(v.text, c.literal), c.op);
}

void Project(const ClassDef& c, const std::vector<size_t>& columns, std::vector<Object>& objects,
             WmiQueryResult& out) {
  // Columns are the properties of the objects returned: a query that matches
  // nothing has none, so storing it changes no stored rows.
  if (objects.empty()) return;
  for (size_t i : columns) {
    out.propertyNames.emplace_back(c.properties[i].name);
    out.columnNames.push_back(ToLower(c.properties[i].name));
  }
  out.rows.reserve(objects.size());
  for (Object& o : objects) {
    std::vector<WmiValue> row;
    row.reserve(columns.size());
    for (size_t i : columns) row.push_back(std::move(o[i]));
    out.rows.push_back(std::move(row));
  }
}

WmiStatus RunSelect(WmiHost& host, const WqlQuery& q, WmiQueryResult& out) {
  const ClassDef* c = FindClass(q.className);
  if (!c) return WmiStatus::Error(WBEM_E_INVALID_CLASS, "no class named " + q.className);
  std::vector<size_t> columns;
  if (q.allProperties) {
    for (size_t i = 0; i < c->properties.size(); ++i) columns.push_back(i);
  } else {
    for (const std::string& name : q.properties) {
      std::optional<size_t> p = FindProperty(*c, name);
      if (!p)
        return WmiStatus::Error(WBEM_E_INVALID_QUERY,
                                std::string(c->name) + " has no property " + name);
      if (std::find(columns.begin(), columns.end(), *p) == columns.end()) columns.push_back(*p);
    }
  }
  std::vector<BoundCondition> conditions;
  for (const WqlCondition& wc : q.conditions) {
    std::optional<size_t> p = FindProperty(*c, wc.property);
    if (!p) {
      return WmiStatus::Error(WBEM_E_INVALID_QUERY,
                              std::string(c->name) + " has no property " + wc.property);
    }
    BoundCondition b{*p, c->properties[*p].type, wc.op, wc.literal};
    if (IsNumeric(b.type)) {
      const ParsedNumber n = ParseNumberText(wc.literal);
      if (!n.ok) {
        return WmiStatus::Error(WBEM_E_INVALID_QUERY, "the value '" + wc.literal + "' of " +
                                                          wc.property + " is not a number");
      }
      b.number = n.value;
    }
    conditions.push_back(std::move(b));
  }
  QueryContext ctx(host);
  if (!q.allProperties) {
    ctx.wanted.assign(c->properties.size(), false);
    for (size_t i : columns) ctx.wanted[i] = true;
    for (const BoundCondition& b : conditions) ctx.wanted[b.property] = true;
  }
  std::vector<Object> objects;
  if (WmiStatus s = c->enumerate(ctx, objects); !s.ok()) return s;
  if (!conditions.empty()) {
    std::erase_if(objects, [&](const Object& o) {
      for (const BoundCondition& b : conditions) {
        if (!Matches(o, b)) return true;
      }
      return false;
    });
  }
  Project(*c, columns, objects, out);
  return WmiStatus();
}

WmiStatus RunAssociators(WmiHost& host, const WqlQuery& q, WmiQueryResult& out) {
  const ClassDef* source = FindClass(q.objectClass);
  if (!source) return WmiStatus::Error(WBEM_E_INVALID_CLASS, "no class named " + q.objectClass);
  if (!EqualsNoCase(source->properties[source->key].name, q.objectKey)) {
    return WmiStatus::Error(WBEM_E_INVALID_OBJECT_PATH,
                            std::string(source->name) + " is keyed by " +
                                source->properties[source->key].name + ", not " + q.objectKey);
  }
  const AssocDef* only = nullptr;
  if (!q.assocClass.empty()) {
    for (const AssocDef& a : kAssociations) {
      if (EqualsNoCase(a.name, q.assocClass)) only = &a;
    }
    if (!only)
      return WmiStatus::Error(WBEM_E_INVALID_CLASS, "no association class named " + q.assocClass);
  }
  const ClassDef* resultClass = nullptr;
  if (!q.resultClass.empty() && !(resultClass = FindClass(q.resultClass))) {
    return WmiStatus::Error(WBEM_E_INVALID_CLASS, "no class named " + q.resultClass);
  }

  QueryContext ctx(host);
  std::vector<Object> sources;
  if (WmiStatus s = source->enumerate(ctx, sources); !s.ok()) return s;
  const Object* object = nullptr;
  for (const Object& o : sources) {
    if (!o[source->key].isNull && EqualsNoCase(o[source->key].text, q.objectValue)) object = &o;
  }
  if (!object) {
    return WmiStatus::Error(WBEM_E_NOT_FOUND, std::string(source->name) + " has no object with " +
                                                  source->properties[source->key].name + " '" +
                                                  q.objectValue + "'");
  }
  const std::string& key = (*object)[source->key].text;

  // Objects at the other end of each association the source class takes part
  // in, in the order the other class lists them. All results of one query are
  // of one class here, because each class has at most one partner class per
  // association and the queries name the association.
  const ClassDef* other = nullptr;
  std::vector<Object> results;
  for (const AssocDef& a : kAssociations) {
    if (only && only != &a) continue;
    const bool fromAntecedent = EqualsNoCase(a.antecedent, source->name);
    if (!fromAntecedent && !EqualsNoCase(a.dependent, source->name)) continue;
    const ClassDef* partner = FindClass(fromAntecedent ? a.dependent : a.antecedent);
    if (resultClass && resultClass != partner) continue;
    std::vector<Object> links;
    if (WmiStatus s = FindClass(a.name)->enumerate(ctx, links); !s.ok()) return s;
    std::set<std::string> partnerKeys;
    for (const Object& link : links) {
      const std::string& here = link[fromAntecedent ? kAsAntecedent : kAsDependent].text;
      if (PathValue(here) == key)
        partnerKeys.insert(PathValue(link[fromAntecedent ? kAsDependent : kAsAntecedent].text));
    }
    if (partnerKeys.empty()) continue;
    if (other && other != partner) continue;  // a second class would need other columns
    other = partner;
    std::vector<Object> candidates;
    if (WmiStatus s = partner->enumerate(ctx, candidates); !s.ok()) return s;
    for (Object& o : candidates) {
      if (partnerKeys.count(o[partner->key].text)) results.push_back(std::move(o));
    }
  }
  if (!other) return WmiStatus();
  std::vector<size_t> columns;
  for (size_t i = 0; i < other->properties.size(); ++i) columns.push_back(i);
  Project(*other, columns, results, out);
  return WmiStatus();
}

}  // namespace

std::string FormatCimDateTime(int64_t epochSeconds, int32_t microseconds) {
  const time_t t = static_cast<time_t>(epochSeconds);
  struct tm local {};
  if (!localtime_r(&t, &local)) return std::string();
  const long offset = local.tm_gmtoff / 60;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d.%06d%c%03ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                microseconds, offset < 0 ? '-' : '+', offset < 0 ? -offset : offset);
  return buffer;
}

WmiHost::WmiHost(WmiHostOptions options) : options_(std::move(options)) {}

WmiStatus WmiHost::Query(std::string_view wql, WmiQueryResult& out) {
  out = WmiQueryResult();
  WqlParseResult parsed = ParseWql(wql);
  if (!parsed.status.ok()) return parsed.status;
  WmiStatus s = parsed.query.kind == WqlQuery::Kind::kSelect
                    ? RunSelect(*this, parsed.query, out)
                    : RunAssociators(*this, parsed.query, out);
  if (!s.ok()) out = WmiQueryResult();
  return s;
}

std::shared_ptr<const WmiBlockTopology> WmiHost::BlockTopology(WmiStatus& status) {
  std::vector<PartitionListEntry> partitions;
  bool found = false;
  if (std::string e = ReadPartitionList(options_.root, partitions, found); !e.empty()) {
    status = ProviderFailure(e);
    return nullptr;
  }
  if (found) {
    std::lock_guard<std::mutex> lock(topologyMutex);
    if (topology && partitions == topologyPartitions) return topology;
  }
  // Read without the lock: another thread may read the same layout meanwhile,
  // and either result is current.
  auto fresh = std::make_shared<WmiBlockTopology>();
  status = ReadBlockTopology(options_, *fresh);
  if (!status.ok()) return nullptr;
  if (found) {
    std::lock_guard<std::mutex> lock(topologyMutex);
    topology = fresh;
    topologyPartitions = std::move(partitions);
  }
  return fresh;
}

std::string WmiHost::Mounts(std::shared_ptr<const std::vector<MountEntry>>& out) {
  if (options_.root.empty() || options_.root == "/") return mountTable.Read(out);
  auto mounts = std::make_shared<std::vector<MountEntry>>();
  std::string error = ReadMounts(options_.root, *mounts);
  out = std::move(mounts);
  return error;
}

double WmiHost::MonotonicSeconds() const {
  return options_.monotonicSeconds
             ? options_.monotonicSeconds()
             : std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                   .count();
}

bool WmiHost::HasDiskSample(const std::vector<DiskStats>& current) {
  std::lock_guard<std::mutex> lock(diskMutex);
  for (const DiskStats& c : current) {
    if (!diskSample.count(c.name)) return false;
  }
  return true;
}

void WmiHost::StartDiskSample(const std::vector<DiskStats>& current) {
  const double now = MonotonicSeconds();
  std::lock_guard<std::mutex> lock(diskMutex);
  diskSampleTime = now;
  diskSample.clear();
  diskRates.clear();
  for (const DiskStats& c : current) diskSample[c.name] = c;
}

std::vector<WmiHost::DiskRates> WmiHost::DiskRatesSince(const std::vector<DiskStats>& current) {
  const double now = MonotonicSeconds();
  std::lock_guard<std::mutex> lock(diskMutex);
  // Rates need an interval: over a second since the kept reading, the counters
  // of that reading; before that, the rates computed then, or, when there are
  // none yet (the second of two first readings), the counters of the reading.
  const double seconds = now - diskSampleTime;
  const bool stale = seconds >= 1.0;
  bool computed = false;
  std::vector<DiskRates> rates;
  for (const DiskStats& c : current) {
    auto last = diskRates.find(c.name);
    if (!stale && last != diskRates.end()) {
      rates.push_back(last->second);
      continue;
    }
    DiskRates r;
    auto before = diskSample.find(c.name);
    if (before != diskSample.end() && seconds > 0) {
      const DiskStats& base = before->second;
      auto delta = [](uint64_t a, uint64_t b) {
        return a >= b ? a - b : 0;
      };  // counters reset: no rate
      const double busyMs = static_cast<double>(delta(c.ioTicksMs, base.ioTicksMs));
      r.percentDiskTime =
          static_cast<uint64_t>(std::min(100.0, busyMs / (seconds * 1000.0) * 100.0));
      r.readBytesPerSec =
          static_cast<uint64_t>(delta(c.sectorsRead, base.sectorsRead) * 512.0 / seconds);
      r.writeBytesPerSec =
          static_cast<uint64_t>(delta(c.sectorsWritten, base.sectorsWritten) * 512.0 / seconds);
      r.readsPerSec = static_cast<uint64_t>(delta(c.readsCompleted, base.readsCompleted) / seconds);
      r.writesPerSec =
          static_cast<uint64_t>(delta(c.writesCompleted, base.writesCompleted) / seconds);
    }
    diskRates[c.name] = r;
    rates.push_back(r);
    computed = true;
  }
  if (computed) {
    diskSampleTime = now;
    for (const DiskStats& c : current) diskSample[c.name] = c;
  }
  return rates;
}
