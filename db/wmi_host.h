// The host as queryable classes: runs WQL queries against the Windows class
// names the host probes ask for (Win32_DiskDrive, Win32_DiskPartition,
// Win32_LogicalDisk and their associations, Win32_ComputerSystem,
// Win32_OperatingSystem, Win32_PerfRawData_PerfOS_Processor, Win32_Process,
// Win32_PerfFormattedData_PerfDisk_PhysicalDisk), answered from the readers of
// platform/host_info.h with the Windows property names, types and units.
//
// Every query reads the host afresh (the layout of the block devices is re-read
// whenever /proc/partitions changes). A reader that fails makes the whole query
// fail; a query never answers with fewer objects than there are.
// Thread-safety: Query may be called from several threads at once; the state
// kept between queries (the block-device layout, and the previous disk counters
// from which the formatted disk class computes its rates) is guarded by mutexes,
// never held together.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "db/wmi_status.h"
#include "platform/host_info.h"

// One property value as text (booleans "True"/"False", numbers in decimal, date
// and time values as CIM datetimes in local time), or NULL.
struct WmiValue {
  bool isNull = true;
  std::string text;
};

// Outcome of one successful query: the objects, each with one value per column.
struct WmiQueryResult {
  std::vector<std::string> propertyNames;  // the columns' properties as the class spells them
  std::vector<std::string> columnNames;    // the same names lower-cased
  std::vector<std::vector<WmiValue>> rows;
};

// Where the host's facts come from; the defaults read the live host.
struct WmiHostOptions {
  std::string root = "/";
  // statvfs of a mounted file system, given the mount point inside `root`. An
  // error text that holds strerror(ENOENT) means the file system was unmounted
  // meanwhile: it is left out rather than failing the query.
  std::function<std::string(const std::string& path, FileSystemSpace& out)> readSpace =
      ReadFileSystemSpace;
  // Seconds on a clock that only moves forward (rates of the disk class).
  std::function<double()> monotonicSeconds;
  // Seconds since the epoch (LocalDateTime).
  std::function<int64_t()> wallSeconds;
  // Waits `seconds` between the two readings of the disk counters that the
  // first query of the formatted disk class takes (default: sleeps).
  std::function<void(double seconds)> sleep;
};

struct WmiBlockTopology;

// A time as a CIM datetime in local time: "yyyymmddHHMMSS.mmmmmm+UUU", UUU the
// offset from UTC in minutes.
std::string FormatCimDateTime(int64_t epochSeconds, int32_t microseconds = 0);

class WmiHost {
 public:
  explicit WmiHost(WmiHostOptions options = WmiHostOptions());
  WmiHost(const WmiHost&) = delete;
  WmiHost& operator=(const WmiHost&) = delete;

  // Parses and runs `wql`. On failure the status carries the WMI code
  // (WBEM_E_INVALID_QUERY, WBEM_E_INVALID_CLASS, WBEM_E_INVALID_OBJECT_PATH,
  // WBEM_E_NOT_FOUND, WBEM_E_PROVIDER_FAILURE) and a detail text, and `out` is
  // left empty.
  WmiStatus Query(std::string_view wql, WmiQueryResult& out);

  const WmiHostOptions& options() const { return options_; }

  // Rates of one disk between two readings of its counters.
  struct DiskRates {
    uint64_t percentDiskTime = 0;
    uint64_t readBytesPerSec = 0, writeBytesPerSec = 0;
    uint64_t readsPerSec = 0, writesPerSec = 0;
  };
  // Rates of the physical disks `current` (one entry per disk) since the
  // reading kept by StartDiskSample or by an earlier call; keeps the counters
  // for the next call. Within a second of the kept reading the rates computed
  // then are given again. Used by the formatted disk class.
  std::vector<DiskRates> DiskRatesSince(const std::vector<DiskStats>& current);
  // True when every disk of `current` has a kept reading to compute rates from.
  bool HasDiskSample(const std::vector<DiskStats>& current);
  // Keeps `current` as the first of two readings (a formatted counter is the
  // change between two readings of the raw counters).
  void StartDiskSample(const std::vector<DiskStats>& current);

  // The block devices and how they stack. Reading them takes a few hundred
  // files, so the layout is kept and read again only when /proc/partitions
  // (every device and partition with its size) has changed. Null with a failed
  // status when the devices cannot be read.
  std::shared_ptr<const WmiBlockTopology> BlockTopology(WmiStatus& status);

  // The mount table: for the live host kept and read again only after the
  // kernel reports a change; for a recorded tree read on every call.
  std::string Mounts(std::shared_ptr<const std::vector<MountEntry>>& out);

 private:
  double MonotonicSeconds() const;

  const WmiHostOptions options_;

  std::mutex topologyMutex;
  // Guarded by topologyMutex: the layout last read and the /proc/partitions
  // lines it was read with.
  std::shared_ptr<const WmiBlockTopology> topology;
  std::vector<PartitionListEntry> topologyPartitions;

  MountTableWatch mountTable;

  std::mutex diskMutex;
  // Guarded by diskMutex: the counters of the last reading and when it was
  // taken, and the rates last computed from them, by device name.
  double diskSampleTime = 0;
  std::map<std::string, DiskStats> diskSample;
  std::map<std::string, DiskRates> diskRates;
};
