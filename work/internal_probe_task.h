// The task of an internal probe (collection method 'i'): runs the built-in
// collector named by the probe code and stores its rows into
// varodata.<targetTable>, exactly as an SQL probe's rows are stored. Used by
// one worker thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "probes/internal_probe.h"
#include "work/task.h"

class InternalProbeTask : public Task {
 public:
  InternalProbeTask(std::unique_ptr<InternalProbe> probe, std::string targetTable,
                    std::vector<std::string> keyColumns)
      : probe(std::move(probe)),
        targetTable(std::move(targetTable)),
        keyColumns(std::move(keyColumns)) {}

  // Collects the rows; a failed collection stores nothing and leaves status
  // -1 with the collector's error text, a failed store its error text.
  void Run(DBConnection& central) override;

 private:
  std::unique_ptr<InternalProbe> probe;
  std::string targetTable;
  std::vector<std::string> keyColumns;
};

// The task of the probe code `probeCode` (exact, case-sensitive), or null
// when the agent has no such probe (logged at debug level). Host probes need
// the WMI connection, which the caller opens first.
std::unique_ptr<Task> CreateInternalProbe(int32_t serverId, const std::string& databaseName,
                                          const std::string& probeCode, std::string internalName,
                                          std::vector<std::string> keyColumns);
