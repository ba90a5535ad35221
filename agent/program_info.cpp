#include "agent/program_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {
std::string& StoredProgramPath() {
  static std::string path;
  return path;
}
std::string& StoredServiceName() {
  static std::string name;
  return name;
}
}  // namespace

std::string ComputeProgramPath(const std::string& argv0) {
  std::error_code ec;
  if (argv0.find('/') == std::string::npos) {
    const char* pathVariable = std::getenv("PATH");
    const std::string_view search = pathVariable != nullptr ? pathVariable : "";
    size_t pos = 0;
    while (!argv0.empty() && pos <= search.size()) {
      size_t end = search.find(':', pos);
      if (end == std::string::npos) end = search.size();
      std::string_view dir = search.substr(pos, end - pos);
      pos = end + 1;
      fs::path candidate = fs::path(dir.empty() ? std::string_view(".") : dir) / argv0;
      if (access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate, ec)) {
        return fs::absolute(candidate, ec).lexically_normal().string();
      }
    }
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) return self.string();
    return fs::absolute(argv0, ec).lexically_normal().string();
  }
  fs::path path(argv0);
  const char* home = std::getenv("HOME");
  if (home != nullptr && (argv0 == "~" || argv0.rfind("~/", 0) == 0)) {
    path = fs::path(home) / argv0.substr(argv0.size() > 1 ? 2 : 1);
  }
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  return absolute.lexically_normal().string();
}

std::string RunningProgramPath(const std::string& programPath) {
  struct stat given {};
  struct stat running {};
  if (::stat(programPath.c_str(), &given) == 0 && ::stat("/proc/self/exe", &running) == 0 &&
      given.st_dev == running.st_dev && given.st_ino == running.st_ino) {
    return programPath;
  }
  std::error_code ec;
  const std::string self = fs::read_symlink("/proc/self/exe", ec).string();
  // A program deleted or replaced since it started has no path to give.
  constexpr std::string_view kDeleted = " (deleted)";
  if (ec || self.empty() || std::string_view(self).ends_with(kDeleted)) return programPath;
  return self;
}

std::string ProgramName(const std::string& programPath) {
  return fs::path(programPath).stem().string();
}

const std::string& ProgramPath() { return StoredProgramPath(); }
void SetProgramPath(const std::string& path) { StoredProgramPath() = path; }
const std::string& ServiceName() { return StoredServiceName(); }
void SetServiceName(const std::string& name) { StoredServiceName() = name; }
