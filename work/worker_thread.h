// A detached thread that runs one WorkQueue once and then deletes it, and the
// process-wide count of workers that the main loop polls while it drains its
// threads before replacing the central connection. A worker counts from its
// construction (before its thread starts) until its queue has been deleted,
// because deleting a queue may still use the central connection (unlocking
// probes, writing a job's outcome). The count may be read from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/detached_thread.h"
#include "work/work_queue.h"

// Number of workers whose queue still exists.
int32_t GetRunningWorkerCount();

class WorkerThread : public DetachedThread {
 public:
  explicit WorkerThread(std::unique_ptr<WorkQueue> queue);
  // Deletes the queue (on the worker, or on the creator when the thread could
  // not start), then stops counting the worker.
  ~WorkerThread() override;

 protected:
  int Entry() override;

 private:
  std::unique_ptr<WorkQueue> queue;
  std::string description;
};

// Hands `queue` to a new worker thread. False (after a warning) when no thread
// could be started: the queue has then been deleted on the calling thread.
bool StartWorkerThread(std::unique_ptr<WorkQueue> queue);
