// The processor probe ("cpu_usage"): the busy share of each processor over the
// interval since the previous sample. The previous sample is shared by every
// run in the process, whichever worker thread runs it; ProcessorSampleStore
// guards it, and one run holds its lock from its first reading to the
// replacement, so runs on several threads never interleave their samples.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "probes/host_probe_sources.h"
#include "probes/internal_probe.h"

// Raw idle time and time stamp of each processor instance, in 100-nanosecond
// units, in the order WMI gave the instances.
struct ProcessorSample {
  std::vector<double> processorTime;  // PercentProcessorTime (counts idle time)
  std::vector<double> timeStamp;      // TimeStamp_Sys100NS
};

class ProcessorSampleStore {
 public:
  ProcessorSampleStore() = default;
  ProcessorSampleStore(const ProcessorSampleStore&) = delete;
  ProcessorSampleStore& operator=(const ProcessorSampleStore&) = delete;

  // The store of the agent process.
  static ProcessorSampleStore& ProcessWide();

 private:
  friend class IPTCPUUsage;
  std::mutex mutex;
  // Guarded by mutex: the last successful sample, absent until the first run.
  bool hasPrevious = false;
  ProcessorSample previous;
};

class IPTCPUUsage : public InternalProbe {
 public:
  using Wait = std::function<void(std::chrono::milliseconds)>;

  // `wait` is the first run's pause between its two samples (3000 ms); the
  // default sleeps.
  IPTCPUUsage(HostProbeSources sources, ProcessorSampleStore& store, Wait wait = Wait());
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  HostProbeSources sources;
  ProcessorSampleStore& store;
  Wait wait;
};

// The load of one processor: 100 - dP / dT * 100, at least 0; 0 when dT is
// not positive or not a number.
double ProcessorLoad(double processorTimeDelta, double timeStampDelta);
