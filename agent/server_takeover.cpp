#include "agent/server_takeover.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "agent/settings.h"
#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace fs = std::filesystem;

namespace {

constexpr char kSeparator[] = "/";
constexpr std::string_view kFlagPrefix = "takeover-server-";

std::string WithSeparator(std::string path) {
  if (path.empty() || path.back() != '/') path += kSeparator;
  return path;
}

}  // namespace

std::string FlagDirectoryPath(const std::string& flagDirSetting, int32_t agentId) {
  if (flagDirSetting.empty()) {
    std::error_code ec;
    std::string temp = fs::temp_directory_path(ec).string();
    if (ec) temp = "/tmp";
    return StrFormat("%svaro%sagent-%d%s", WithSeparator(temp).c_str(), kSeparator, agentId,
                     kSeparator);
  }
  return StrFormat("%sagent-%d%s", WithSeparator(flagDirSetting).c_str(), agentId, kSeparator);
}

std::optional<int32_t> ParseFlagFileServerId(std::string_view fileName) {
  size_t dash = fileName.rfind('-');
  if (dash == std::string_view::npos) return std::nullopt;
  return ParseDecimal<int32_t>(fileName.substr(dash + 1), DecimalForm::kSigned);
}

namespace {

// Makes every missing directory of `path`: the parents with mode 0755, the
// flag directory itself with mode 0700, so that only the agent's user may drop
// files into it. Returns 0 or the errno of the first failure.
int MakeFlagDirectory(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t at = 0;
  while ((at = trimmed.find('/', at + 1)) != std::string::npos) {
    const std::string parent = trimmed.substr(0, at);
    if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  if (::mkdir(trimmed.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

// Why the open directory `fd` must not be trusted, or an empty text when it
// is the agent's own: a directory owned by the agent's user that no other
// user may write to.
std::string UntrustedReason(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return _("it is not a directory");
  if (info.st_uid != ::geteuid()) return _("it is not owned by the agent's user");
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return _("other users may write to it");
  return std::string();
}

}  // namespace

void ProcessFlagFiles(DBConnection& central, const std::string& flagDirectory) {
  LogMessage(StrFormat(_("Checking flag directory: %s"), flagDirectory.c_str()), LOG_DEBUG1);

  struct stat link {};
  std::string trimmed = flagDirectory;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  if (::lstat(trimmed.c_str(), &link) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    const int error = MakeFlagDirectory(flagDirectory);
    if (error != 0) {
      LogMessage(StrFormat(_("Failed to create the flag directory: %s, error %d"),
                           flagDirectory.c_str(), error),
                 LOG_WARNING);
    }
    return;
  }

  // Everything below works on the directory opened once, never through its
  // path again: the checks hold for what is read and deleted, and neither the
  // directory nor a file in it is followed when it is a symbolic link.
  UniqueFd dirFd(::open(trimmed.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dirFd.valid()) {
    const int error = errno;
    if (error == ELOOP || (error == ENOTDIR && S_ISLNK(link.st_mode))) {
      LogMessage(StrFormat(_("Ignoring the flag directory %s: it is a symbolic link"),
                           flagDirectory.c_str()),
                 LOG_WARNING);
      return;
    }
    LogMessage(StrFormat(_("Failed to open the flag directory: %s, error %d"),
                         flagDirectory.c_str(), error),
               LOG_WARNING);
    return;
  }
  const std::string reason = UntrustedReason(dirFd.get());
  if (!reason.empty()) {
    LogMessage(
        StrFormat(_("Ignoring the flag directory %s: %s"), flagDirectory.c_str(), reason.c_str()),
        LOG_WARNING);
    return;
  }

  // Collect the names first, so that deleting files does not disturb the listing.
  std::vector<std::string> names;
  {
    const int listFd = ::fcntl(dirFd.get(), F_DUPFD_CLOEXEC, 0);
    DirPtr dir(listFd >= 0 ? ::fdopendir(listFd) : nullptr);
    if (!dir) {
      const int error = errno;
      if (listFd >= 0) ::close(listFd);
      LogMessage(StrFormat(_("Failed to open the flag directory: %s, error %d"),
                           flagDirectory.c_str(), error),
                 LOG_WARNING);
      return;
    }
    while (dirent* entry = ::readdir(dir.get())) {
      std::string name = entry->d_name;
      if (name.empty() || name.front() == '.') continue;
      if (name.compare(0, kFlagPrefix.size(), kFlagPrefix) != 0) continue;
      struct stat info {};
      if (::fstatat(dirFd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(info.st_mode)) {
        continue;  // only plain files; a link is never followed
      }
      names.push_back(std::move(name));
    }
  }

  for (const std::string& name : names) {
    LogMessage(StrFormat(_("Processing flag file: %s"), name.c_str()), LOG_DEBUG1);
    std::optional<int32_t> serverId = ParseFlagFileServerId(name);
    if (!serverId) {
      LogMessage(StrFormat(_("Failed to extract server ID from flag filename %s"), name.c_str()),
                 LOG_WARNING);
      continue;
    }
    if (!TakeOverServer(central, *serverId)) continue;
    if (::unlinkat(dirFd.get(), name.c_str(), 0) != 0) {
      LogMessage(StrFormat(_("Failed to remove the flag file %s%s%s"), flagDirectory.c_str(),
                           kSeparator, name.c_str()),
                 LOG_WARNING);
    }
  }
}

std::string TakeoverPermissionQuery(int32_t serverId) {
  return StrFormat(
      "SELECT allow_takeover FROM varo.agent_server_binding WHERE server_id = '%d' AND "
      "allow_takeover = TRUE;",
      serverId);
}

std::string TakeoverStatement(int32_t agentId, int32_t serverId) {
  return StrFormat(
      "UPDATE varo.agent_server_binding SET agent_id = %d WHERE server_id = %d AND "
      "allow_takeover = TRUE;",
      agentId, serverId);
}

bool TakeOverServer(DBConnection& central, int32_t serverId) {
  LogMessage(StrFormat(_("Attempting to take over server %d"), serverId), LOG_DEBUG1);

  std::unique_ptr<ResultSet> allowed = central.ExecuteQuery(TakeoverPermissionQuery(serverId));
  if (!allowed->IsOk()) {
    LogMessage(StrFormat(_("Failed to check server %d takeover permission: %s"), serverId,
                         allowed->GetErrorMessage().c_str()),
               LOG_WARNING);
    return false;
  }
  if (allowed->GetRowCount() == 0) {
    LogMessage(StrFormat(_("No bindings for server %d exist or allow takeover"), serverId),
               LOG_WARNING);
    return false;
  }

  std::string error;
  const int32_t moved =
      central.ExecuteCommand(TakeoverStatement(GetSettings().agent_id, serverId), &error);
  // No binding moved (takeover switched off since the check): the flag file
  // stays, rather than reporting a takeover that did not happen.
  if (moved == 0) error = _("no binding allows takeover any more");
  if (moved <= 0) {
    LogMessage(StrFormat(_("Failed to takeover server %d binding(s): %s"), serverId, error.c_str()),
               LOG_WARNING);
    return false;
  }
  LogMessage(StrFormat(_("Successfully took over server %d"), serverId), LOG_DEBUG1);
  return true;
}
