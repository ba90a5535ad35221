#include "platform/systemctl.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "platform/captured_process.h"

namespace {

// More than any answer systemctl gives to the commands used here.
constexpr size_t kMaxSystemctlOutput = 1u << 20;

}  // namespace

std::string FindOnPath(const std::string& name) {
  const char* path = getenv("PATH");
  if (path == nullptr || name.empty() || name.find('/') != std::string::npos) return {};
  std::string_view rest(path);
  while (true) {
    const size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    // An empty entry would mean the working directory, which is not trusted.
    if (!dir.empty() && dir[0] == '/') {
      std::string candidate = dir + "/" + name;
      struct stat info {};
      if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
          access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (colon == std::string_view::npos) return {};
    rest.remove_prefix(colon + 1);
  }
}

SystemctlResult RunSystemctl(const std::vector<std::string>& args) {
  SystemctlResult result;
  const std::string program = FindOnPath("systemctl");
  if (program.empty()) {
    result.output = "systemctl not found on PATH";
    return result;
  }
  std::vector<std::string> argv;
  argv.reserve(args.size() + 1);
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  CapturedProcess process;
  std::string errorText;
  if (!process.Start(argv, &errorText)) {
    result.output = errorText;
    return result;
  }
  const CapturedProcess::Outcome outcome = process.ReadAll(kMaxSystemctlOutput, &result.output);
  result.ran = true;
  const int status = process.waitStatus();
  if (outcome == CapturedProcess::Outcome::kExited && status != -1 && WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  }
  return result;
}
