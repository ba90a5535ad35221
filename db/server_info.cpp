#include "db/server_info.h"

#include <chrono>
#include <mutex>
#include <unordered_map>

#include "db/central_connection.h"
#include "db/server_version.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {

// How long the version query may wait for a server that took the connection.
constexpr std::chrono::seconds kVersionQueryLimit{10};
// Highest release number the code can hold below the next family's 20000.
constexpr int32_t kMaxMajor = 99;

std::mutex recordedMutex;
// Guarded by recordedMutex: the code last stored for each server by this process.
std::unordered_map<int32_t, int32_t> recordedCodes;

}  // namespace

int32_t ServerVersionCode(int32_t serverVersionNum, bool isKelvora) {
  if (serverVersionNum <= 0) return 0;
  // 90105 is 9.1(.5); 160002 is 16(.2), whose second number is a bug-fix level.
  int32_t major = serverVersionNum / 10000;
  int32_t minor = serverVersionNum >= 100000 ? 0 : (serverVersionNum / 100) % 100;
  if (major <= 0) return 0;
  if (major > kMaxMajor) {
    major = kMaxMajor;
    minor = 0;
  }
  return (isKelvora ? 20000 : 10000) + 100 * major + minor;
}

std::string ServerInfoUpsertQuery(int32_t serverId, int32_t code) {
  return StrFormat(
      "INSERT INTO varodata.server_info (server_id, server_version_id, server_version, "
      "recorded_time) VALUES (%d, %d, $1, now()) ON CONFLICT (server_id) DO UPDATE SET "
      "server_version_id = EXCLUDED.server_version_id, server_version = "
      "EXCLUDED.server_version, recorded_time = EXCLUDED.recorded_time",
      serverId, code);
}

bool RecordServerVersion(int32_t serverId, DBConnectionToPostgreSQL& server,
                         std::string& errorText) {
  PGconn* conn = server.GetHandle();
  if (!conn || !GetCentralConnection()) return true;
  const int32_t number = PQserverVersion(conn);
  {
    // Without KELVORA the code is known from the connection alone; the common
    // case (a server already recorded) sends nothing.
    std::lock_guard<std::mutex> lock(recordedMutex);
    auto found = recordedCodes.find(serverId);
    if (found != recordedCodes.end() &&
        (found->second == ServerVersionCode(number, false) ||
         found->second == ServerVersionCode(number, true))) {
      return true;
    }
  }
  bool timedOut = false;
  std::unique_ptr<ResultSet> version =
      server.ExecuteQueryWithin("SELECT version()", kVersionQueryLimit, &timedOut);
  if (timedOut) {
    errorText = version->GetErrorMessage();
    return false;
  }
  if (!version->IsOk()) {
    LogMessage(StrFormat(_("could not read the version of server %d: %s; its version code is "
                           "not recorded this time"),
                         serverId, version->GetErrorMessage().c_str()),
               LOG_WARNING);
    return true;
  }
  const std::string text = version->GetValueByIndex(0, 0);
  const int32_t code = ServerVersionCode(number, ParseServerVersionText(text).isKelvora);

  // Looked up again: the central connection is read at the moment of use.
  DBConnection* central = GetCentralConnection();
  if (!central) return true;
  std::unique_ptr<ResultSet> stored = central->ExecuteQuery(ServerInfoUpsertQuery(serverId, code),
                                                            {text});
  if (!stored->IsOk()) {
    LogMessage(StrFormat(_("could not record the version code of server %d: %s; the log "
                           "settings probe and the log import read 0 until it is recorded"),
                         serverId, stored->GetErrorMessage().c_str()),
               LOG_WARNING);
    return true;
  }
  LogMessage(StrFormat(_("recorded version code %d of server %d"), code, serverId), LOG_DEBUG1);
  std::lock_guard<std::mutex> lock(recordedMutex);
  recordedCodes[serverId] = code;
  return true;
}

void ForgetRecordedServerVersions() {
  std::lock_guard<std::mutex> lock(recordedMutex);
  recordedCodes.clear();
}
