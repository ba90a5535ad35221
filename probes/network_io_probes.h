// The traffic counters of the agent's host, cumulative as the kernel keeps
// them: "network_statistics" (one row per IPv4 address and the interface that
// carries it) and "io_analysis" (the read and written blocks of each physical
// disk, under each of its logical disks). Each object is created for one run
// and used by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "probes/host_probe_sources.h"
#include "probes/internal_probe.h"

class IPTNetworkStatistics : public InternalProbe {
 public:
  explicit IPTNetworkStatistics(HostProbeSources sources) : sources(std::move(sources)) {}
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  HostProbeSources sources;
};

class IPTIOAnalysis : public InternalProbe {
 public:
  explicit IPTIOAnalysis(HostProbeSources sources) : sources(std::move(sources)) {}
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  HostProbeSources sources;
};

// Interface types as the interface table numbers them.
constexpr uint32_t kIfTypeEthernet = 6;
constexpr uint32_t kIfTypeSoftwareLoopback = 24;
constexpr uint32_t kIfTypeIeee80211 = 71;
constexpr uint32_t kIfTypeIeee1394 = 144;

// The interface-table type of a Linux interface: loopback 24, Ethernet 6 (71
// when wireless), IEEE 1394 144; 1 (other) for every other link type.
uint32_t InterfaceType(const NetworkInterface& n);
// Operational: operstate up, or unknown with a carrier (drivers that do not
// report the state).
bool InterfaceOperational(const NetworkInterface& n);

// A counter as the interface table's 32-bit field prints it with "%ld": its
// low 32 bits as a signed number.
std::string FormatCounter32(uint64_t value);
