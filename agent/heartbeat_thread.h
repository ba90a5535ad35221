// The short-lived thread that checks one monitored server answers and, if it
// does, records a heartbeat for it in the central database; and the registry
// that keeps at most one such thread alive per server. The registry functions
// may be called from any thread; a HeartBeatThread object belongs to its own
// thread once StartDetachedThread has started it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/detached_thread.h"

class HeartBeatThread : public DetachedThread {
 public:
  HeartBeatThread(int32_t agentId, int32_t serverId, std::string databaseName);
  ~HeartBeatThread() override;

  int32_t serverId() const { return serverId_; }

 protected:
  // Pings the server through the pool (giving up after kHeartbeatPingLimit)
  // and, when it answers, runs varo.do_heartbeat for it on the central
  // connection; always unregisters.
  int Entry() override;

 private:
  int32_t agentId_;
  int32_t serverId_;
  std::string databaseName_;
  // True while this object holds the registry entry of its server.
  bool registered_ = true;
};

// How long a heartbeat thread waits for its server to answer the ping. A server
// that does not answer in time gets no heartbeat; its connection is closed.
inline constexpr std::chrono::seconds kHeartbeatPingLimit{10};

// A new, registered heartbeat thread for the server, or null when a live one is
// registered for it already. The caller starts it with StartDetachedThread;
// when it cannot be started the object is destroyed, which frees the entry.
std::unique_ptr<HeartBeatThread> CreateHeartBeatThread(int32_t agentId, int32_t serverId,
                                                       const std::string& databaseName);

// Number of registered heartbeat threads (created and not yet finished).
int LiveHeartBeatThreads();

// The heartbeat a server's thread sends for it once the server answered.
std::string ServerHeartbeatQuery(int32_t agentId, int32_t serverId);
