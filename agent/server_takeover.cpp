#include "agent/server_takeover.h"

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "db/central_connection.h"
#include "platform/log.h"
#include "platform/settings.h"
#include "platform/text.h"

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
  std::string_view digits = fileName.substr(dash + 1);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int32_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 10);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

void ProcessFlagFiles(const std::string& flagDirectory) {
  LogMessage(StrFormat(_("Checking flag directory: %s"), flagDirectory.c_str()), LOG_DEBUG1);

  std::error_code ec;
  if (!fs::exists(flagDirectory, ec)) {
    // create_directories makes every missing parent with mode 0777 (less the umask).
    fs::create_directories(flagDirectory, ec);
    if (ec) {
      LogMessage(StrFormat(_("Failed to create the flag directory: %s, error %d"),
                           flagDirectory.c_str(), ec.value()),
                 LOG_WARNING);
    }
    return;
  }

  // Collect the names first, so that deleting files does not disturb the listing.
  std::vector<std::string> names;
  fs::directory_iterator it(flagDirectory, ec);
  if (ec) {
    LogMessage(StrFormat(_("Failed to open the flag directory: %s, error %d"),
                         flagDirectory.c_str(), ec.value()),
               LOG_WARNING);
    return;
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    std::error_code typeError;
    if (name.empty() || name.front() == '.' || !it->is_regular_file(typeError)) continue;
    if (name.compare(0, kFlagPrefix.size(), kFlagPrefix) != 0) continue;
    names.push_back(std::move(name));
  }
  if (ec) {
    LogMessage(StrFormat(_("Failed to open the flag directory: %s, error %d"),
                         flagDirectory.c_str(), ec.value()),
               LOG_WARNING);
  }

  for (const std::string& name : names) {
    LogMessage(StrFormat(_("Processing flag file: %s"), name.c_str()), LOG_DEBUG1);
    std::optional<int32_t> serverId = ParseFlagFileServerId(name);
    if (!serverId) {
      LogMessage(StrFormat(_("Failed to extract server ID from flag filename %s"), name.c_str()),
                 LOG_WARNING);
      continue;
    }
    if (!TakeOverServer(*serverId)) continue;
    std::error_code removeError;
    if (!fs::remove(fs::path(flagDirectory) / name, removeError) || removeError) {
      LogMessage(StrFormat(_("Failed to remove the flag file %s%s%s"), flagDirectory.c_str(),
                           kSeparator, name.c_str()),
                 LOG_WARNING);
    }
  }
}

bool TakeOverServer(int32_t serverId) {
  LogMessage(StrFormat(_("Attempting to take over server %d"), serverId), LOG_DEBUG1);
  DBConnection* central = GetCentralConnection();
  if (!central) return false;

  std::unique_ptr<ResultSet> allowed = central->ExecuteQuery(
      StrFormat("SELECT allow_takeover FROM varo.agent_server_binding WHERE server_id = '%d' AND "
                "allow_takeover = TRUE;",
                serverId));
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
  if (central->ExecuteCommand(
          StrFormat("UPDATE varo.agent_server_binding SET agent_id = %d WHERE server_id = %d AND "
                    "allow_takeover = TRUE;",
                    GetSettings().agent_id, serverId),
          &error) < 0) {
    LogMessage(StrFormat(_("Failed to takeover server %d binding(s): %s"), serverId, error.c_str()),
               LOG_WARNING);
    return false;
  }
  LogMessage(StrFormat(_("Successfully took over server %d"), serverId), LOG_DEBUG1);
  return true;
}
