#include "platform/directory_volume.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/text.h"
#include "platform/unique_fd.h"

std::string GetVolumeId(const std::string& path, uint64_t& volumeId) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return ErrnoText(errno);
  volumeId = static_cast<uint64_t>(info.st_dev);
  return std::string();
}

std::string ListDirectoryNames(const std::string& path, std::vector<std::string>& names) {
  DirPtr dir(opendir(path.c_str()));
  if (!dir) return ErrnoText(errno);
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  // readdir ends with null both at the end and on a failure; only a failure
  // sets errno.
  if (errno != 0) return ErrnoText(errno);
  return std::string();
}
