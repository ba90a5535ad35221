// The process-wide count of running worker threads, which the main loop polls
// while it drains its threads before reconnecting. Any thread may use these.
#pragma once

#include <cstdint>

// Number of worker threads currently running their work.
int32_t GetRunningWorkerCount();

// A worker thread calls these around its work (up when it starts, down when
// its work has returned), under the counter's own mutex.
void WorkerStarted();
void WorkerFinished();
