// Base class of the agent's long-running and short-lived background threads
// (alert, heartbeat, worker and spooler threads): the creator calls Create and
// Run and forgets the object; the thread runs Entry and then deletes the object
// on its own thread. Create, Run and Delete may be called from any thread; the
// object must be allocated with new.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

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
