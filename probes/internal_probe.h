// Internal probes: collectors built into the agent, named by a probe's code
// (collection method 'i'). Each collector fills an in-memory row set with
// text values; work/internal_probe_task stores those rows like any probe's.
// A collector object is created for one run and used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/result_set.h"
#include "db/result_set_with_fixed_rows.h"

class InternalProbe {
 public:
  InternalProbe() = default;
  virtual ~InternalProbe() = default;
  InternalProbe(const InternalProbe&) = delete;
  InternalProbe& operator=(const InternalProbe&) = delete;

  // The probe's rows: a ResultSetWithFixedRows (which may hold no rows) when
  // collection succeeded, a ResultSetWithFixedError with the cause when it
  // failed. Never null. A failure must never look like an empty result: an
  // empty row set deletes every stored row of the probe.
  virtual std::unique_ptr<ResultSet> CollectResults() = 0;
};

// The fill function of a collector: adds rows and sets `error` when something
// fails. Rows added before an error are discarded.
using RowCollector = std::function<void(ResultSetWithFixedRows& rows, std::string& error)>;

// Runs `collect` on an empty row set with `columns`; the row set when `error`
// stayed empty, otherwise a ResultSetWithFixedError with it.
std::unique_ptr<ResultSet> CollectRows(std::vector<std::string> columns,
                                       const RowCollector& collect);

// The collector of `probeCode`, compared exactly and case-sensitively; null
// (and a debug message) when the agent has no such probe. `serverId` and
// `databaseName` name the monitored server the server-level probes connect to.
std::unique_ptr<InternalProbe> CreateInternalProbeCollector(const std::string& probeCode,
                                                            int32_t serverId,
                                                            const std::string& databaseName);
