#include "agent/service_installer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Runs "systemctl <args>" and returns its exit code, or -1 when it could not
// be run at all. With `output`, its standard output is captured there (its
// standard error goes to ours, so that systemctl's own message reaches the user).
int RunSystemctl(const std::vector<std::string>& args, std::string* output = nullptr) {
  std::vector<std::string> words{"systemctl"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  UniqueFd readEnd;
  UniqueFd writeEnd;
  if (output != nullptr) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    readEnd = UniqueFd(fds[0]);
    writeEnd = UniqueFd(fds[1]);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != nullptr) posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
  std::fflush(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  writeEnd.Reset();
  if (output != nullptr) {
    output->clear();
    char buffer[512];
    for (;;) {
      ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      output->append(buffer, static_cast<size_t>(n));
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A warning of INSTALL: the unit stands, but the user must hear what is
// missing whatever the log level, so it is printed, not filtered.
void InstallWarning(const std::string& text) {
  std::printf(_("WARNING: %s\n"), text.c_str());
  std::fflush(stdout);
}

// What "systemctl is-active" said about a unit.
enum class UnitActivity { kStopped, kRunning, kUnknown };

UnitActivity QueryUnitActivity(const std::string& serviceName) {
  std::string output;
  const int code = RunSystemctl({"is-active", serviceName}, &output);
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  // Only these two words mean the unit is not running; any other answer (a bus
  // or permission error prints none) leaves its state unknown.
  if (output == "inactive" || output == "failed") return UnitActivity::kStopped;
  if (code == 0 || output == "activating" || output == "deactivating" || output == "reloading" ||
      output == "refreshing") {
    return UnitActivity::kRunning;
  }
  return UnitActivity::kUnknown;
}

// systemd manages this host, and the unit goes where systemd looks for it.
bool ManageWithSystemctl() {
  std::error_code ec;
  const char* dir = std::getenv("VARO_SYSTEMD_DIR");
  return (dir == nullptr || *dir == '\0') && fs::exists("/run/systemd/system", ec);
}

bool IsPlainExecChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("-_./:=,+@", c) != nullptr;
}

// A display name as a Description= value: on one line, without specifiers and
// without a trailing backslash (which would join the next line).
std::string UnitDescription(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      out += ' ';
    } else if (c == '%') {
      out += "%%";
    } else {
      out += c;
    }
  }
  while (!out.empty() && (out.back() == '\\' || out.back() == ' ')) out.pop_back();
  return out;
}

bool IsValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '-') return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
          c == '.' || c == '-' || c == '@' || c == '$')) {
      return false;
    }
  }
  return true;
}

}  // namespace

ServiceInstallRequest ParseInstallArguments(const std::string& serviceName,
                                            const std::vector<std::string>& args) {
  ServiceInstallRequest request;
  request.serviceName = serviceName;
  request.displayName = std::string(_("Corvane - ")) + serviceName;
  request.runArguments = {"RUN", serviceName};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool taken =
        arg.size() >= 2 && arg[0] == '-' && (arg[1] == 'd' || arg[1] == 'u' || arg[1] == 'p');
    if (!taken) {
      request.runArguments.push_back(arg);
      continue;
    }
    std::string value;
    if (arg.size() > 2) {
      value = arg.substr(2);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      LogFatal(_("Invalid command line argument"));
    }
    if (arg[1] == 'd') {
      request.displayName = value;
    } else if (arg[1] == 'u') {
      request.account = value.find('\\') != std::string::npos ? value : ".\\" + value;
      request.accountGiven = true;
    } else {
      request.password = value;
    }
  }
  return request;
}

bool IsValidServiceName(const std::string& name) {
  if (name.empty() || name.size() > 200 || name == "." || name == "..") return false;
  // systemctl would read a leading "-" as an option, and a trailing "@" makes
  // the name a template, which cannot be started itself.
  if (name.front() == '-' || name.back() == '@') return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          std::strchr(":_.@-", c) != nullptr)) {
      return false;
    }
  }
  return true;
}

