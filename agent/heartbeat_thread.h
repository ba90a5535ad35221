// The short-lived thread that checks one monitored server answers and, if it
// does, records a heartbeat for it in the central database; and the registry
// that keeps at most one such thread alive per server. The registry functions
// may be called from any thread; a HeartBeatThread object belongs to its own
// thread once Run has succeeded.
#pragma once

#include <cstdint>
#include <string>

#include "platform/detached_thread.h"

class HeartBeatThread : public DetachedThread {
 public:
  HeartBeatThread(int32_t agentId, int32_t serverId, std::string databaseName);
  ~HeartBeatThread() override;

  int32_t serverId() const { return serverId_; }

 protected:
  // Pings the server through the pool and, when it answers, runs
  // varo.do_heartbeat for it on the central connection; always unregisters.
  int Entry() override;

 private:
  int32_t agentId_;
  int32_t serverId_;
  std::string databaseName_;
  // True while this object holds the registry entry of its server.
  bool registered_ = true;
};

// A new, registered heartbeat thread for the server, or null when a live one is
// registered for it already. The caller calls Create and Run; when Run fails it
// deletes the object, which frees the registry entry.
HeartBeatThread* CreateHeartBeatThread(int32_t agentId, int32_t serverId,
                                       const std::string& databaseName);

// Number of registered heartbeat threads (created and not yet finished).
int LiveHeartBeatThreads();
