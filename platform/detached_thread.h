// Base class of the agent's long-running and short-lived background threads
// (alert, heartbeat, worker and spooler threads): the creator hands the object
// to StartDetachedThread and forgets it; the thread runs Entry and then deletes
// the object on its own thread. Create, Run and Delete may be called from any
// thread; the object must be owned by a std::unique_ptr until it runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <type_traits>

class DetachedThread {
 public:
  DetachedThread() = default;
  // Runs on the thread itself after Entry returns, or on the creator when Run
  // failed and the creator deletes the object.
  virtual ~DetachedThread() = default;
  DetachedThread(const DetachedThread&) = delete;
  DetachedThread& operator=(const DetachedThread&) = delete;

  // Prepares the thread. Returns false when the object was already started.
  bool Create();

  // Starts the thread. On success the thread owns the object and deletes it
  // after Entry returns; the caller must not touch it any more (except through
  // Delete). On failure (Create not called, already started, or the system
  // refused a new thread) the caller still owns the object.
  bool Run();

  // Asks the thread to end: TestDestroy turns true and SleepUnlessDestroyed
  // wakes up. Entry decides when to return; nothing is forced. Only for a
  // thread known to be still alive (one whose Entry never returns on its own).
  void Delete();

  // Number of detached threads whose object still exists after Run succeeded,
  // process-wide (Entry running, or the destructor not yet finished).
  static int LiveCount();

 protected:
  // The thread's work.
  virtual int Entry() = 0;

  // True once Delete was called.
  bool TestDestroy() const { return stopRequested.load(std::memory_order_acquire); }

  // Sleeps `seconds`, returning early (false) when Delete is called meanwhile.
  bool SleepUnlessDestroyed(int seconds);

 private:
  static void ThreadMain(DetachedThread* self);

  std::atomic<bool> created{false};
  std::atomic<bool> started{false};
  std::atomic<bool> stopRequested{false};
  // Delete sets stopRequested and wakes SleepUnlessDestroyed under sleepMutex;
  // the thread takes sleepMutex once more before deleting the object.
  std::mutex sleepMutex;
  std::condition_variable sleepWake;
};

// Starts `thread` (Create, then Run). On success the running thread owns the
// object and deletes it after Entry returns; the pointer returned is only
// borrowed, valid while the thread lives (for Delete on a thread whose Entry
// never returns on its own). When the thread cannot be started the object is
// destroyed here and null is returned. The one way the agent starts threads.
template <class T>
T* StartDetachedThread(std::unique_ptr<T> thread) {
  static_assert(std::is_base_of_v<DetachedThread, T>, "only detached threads start here");
  if (!thread || !thread->Create() || !thread->Run()) return nullptr;
  return thread.release();
}
