#include "work/worker_thread.h"

#include <mutex>

#include "platform/log.h"
#include "platform/text.h"

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

WorkerThread::WorkerThread(std::unique_ptr<WorkQueue> queue)
    : queue(std::move(queue)), description(this->queue->Describe()) {
  {
    std::lock_guard<std::mutex> lock(CounterMutex());
    ++runningWorkerCount;
  }
  LogMessage(StrFormat(_("creating worker thread for %s"), description.c_str()), LOG_DEBUG1);
}

WorkerThread::~WorkerThread() {
  LogMessage(StrFormat(_("destroying worker thread for %s"), description.c_str()), LOG_DEBUG1);
  queue.reset();
  std::lock_guard<std::mutex> lock(CounterMutex());
  --runningWorkerCount;
}

int WorkerThread::Entry() {
  queue->Run();
  return 0;
}

bool StartWorkerThread(std::unique_ptr<WorkQueue> queue) {
  const std::string description = queue->Describe();
  if (StartDetachedThread(std::make_unique<WorkerThread>(std::move(queue))) != nullptr) {
    return true;
  }
  LogMessage(StrFormat(_("unable to start a worker thread for %s; its work was dropped"),
                       description.c_str()),
             LOG_WARNING);
  return false;
}
