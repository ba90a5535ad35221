#include "agent/heartbeat_thread.h"

#include <memory>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "db/central_connection.h"
#include "db/server_pool.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {

// The server ids that have a live heartbeat thread. Never destroyed, because
// heartbeat threads may still be finishing while the process exits.
struct Registry {
  std::mutex mutex;
  // Guarded by `mutex`.
  std::unordered_set<int32_t> threads;
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

void Unregister(int32_t serverId) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.threads.erase(serverId);
}

}  // namespace

HeartBeatThread::HeartBeatThread(int32_t agentId, int32_t serverId, std::string databaseName)
    : agentId_(agentId), serverId_(serverId), databaseName_(std::move(databaseName)) {}

HeartBeatThread::~HeartBeatThread() {
  // Only reached with the entry still held when the thread could not be
  // started; a finished thread has given it up in Entry.
  if (registered_) Unregister(serverId_);
}

int HeartBeatThread::Entry() {
  if (GetCentralConnection()) {
    std::string errorText;
    ServerConnectionLease server = AllocateServerConnection(serverId_, databaseName_, errorText);
    if (!server) {
      LogMessage(StrFormat(_("Heartbeat: Unable to connect to server: %d, error: %s."), serverId_,
                           errorText.c_str()),
                 LOG_WARNING);
    } else {
      // Sent asynchronously and given up after the limit: a server that took
      // the connection and then stopped answering must not hold this thread,
      // and with it the main loop's drain, for ever.
      bool timedOut = false;
      std::unique_ptr<ResultSet> ping =
          server->ExecuteQueryWithin("SELECT 1", kHeartbeatPingLimit, &timedOut);
      if (timedOut) {
        server.Discard();
      } else {
        server.Release();
      }
      if (!ping->IsOk()) {
        LogMessage(StrFormat(_("Heartbeat: Unable to ping server: %d, error: %s."), serverId_,
                             ping->GetErrorMessage().c_str()),
                   LOG_WARNING);
      } else {
        std::string query = ServerHeartbeatQuery(agentId_, serverId_);
        // Looked up again: the central connection is read at the moment of use.
        DBConnection* central = GetCentralConnection();
        std::unique_ptr<ResultSet> result;
        std::string error = _("no connection to the VARO database");
        if (central) {
          result = central->ExecuteQuery(query);
          if (!result->IsOk()) error = result->GetErrorMessage();
        }
        LogMessage(StrFormat(_("Heartbeat: server query: %s"), query.c_str()), LOG_DEBUG2);
        if (!result || !result->IsOk()) {
          LogMessage(StrFormat(_("Heartbeat: error updating the heartbeat (server:%d) : %s"),
                               serverId_, error.c_str()),
                     LOG_WARNING);
        }
      }
    }
  }
  Unregister(serverId_);
  registered_ = false;
  return 0;
}

std::unique_ptr<HeartBeatThread> CreateHeartBeatThread(int32_t agentId, int32_t serverId,
                                                       const std::string& databaseName) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (!registry.threads.insert(serverId).second) return nullptr;
  return std::make_unique<HeartBeatThread>(agentId, serverId, databaseName);
}

int LiveHeartBeatThreads() {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return static_cast<int>(registry.threads.size());
}

std::string ServerHeartbeatQuery(int32_t agentId, int32_t serverId) {
  return StrFormat("SELECT varo.do_heartbeat(%d,'{%d}');", agentId, serverId);
}
