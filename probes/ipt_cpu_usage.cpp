#include "probes/ipt_cpu_usage.h"

#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "platform/text.h"

namespace {

// The first run's pause between its two samples.
constexpr std::chrono::milliseconds kFirstRunWait{3000};

// A number as strtod reads it; no number reads as 0.
double LeadingDouble(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// One reading of every processor instance; on failure sets `error` and
// returns an empty sample.
ProcessorSample SampleProcessorTimes(DBConnection& wmi, std::string& error) {
  ProcessorSample sample;
  std::unique_ptr<ResultSet> r =
      wmi.ExecuteQuery("SELECT * FROM Win32_PerfRawData_PerfOS_Processor WHERE Name != '_Total' ");
  if (!r->IsOk()) {
    error = r->GetErrorMessage();
    return sample;
  }
  for (uint32_t i = 0; i < r->GetRowCount(); ++i) {
    sample.processorTime.push_back(LeadingDouble(r->GetValueByName(i, "PercentProcessorTime")));
    sample.timeStamp.push_back(LeadingDouble(r->GetValueByName(i, "TimeStamp_Sys100NS")));
  }
  return sample;
}

}  // namespace

ProcessorSampleStore& ProcessorSampleStore::ProcessWide() {
  static ProcessorSampleStore store;
  return store;
}

double ProcessorLoad(double processorTimeDelta, double timeStampDelta) {
  if (!(timeStampDelta > 0)) return 0;  // also when not a number
  const double load = 100 - processorTimeDelta / timeStampDelta * 100;
  return load < 0 ? 0 : load;
}

IPTCPUUsage::IPTCPUUsage(HostProbeSources sources, ProcessorSampleStore& store, Wait wait)
    : sources(std::move(sources)), store(store), wait(std::move(wait)) {}

std::unique_ptr<ResultSet> IPTCPUUsage::CollectResults() {
  return CollectRows({"core_id", "load_percentage"}, [this](ResultSetWithFixedRows& rows,
                                                            std::string& error) {
    if (!sources.wmi) {
      error = NoWmiConnectionText();
      return;
    }
    // Held from the first reading to the replacement of the previous sample.
    std::lock_guard<std::mutex> lock(store.mutex);
    ProcessorSample current = SampleProcessorTimes(*sources.wmi, error);
    if (!store.hasPrevious) {
      if (wait) {
        wait(kFirstRunWait);
      } else {
        std::this_thread::sleep_for(kFirstRunWait);
      }
      if (error.empty()) {
        store.previous = std::move(current);
        store.hasPrevious = true;
      }
      current = SampleProcessorTimes(*sources.wmi, error);
    }
    if (!error.empty()) return;  // the previous sample stays as it was
    const size_t n = std::min(store.previous.processorTime.size(), current.processorTime.size());
    for (size_t i = 0; i < n; ++i) {
      const double load = ProcessorLoad(current.processorTime[i] - store.previous.processorTime[i],
                                        current.timeStamp[i] - store.previous.timeStamp[i]);
      rows.AddRow({StrFormat("CPU%" PRId32, static_cast<int32_t>(i)), StrFormat("%f", load)});
    }
    store.previous = std::move(current);
  });
}
