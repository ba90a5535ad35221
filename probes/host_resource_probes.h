// The host resource probes: disk space, memory, process counts, the operating
// system and disk busy time, each read through WQL queries on the WMI
// connection and turned into the rows of its probe code. The processor probe,
// which keeps a sample between runs, is in ipt_cpu_usage.h. Each object is
// created for one run and used by one thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "probes/host_probe_sources.h"
#include "probes/internal_probe.h"

// "disk_space": one row per logical disk with a non-zero size, found through
// disk drive -> partition -> logical disk.
class IPTDiskSpace : public InternalProbe {
 public:
  explicit IPTDiskSpace(HostProbeSources sources) : sources(std::move(sources)) {}
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  HostProbeSources sources;
};

// "memory_usage": physical memory and swap, in mebibytes.
class IPTMemoryUsage : public InternalProbe {
 public:
  explicit IPTMemoryUsage(HostProbeSources sources) : sources(std::move(sources)) {}
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  HostProbeSources sources;
};

// "os_statistics": the number of processes and the sum of their threads.
class IPTProcessInfo : public InternalProbe {
 public:
  explicit IPTProcessInfo(HostProbeSources sources) : sources(std::move(sources)) {}
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  HostProbeSources sources;
};

// "os_info": the operating system's description and its boot time.
class IPTOperatingSystemInfo : public InternalProbe {
 public:
  explicit IPTOperatingSystemInfo(HostProbeSources sources) : sources(std::move(sources)) {}
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  HostProbeSources sources;
};

// "disk_busy_info": busy percentage of each physical disk and of all of them.
class IPTDiskBusyInfo : public InternalProbe {
 public:
  explicit IPTDiskBusyInfo(HostProbeSources sources) : sources(std::move(sources)) {}
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  HostProbeSources sources;
};

// os_details: Caption without trailing blanks, then OtherTypeDescription when
// not empty, OSArchitecture without trailing blanks (also when empty),
// CSDVersion when not empty, each after one blank, then " (" Version ")".
std::string ComposeOsDetails(std::string_view caption, std::string_view otherTypeDescription,
                             std::string_view osArchitecture, std::string_view csdVersion,
                             std::string_view version);

// A CIM date-time ("yyyymmddHHMMSS.ffffff+UUU") as "%d-%d-%d %d:%d:%d":
// fractions and offset dropped; a field the text is too short for, or whose
// characters hold no digits, reads as 0.
std::string FormatBootTime(std::string_view cimDateTime);

// Mount point of a disk instance name ("1 D: E:"): its last blank-separated
// word, or the whole name when it has fewer than two words.
std::string DiskInstanceMountPoint(std::string_view name);
