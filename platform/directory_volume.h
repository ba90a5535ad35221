// Directory listings and the volume a path lies on: the host's counterpart of
// file enumeration with volume serial numbers. A volume is identified by the
// device number (st_dev) of the file system that holds the path. Both readers
// return an empty text on success and the system's error text otherwise; they
// never hand back a shortened listing as success. Safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The volume id of `path`. The path is resolved with stat, which follows
// symbolic links: a link (a pg_wal or tablespace link that points elsewhere)
// gives the volume of what it points at, where the data really lies.
std::string GetVolumeId(const std::string& path, uint64_t& volumeId);

// Appends the names of the entries of directory `path`, without "." and "..",
// in the order the file system lists them.
std::string ListDirectoryNames(const std::string& path, std::vector<std::string>& names);
