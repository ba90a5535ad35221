#include "db/server_info.h"

#include <chrono>
#include <ctime>
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

// A failed store is tried again after this many seconds, not on every new
// connection (the pool opens new ones every pass).
constexpr int64_t kRetrySeconds = 600;

// The last attempt to store a server's code.
struct Attempt {
  int32_t code = 0;
  bool stored = false;
  int64_t at = 0;  // seconds since 1970
};

std::mutex recordedMutex;
// Guarded by recordedMutex: the last attempt for each server by this process.
std::unordered_map<int32_t, Attempt> attempts;

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

void NoteAttempt(int32_t serverId, int32_t code, bool stored) {
  std::lock_guard<std::mutex> lock(recordedMutex);
  attempts[serverId] = Attempt{code, stored, Now()};
}

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
    // The common case (a server already recorded) sends nothing: the code is
    // known from the connection alone, up to the KELVORA family.
    std::lock_guard<std::mutex> lock(recordedMutex);
    auto found = attempts.find(serverId);
    if (found != attempts.end()) {
      const Attempt& last = found->second;
      if (last.stored && (last.code == ServerVersionCode(number, false) ||
                          last.code == ServerVersionCode(number, true))) {
        return true;
      }
      if (!last.stored && Now() < last.at + kRetrySeconds) return true;
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
    NoteAttempt(serverId, 0, false);
    return true;
  }
  const std::string text = version->GetValueByIndex(0, 0);
  const int32_t code = ServerVersionCode(number, ParseServerVersionText(text).isKelvora);

  // Looked up again: the central connection is read at the moment of use.
  DBConnection* central = GetCentralConnection();
  if (!central) return true;
  std::unique_ptr<ResultSet> stored =
      central->ExecuteQuery(ServerInfoUpsertQuery(serverId, code), {text});
  if (!stored->IsOk()) {
    LogMessage(StrFormat(_("could not record the version code of server %d: %s; the log "
                           "settings probe reads 0 until it is recorded (tried again in %d "
                           "minutes)"),
                         serverId, stored->GetErrorMessage().c_str(),
                         static_cast<int>(kRetrySeconds / 60)),
               LOG_WARNING);
    NoteAttempt(serverId, code, false);
    return true;
  }
  LogMessage(StrFormat(_("recorded version code %d of server %d"), code, serverId), LOG_DEBUG1);
  NoteAttempt(serverId, code, true);
  return true;
}

void ForgetRecordedServerVersions() {
  std::lock_guard<std::mutex> lock(recordedMutex);
  attempts.clear();
}
