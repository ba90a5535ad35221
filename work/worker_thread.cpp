#include "work/worker_thread.h"

#include <mutex>

namespace {

// Never destroyed: worker threads may still finish while the process exits.
std::mutex& CounterMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}
// Guarded by CounterMutex().
int32_t runningWorkerCount = 0;

}  // namespace

int32_t GetRunningWorkerCount() {
  std::lock_guard<std::mutex> lock(CounterMutex());
  return runningWorkerCount;
}

void WorkerStarted() {
  std::lock_guard<std::mutex> lock(CounterMutex());
  ++runningWorkerCount;
}

void WorkerFinished() {
  std::lock_guard<std::mutex> lock(CounterMutex());
  --runningWorkerCount;
}
