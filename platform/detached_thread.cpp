#include "platform/detached_thread.h"

#include <chrono>
#include <system_error>
#include <thread>

namespace {

// Live detached thread objects; see DetachedThread::LiveCount.
std::atomic<int> liveThreads{0};

}  // namespace

bool DetachedThread::Create() { return !started.load() && !created.exchange(true); }

bool DetachedThread::Run() {
  if (!created.load() || started.exchange(true)) return false;
  liveThreads.fetch_add(1);
  try {
    std::thread(&DetachedThread::ThreadMain, this).detach();
  } catch (const std::system_error&) {
    // No thread was made: give the object back to the caller unstarted.
    liveThreads.fetch_sub(1);
    started.store(false);
    return false;
  }
  return true;
}

void DetachedThread::Delete() {
  // Everything under the mutex: the thread may end as soon as it sees the
  // request, and it takes the mutex once more before deleting itself.
  std::lock_guard<std::mutex> lock(sleepMutex);
  stopRequested.store(true, std::memory_order_release);
  sleepWake.notify_all();
}

int DetachedThread::LiveCount() { return liveThreads.load(); }

bool DetachedThread::SleepUnlessDestroyed(int seconds) {
  std::unique_lock<std::mutex> lock(sleepMutex);
  return !sleepWake.wait_for(lock, std::chrono::seconds(seconds), [this] { return TestDestroy(); });
}

void DetachedThread::ThreadMain(DetachedThread* self) {
  self->Entry();
  // Wait for a Delete that is still inside its critical section.
  { std::lock_guard<std::mutex> lock(self->sleepMutex); }
  delete self;
  liveThreads.fetch_sub(1);
}