std::string QuoteExecWord(const std::string& word) {
  bool plain = !word.empty();
  for (char c : word) plain = plain && IsPlainExecChar(c);
  if (plain) return word;
  std::string out = "\"";
  for (char c : word) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '%':
        out += "%%";
        break;
      case '$':
        out += "$$";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          out += StrFormat("\\x%02x", static_cast<unsigned char>(c));
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string BuildUnitFile(const ServiceInstallRequest& request, const std::string& programPath) {
  std::string execStart = QuoteExecWord(programPath);
  for (const std::string& word : request.runArguments) execStart += " " + QuoteExecWord(word);
  std::string unit;
  unit += "[Unit]\n";
  unit += "Description=" + UnitDescription(request.displayName) + "\n";
  unit += "\n[Service]\n";
  unit += "Type=notify\n";
  unit += "ExecStart=" + execStart + "\n";
  if (request.accountGiven) {
    unit += "User=" + request.account.substr(request.account.rfind('\\') + 1) + "\n";
  }
  unit += "\n[Install]\n";
  unit += "WantedBy=multi-user.target\n";
  return unit;
}

std::string UnitDirectory() {
  const char* dir = std::getenv("VARO_SYSTEMD_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return "/etc/systemd/system";
}

bool InstallService(const ServiceInstallRequest& request, const std::string& programPath) {
  if (!IsValidServiceName(request.serviceName)) {
    LogFatal(StrFormat(_("invalid service name %s: use letters, digits and the characters :_.@-"),
                       request.serviceName.c_str()));
  }
  if (request.accountGiven) {
    const std::string user = request.account.substr(request.account.rfind('\\') + 1);
    if (!IsValidUserName(user)) {
      LogFatal(StrFormat(_("invalid user name %s for the service"), user.c_str()));
    }
  }
  const fs::path unitPath = fs::path(UnitDirectory()) / (request.serviceName + ".service");
  const fs::path tempPath = fs::path(unitPath.string() + ".tmp");
  const std::string text = BuildUnitFile(request, programPath);

  // Write a new file beside the unit and rename it into place, so that a
  // failed write never leaves a truncated unit behind.
  int error = 0;
  UniqueFd fd(::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) error = errno;
  size_t done = 0;
  while (error == 0 && done < text.size()) {
    ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno != EINTR) error = errno;
      continue;
    }
    done += static_cast<size_t>(n);
  }
  if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
  fd.Reset();
  if (error == 0 && ::rename(tempPath.c_str(), unitPath.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(tempPath.c_str());
    LogFatal(StrFormat("%s: %s", unitPath.c_str(), std::strerror(error)));
  }
  if (ManageWithSystemctl()) {
    if (RunSystemctl({"daemon-reload"}) != 0) {
      InstallWarning(_("systemctl daemon-reload failed; the unit is installed but not yet loaded"));
    }
    if (RunSystemctl({"enable", request.serviceName}) != 0) {
      InstallWarning(StrFormat(_("systemctl enable %s failed; the service will not start at boot"),
                               request.serviceName.c_str()));
    }
  }
  return true;
}

bool RemoveService(const std::string& serviceName) {
  if (!IsValidServiceName(serviceName)) {
    LogFatal(StrFormat(_("invalid service name %s: use letters, digits and the characters :_.@-"),
                       serviceName.c_str()));
  }
  const fs::path unitPath = fs::path(UnitDirectory()) / (serviceName + ".service");
  const bool systemd = ManageWithSystemctl();
  if (systemd) {
    const int stopCode = RunSystemctl({"stop", serviceName});
    UnitActivity activity = UnitActivity::kUnknown;
    for (int attempt = 0; attempt < 5; ++attempt) {
      activity = QueryUnitActivity(serviceName);
      if (activity == UnitActivity::kStopped) break;
      // A failed query is asked again at once; a running unit gets a second.
      if (activity == UnitActivity::kRunning) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      }
    }
    if (activity == UnitActivity::kUnknown) {
      LogMessage(StrFormat(_("unable to find out whether the service %s has stopped; it stays "
                             "installed"),
                           serviceName.c_str()),
                 LOG_ERROR);
      return false;
    }
    if (activity == UnitActivity::kRunning) {
      LogMessage(StrFormat(_("the service %s did not stop (systemctl stop exit status %d); it "
                             "stays installed"),
                           serviceName.c_str(), stopCode),
                 LOG_ERROR);
      return false;
    }
    if (RunSystemctl({"disable", serviceName}) != 0) {
      LogMessage(StrFormat(_("systemctl disable %s failed; the service stays installed"),
                           serviceName.c_str()),
                 LOG_ERROR);
      return false;
    }
  }
  if (::unlink(unitPath.c_str()) != 0 && errno != ENOENT) {
    LogMessage(StrFormat(_("unable to delete the unit file %s: %s"), unitPath.c_str(),
                         std::strerror(errno)),
               LOG_ERROR);
    return false;
  }
  if (systemd && RunSystemctl({"daemon-reload"}) != 0) {
    LogMessage(StrFormat(_("systemctl daemon-reload failed; the unit file %s is deleted but "
                           "systemd still knows the service"),
                         unitPath.c_str()),
               LOG_ERROR);
    return false;
  }
  return true;
}
