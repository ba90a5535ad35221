#include "probes/host_resource_probes.h"

#include <cinttypes>
#include <cstdint>

#include "db/wql_parser.h"
#include "platform/number_parser.h"
#include "platform/text.h"

namespace {

constexpr int64_t kMebibyte = 1048576;

// A number as the C library's conversion reads it: leading blanks, a sign and
// the digits that follow; no digits read as 0.
int64_t LeadingInt64(std::string_view text) {
  return ParseDecimal<int64_t>(text, DecimalForm::kLeading).value_or(0);
}

std::string Int64Text(int64_t value) { return StrFormat("%" PRId64, value); }

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' ||
                        s.back() == '\n' || s.back() == '\v' || s.back() == '\f'))
    s.remove_suffix(1);
  return s;
}

// Rows of `rows` added only by a collector that found a WMI connection.
bool HaveWmi(const HostProbeSources& sources, std::string& error) {
  if (sources.wmi) return true;
  error = NoWmiConnectionText();
  return false;
}

void CollectDiskSpace(const HostProbeSources& sources, ResultSetWithFixedRows& rows,
                      std::string& error) {
  if (!HaveWmi(sources, error)) return;
  DBConnection& wmi = *sources.wmi;
  std::unique_ptr<ResultSet> drives = wmi.ExecuteQuery("SELECT DeviceID FROM Win32_DiskDrive");
  if (!drives->IsOk()) {
    error = drives->GetErrorMessage();
    return;
  }
  for (uint32_t d = 0; d < drives->GetRowCount(); ++d) {
    ForEachLogicalDiskOfDrive(
        wmi, drives->GetValueByName(d, "DeviceID"), error,
        [&rows](const ResultSet& disks, uint32_t l) {
          const int64_t size = LeadingInt64(disks.GetValueByName(l, "Size"));
          const int64_t free = LeadingInt64(disks.GetValueByName(l, "FreeSpace"));
          if (size == 0) return;  // no medium
          rows.AddRow({disks.GetValueByName(l, "Caption"), disks.GetValueByName(l, "FileSystem"),
                       Int64Text(size / kMebibyte), Int64Text((size - free) / kMebibyte),
                       Int64Text(free / kMebibyte)});
        });
  }
}

void CollectMemoryUsage(const HostProbeSources& sources, ResultSetWithFixedRows& rows,
                        std::string& error) {
  if (!HaveWmi(sources, error)) return;
  DBConnection& wmi = *sources.wmi;
  std::string total;
  std::unique_ptr<ResultSet> system =
      wmi.ExecuteQuery("SELECT TotalPhysicalMemory FROM Win32_ComputerSystem");
  if (system->IsOk()) {
    total = Int64Text(LeadingInt64(system->GetValueByName(0, "TotalPhysicalMemory")) / kMebibyte);
  } else {
    error = system->GetErrorMessage();
  }
  std::unique_ptr<ResultSet> os = wmi.ExecuteQuery(
      "SELECT FreePhysicalMemory, FreeVirtualMemory, TotalVirtualMemorySize, "
      "FreeSpaceInPagingFiles, SizeStoredInPagingFiles FROM Win32_OperatingSystem");
  if (!os->IsOk()) {
    error = os->GetErrorMessage();
    return;
  }
  rows.AddRow({total, Int64Text(LeadingInt64(os->GetValueByName(0, "FreePhysicalMemory")) / 1024),
               Int64Text(LeadingInt64(os->GetValueByName(0, "SizeStoredInPagingFiles")) / 1024),
               Int64Text(LeadingInt64(os->GetValueByName(0, "FreeSpaceInPagingFiles")) / 1024)});
}

void CollectProcessCounts(const HostProbeSources& sources, ResultSetWithFixedRows& rows,
                          std::string& error) {
  if (!HaveWmi(sources, error)) return;
  // On the live host the two counts come without a file per process; the
  // thread total is then the kernel's own count, which is the same sum.
  if (TaskCounts counts; CountTasks(sources.root, counts)) {
    rows.AddRow(
        {StrFormat("%" PRId32, static_cast<int32_t>(counts.processes)),
         StrFormat("%" PRId32, static_cast<int32_t>(static_cast<uint32_t>(counts.threads)))});
    return;
  }
  std::unique_ptr<ResultSet> processes = sources.wmi->ExecuteQuery("SELECT * FROM Win32_Process");
  if (!processes->IsOk()) {
    error = processes->GetErrorMessage();
    return;
  }
  // Summed as the 32-bit number the column holds: past its end it wraps.
  uint32_t threads = 0;
  for (uint32_t i = 0; i < processes->GetRowCount(); ++i) {
    std::optional<int32_t> count =
        ParseDecimal<int32_t>(processes->GetValueByName(i, "ThreadCount"), DecimalForm::kSigned);
    if (count) threads += static_cast<uint32_t>(*count);
  }
  rows.AddRow({StrFormat("%" PRId32, static_cast<int32_t>(processes->GetRowCount())),
               StrFormat("%" PRId32, static_cast<int32_t>(threads))});
}

