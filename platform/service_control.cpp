#include "platform/service_control.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The run token and the flags that go with it. One instance per process.
struct RunToken {
  std::mutex mutex;
  std::condition_variable changed;
  // Guarded by mutex:
  bool heldByHost = false;  // a pause or stop is in force
  int threadsParked = 0;    // threads waiting at their pause point
  bool busy = false;        // a thread is outside its pause point
  bool initialised = false;
};

RunToken& Token() {
  static RunToken token;
  return token;
}

}  // namespace

void ServicePausePoint() {
  RunToken& token = Token();
  std::unique_lock<std::mutex> lock(token.mutex);
  token.busy = false;
  if (token.heldByHost) {
    ++token.threadsParked;
    token.changed.notify_all();  // the host may be waiting for a parked thread
    token.changed.wait(lock, [&] { return !token.heldByHost; });
    --token.threadsParked;
  }
  token.busy = true;
}

void SleepWithPausePoints(int32_t seconds) {
  for (int32_t i = 0; i < seconds; ++i) {
    ServicePausePoint();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
}

void SetAgentInitialised() {
  RunToken& token = Token();
  std::lock_guard<std::mutex> lock(token.mutex);
  token.initialised = true;
  token.changed.notify_all();
}

bool IsAgentInitialised() {
  RunToken& token = Token();
  std::lock_guard<std::mutex> lock(token.mutex);
  return token.initialised;
}

void ClearAgentInitialised() {
  RunToken& token = Token();
  std::lock_guard<std::mutex> lock(token.mutex);
  token.initialised = false;
}

bool WaitForAgentInitialised(int timeoutMs) {
  RunToken& token = Token();
  std::unique_lock<std::mutex> lock(token.mutex);
  return token.changed.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                                [&] { return token.initialised; });
}

bool TakeRunToken(int timeoutMs) {
  RunToken& token = Token();
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  std::unique_lock<std::mutex> lock(token.mutex);
  if (!token.changed.wait_until(lock, deadline, [&] { return !token.heldByHost; })) {
    return false;
  }
  token.heldByHost = true;
  // From now on every thread that reaches its pause point stays there. Give the
  // agent thread the rest of the time to get there, so that a stop does not end
  // the process in the middle of a pass when it can be helped.
  token.changed.wait_until(lock, deadline, [&] { return token.threadsParked > 0; });
  return true;
}

bool ReleaseRunToken() {
  RunToken& token = Token();
  std::lock_guard<std::mutex> lock(token.mutex);
  if (!token.heldByHost) return false;
  token.heldByHost = false;
  token.changed.notify_all();
  return true;
}

bool IsAgentBusy() {
  RunToken& token = Token();
  std::lock_guard<std::mutex> lock(token.mutex);
  return token.busy;
}

int RunTokenWaitMs(int32_t pollIntervalSeconds) {
  const int64_t ms = static_cast<int64_t>(pollIntervalSeconds) * 1000 - 30;
  return static_cast<int>(std::clamp<int64_t>(ms, 0, INT32_MAX));
}
