// Where the host probes read the agent's host: the WMI connection for the
// management classes, and for the probes that read kernel counters directly
// (network interfaces, disk I/O) the root of the tree they read and the
// address table. The live host by default; tests point them at recorded trees.
// A value of this struct is copied into each probe and read by one thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "db/db_connection.h"
#include "db/result_set.h"
#include "platform/host_info.h"

struct HostProbeSources {
  DBConnection* wmi = nullptr;  // the WMI connection; null when it could not be made
  std::string root = "/";       // tree of /proc and /sys
  std::function<std::string(std::vector<Ipv4Address>& out)> readAddresses = ReadIpv4Addresses;
};

// The host of the process-wide WMI connection (null before ConnectToWMI
// succeeded): the live host, or the tree the connection was pointed at.
HostProbeSources LiveHostSources();

// Error text of a host probe that has no WMI connection to query: it fails
// rather than report an empty host, which would delete its stored rows.
const char* NoWmiConnectionText();

// Calls `visit` with each logical disk (a row of `disks`) on a partition of the
// disk drive `driveDeviceId`, following the drive -> partition -> logical disk
// associations. A failed association query sets `error` (the last one wins)
// and the walk goes on with the next partition.
void ForEachLogicalDiskOfDrive(
    DBConnection& wmi, const std::string& driveDeviceId, std::string& error,
    const std::function<void(const ResultSet& disks, uint32_t row)>& visit);