void CollectOperatingSystemInfo(const HostProbeSources& sources, ResultSetWithFixedRows& rows,
                                std::string& error) {
  if (!HaveWmi(sources, error)) return;
  // Always the query with the architecture: every Linux build has it.
  std::unique_ptr<ResultSet> os = sources.wmi->ExecuteQuery(
      "SELECT Caption, OtherTypeDescription, OSArchitecture, CSDVersion, Version, "
      "LastBootUpTime FROM Win32_OperatingSystem");
  if (!os->IsOk()) {
    error = os->GetErrorMessage();
    return;
  }
  rows.AddRow({ComposeOsDetails(
                   os->GetValueByName(0, "Caption"), os->GetValueByName(0, "OtherTypeDescription"),
                   os->GetValueByName(0, "OSArchitecture"), os->GetValueByName(0, "CSDVersion"),
                   os->GetValueByName(0, "Version")),
               FormatBootTime(os->GetValueByName(0, "LastBootUpTime"))});
}

void CollectDiskBusy(const HostProbeSources& sources, ResultSetWithFixedRows& rows,
                     std::string& error) {
  if (!HaveWmi(sources, error)) return;
  std::unique_ptr<ResultSet> disks = sources.wmi->ExecuteQuery(
      "SELECT Caption, Name, Description, PercentIdleTime FROM "
      "Win32_PerfFormattedData_PerfDisk_PhysicalDisk");
  if (!disks->IsOk()) {
    error = disks->GetErrorMessage();
    return;
  }
  for (uint32_t i = 0; i < disks->GetRowCount(); ++i) {
    const int32_t idle =
        ParseDecimal<int32_t>(disks->GetValueByName(i, "PercentIdleTime"), DecimalForm::kLeading)
            .value_or(0);
    rows.AddRow({DiskInstanceMountPoint(disks->GetValueByName(i, "Name")),
                 StrFormat("%" PRId32, static_cast<int32_t>(100u - static_cast<uint32_t>(idle)))});
  }
}

}  // namespace

std::string ComposeOsDetails(std::string_view caption, std::string_view otherTypeDescription,
                             std::string_view osArchitecture, std::string_view csdVersion,
                             std::string_view version) {
  std::string out(TrimRight(caption));
  if (!otherTypeDescription.empty()) out.append(" ").append(otherTypeDescription);
  out.append(" ").append(TrimRight(osArchitecture));
  if (!csdVersion.empty()) out.append(" ").append(csdVersion);
  out.append(" (").append(TrimRight(version)).append(")");
  return out;
}

std::string FormatBootTime(std::string_view cimDateTime) {
  auto field = [&](size_t at, size_t length) -> unsigned {
    if (at >= cimDateTime.size()) return 0;
    return ParseDecimal<uint32_t>(cimDateTime.substr(at, length), DecimalForm::kLeading)
        .value_or(0);
  };
  return StrFormat("%u-%u-%u %u:%u:%u", field(0, 4), field(4, 2), field(6, 2), field(8, 2),
                   field(10, 2), field(12, 2));
}

std::string DiskInstanceMountPoint(std::string_view name) {
  std::string_view last;
  size_t words = 0;
  size_t i = 0;
  while (i < name.size()) {
    while (i < name.size() && name[i] == ' ') ++i;
    const size_t start = i;
    while (i < name.size() && name[i] != ' ') ++i;
    if (i > start) {
      last = name.substr(start, i - start);
      ++words;
    }
  }
  return words < 2 ? std::string(name) : std::string(last);
}

std::unique_ptr<ResultSet> IPTDiskSpace::CollectResults() {
  return CollectRows(
      {"mount_point", "file_system", "size_mb", "space_used_mb", "space_available_mb"},
      [this](ResultSetWithFixedRows& rows, std::string& error) {
        CollectDiskSpace(sources, rows, error);
      });
}

std::unique_ptr<ResultSet> IPTMemoryUsage::CollectResults() {
  return CollectRows(
      {"total_ram_memory_mb", "free_ram_memory_mb", "total_swap_memory_mb", "free_swap_memory_mb"},
      [this](ResultSetWithFixedRows& rows, std::string& error) {
        CollectMemoryUsage(sources, rows, error);
      });
}

std::unique_ptr<ResultSet> IPTProcessInfo::CollectResults() {
  return CollectRows({"total_process_count", "total_thread_count"},
                     [this](ResultSetWithFixedRows& rows, std::string& error) {
                       CollectProcessCounts(sources, rows, error);
                     });
}

std::unique_ptr<ResultSet> IPTOperatingSystemInfo::CollectResults() {
  return CollectRows({"os_details", "os_start_time"},
                     [this](ResultSetWithFixedRows& rows, std::string& error) {
                       CollectOperatingSystemInfo(sources, rows, error);
                     });
}

std::unique_ptr<ResultSet> IPTDiskBusyInfo::CollectResults() {
  return CollectRows({"mount_point", "disk_busy"},
                     [this](ResultSetWithFixedRows& rows, std::string& error) {
                       CollectDiskBusy(sources, rows, error);
                     });
}
