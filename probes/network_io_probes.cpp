#include "probes/network_io_probes.h"

#include <cinttypes>
#include <optional>

#include "db/wql_parser.h"
#include "platform/number_parser.h"
#include "platform/text.h"

namespace {

// Address-table type bits: primary and dynamic addresses are reported.
constexpr uint32_t kAddressPrimary = 0x1;
constexpr uint32_t kAddressDynamic = 0x4;

// Every address that is not an alias of another in its subnet is the
// interface's primary one; an address with a lease lifetime is dynamic.
uint32_t AddressType(const Ipv4Address& a) {
  return (a.secondary ? 0 : kAddressPrimary) | (a.permanent ? 0 : kAddressDynamic);
}

void CollectNetworkStatistics(const HostProbeSources& sources, ResultSetWithFixedRows& rows,
                              std::string& error) {
  std::vector<Ipv4Address> addresses;
  if (std::string e = sources.readAddresses(addresses); !e.empty()) {
    error = StrFormat(_("GetIpAddrTable: %s"), e.c_str());
    return;
  }
  std::vector<NetworkInterface> interfaces;
  if (std::string e = ReadNetworkInterfaces(sources.root, interfaces); !e.empty()) {
    error = StrFormat(_("GetIfTable: %s"), e.c_str());
    return;
  }
  int32_t loopbacks = 0, others = 0;
  for (const Ipv4Address& a : addresses) {
    if ((AddressType(a) & (kAddressPrimary | kAddressDynamic)) == 0) continue;
    for (const NetworkInterface& n : interfaces) {
      if (n.index != a.interfaceIndex) continue;
      const uint32_t type = InterfaceType(n);
      const bool loopback = type == kIfTypeSoftwareLoopback;
      if (!loopback) {
        if (type != kIfTypeEthernet && type != kIfTypeIeee80211 && type != kIfTypeIeee1394)
          continue;
        if (!InterfaceOperational(n) || n.addressLength == 0) continue;
      }
      // Speed in bits per second, in 64 bits (10 Gb/s does not fit 32); unknown is 0.
      const uint64_t speedBits = n.speedMbps > 0 ? static_cast<uint64_t>(n.speedMbps) * 1000000 : 0;
      rows.AddRow(
          {loopback ? StrFormat("lo%" PRId32, loopbacks++) : StrFormat("eth%" PRId32, others++),
           a.address, FormatCounter32(n.txPackets), FormatCounter32(n.rxPackets),
           FormatCounter32(n.txBytes >> 10), FormatCounter32(n.rxBytes >> 10),
           FormatCounter32(n.txDropped), FormatCounter32(n.rxDropped), FormatCounter32(n.txErrors),
           FormatCounter32(n.rxErrors), StrFormat("%" PRIu64, speedBits / 1000000)});
    }
  }
}

// The disk counters, read on first need within one run.
class DiskCounters {
 public:
  explicit DiskCounters(const std::string& root) : root(root) {}
  // The counters of device `name`; none when the device has no line (it
  // cannot be opened: no row, no error). `error` is set when the counters
  // cannot be read at all.
  std::optional<DiskStats> Find(const std::string& name, std::string& error) {
    if (!read) {
      read = true;
      readError = ReadDiskStats(root, all);
    }
    if (!readError.empty()) {
      error = StrFormat(_("IOAnalysis DeviceIOControl failed: %s"), readError.c_str());
      return std::nullopt;
    }
    for (const DiskStats& d : all) {
      if (d.name == name) return d;
    }
    return std::nullopt;
  }

 private:
  const std::string& root;
  bool read = false;
  std::string readError;
  std::vector<DiskStats> all;
};

void CollectDiskIOCounters(const HostProbeSources& sources, ResultSetWithFixedRows& rows,
                           std::string& error) {
  if (!sources.wmi) {
    error = NoWmiConnectionText();
    return;
  }
  DBConnection& wmi = *sources.wmi;
  std::unique_ptr<ResultSet> drives =
      wmi.ExecuteQuery("SELECT DeviceID, BytesPerSector FROM Win32_DiskDrive");
  if (!drives->IsOk()) {
    error = drives->GetErrorMessage();
    return;
  }
  DiskCounters counters(sources.root);
  for (uint32_t d = 0; d < drives->GetRowCount(); ++d) {
    const std::string deviceId = drives->GetValueByName(d, "DeviceID");
    uint64_t bytesPerSector =
        ParseDecimal<uint64_t>(drives->GetValueByName(d, "BytesPerSector"), DecimalForm::kLeading)
            .value_or(0);
    if (bytesPerSector == 0) bytesPerSector = 512;
    ForEachLogicalDiskOfDrive(wmi, deviceId, error, [&](const ResultSet& disks, uint32_t l) {
      // The drive's counters: sectors of 512 bytes, whatever the disk's own sector size.
      const std::string name = deviceId.rfind("/dev/", 0) == 0 ? deviceId.substr(5) : deviceId;
      std::optional<DiskStats> c = counters.Find(name, error);
      if (!c) return;
      rows.AddRow({disks.GetValueByName(l, "Caption"),
                   StrFormat("%" PRIu64, c->sectorsRead * 512 / bytesPerSector),
                   StrFormat("%" PRIu64, c->sectorsWritten * 512 / bytesPerSector)});
    });
  }
}

}  // namespace

uint32_t InterfaceType(const NetworkInterface& n) {
  switch (n.linkType) {
    case 772:  // ARPHRD_LOOPBACK
      return kIfTypeSoftwareLoopback;
    case 1:  // ARPHRD_ETHER
      return n.wireless ? kIfTypeIeee80211 : kIfTypeEthernet;
    case 24:  // ARPHRD_IEEE1394
      return kIfTypeIeee1394;
    default:
      return 1;
  }
}

bool InterfaceOperational(const NetworkInterface& n) {
  return n.operState == "up" || (n.operState == "unknown" && n.carrier);
}

std::string FormatCounter32(uint64_t value) {
  return StrFormat("%" PRId32, static_cast<int32_t>(static_cast<uint32_t>(value)));
}

std::unique_ptr<ResultSet> IPTNetworkStatistics::CollectResults() {
  return CollectRows(
      {"interface_name", "ip_address", "packets_sent", "packets_received", "sent_bytes_kb",
       "receive_bytes_kb", "out_packets_discards", "in_packets_discards", "out_packets_errors",
       "in_packets_errors", "link_speed_mbps"},
      [this](ResultSetWithFixedRows& rows, std::string& error) {
        CollectNetworkStatistics(sources, rows, error);
      });
}

std::unique_ptr<ResultSet> IPTIOAnalysis::CollectResults() {
  return CollectRows({"disk_drive", "blks_read", "blks_wrtn"},
                     [this](ResultSetWithFixedRows& rows, std::string& error) {
                       CollectDiskIOCounters(sources, rows, error);
                     });
}
