// What the host benchmarks measure the agent against: the bare reference
// program (reference/hostprobe.c, path HOSTPROBE_PATH) and a bare scan of every
// process's /proc/<pid>/stat, which the reference does not read.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace host_reference {

// Keeps the compiler from dropping the reads.
inline long sink = 0;

// µs of one bare scan: open, read and close /proc/<pid>/stat of every process.
double BareProcessScanMicros(long passes) {
  char buffer[4096];
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < passes; ++i) {
    DIR* dir = ::opendir("/proc");
    if (!dir) return -1;
    char path[300];
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::snprintf(path, sizeof path, "%s/stat", e->d_name);
      const int fd = ::openat(::dirfd(dir), path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) sink += buffer[n / 2];
      ::close(fd);
    }
    ::closedir(dir);
  }
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
             .count() /
         static_cast<double>(passes);
}

// Runs the reference program and returns its µs per sample, or -1.
double ReferenceMicros(long iterations) {
  const std::string command = std::string(HOSTPROBE_PATH) + " " + std::to_string(iterations);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  char line[1024] = {0};
  std::string output;
  while (std::fgets(line, sizeof line, pipe)) output += line;
  if (::pclose(pipe) != 0) return -1;
  const size_t at = output.find("us_per_sample=");
  if (at == std::string::npos) return -1;
  std::printf("reference: %s", output.c_str());
  return std::atof(output.c_str() + at + 14);
}

}  // namespace host_reference
