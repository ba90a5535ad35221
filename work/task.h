// Tasks: one executable piece of work with parameters in and a numeric status
// and a text message out. SQLTask runs SQL on a monitored server (through the
// connection pool), WMITask a WQL query on the agent's host, BatchTask a shell
// script; the probe forms store their rows into varodata.<targetTable> through
// the central connection. A task is used by one thread at a time; several
// tasks run at once on different worker threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_connection.h"
#include "db/result_set.h"
#include "db/result_set_with_fixed_rows.h"

class Task {
 public:
  Task() = default;
  virtual ~Task() = default;
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Runs the task on the calling thread; results are stored through
  // `central`. Leaves the outcome in status (negative: failed) and message.
  virtual void Run(DBConnection& central) = 0;
  // Whether the last Run failed: a negative status, unless the task keeps an
  // error number in status and says so here.
  virtual bool Failed() const { return status < 0; }

  // Assigns both parameter lists at once (probe parameters, same order).
  void SetParameters(std::vector<std::string> names, std::vector<std::string> values);

  std::vector<std::string> parameterNames;
  std::vector<std::string> parameterValues;
  int32_t status = 0;
  std::string message;

 protected:
  // False (status -1 and a message) when the two parameter lists differ in
  // length, so no name is ever paired with a value that is not there.
  bool CheckParameters();
  // Stores `rows` into "varodata." + targetTable, scoped by the parameters;
  // a failure sets status -1 and the error text as message.
  void StoreRows(DBConnection& central, const ResultSet& rows, const std::string& targetTable,
                 const std::vector<std::string>& keyColumns);
};

// `code` with every %{name} of `names` replaced by $n, where only names that
// occur are numbered ($1, $2, ... in the order of `names`, repeats sharing a
// number); the values of the numbered names, in number order, go to
// *positional. `values` must be at least as long as `names`.
std::string BindNamedParameters(const std::string& code, const std::vector<std::string>& names,
                                const std::vector<std::string>& values,
                                std::vector<std::string>* positional);

// Longest time a probe's statement or script may run. Probes are the agent's
// own periodic work: one that hangs (a lock wait, a server that stopped
// answering, a script that never ends) would hold its worker, and with it the
// main loop's drain before a reconnect, for ever. Job steps have no limit.
inline constexpr std::chrono::seconds kProbeTimeLimit{300};

class SQLTask : public Task {
 public:
  SQLTask(int32_t serverId, std::string databaseName, std::string code)
      : serverId(serverId), databaseName(std::move(databaseName)), code(std::move(code)) {}

  // Runs `code` on a pooled connection to the server; status is the number of
  // rows (or affected rows) on success, message the result's status name.
  void Run(DBConnection& central) override;

  // How long the statement may run; zero: no limit (job steps). A statement
  // that runs longer is given up and its connection closed.
  std::chrono::milliseconds timeLimit{0};

 protected:
  // What to do with the rows of a statement that ran; nothing here.
  virtual void ProcessResults(DBConnection& central, const ResultSet& resultSet);

  int32_t serverId;
  std::string databaseName;
  std::string code;
};

class SQLResultsTask : public SQLTask {
 public:
  SQLResultsTask(int32_t serverId, std::string databaseName, std::string code,
                 std::string targetTable, std::vector<std::string> keyColumns)
      : SQLTask(serverId, std::move(databaseName), std::move(code)),
        targetTable(std::move(targetTable)),
        keyColumns(std::move(keyColumns)) {
    timeLimit = kProbeTimeLimit;
  }

 protected:
  // Stores the rows when the statement succeeded.
  void ProcessResults(DBConnection& central, const ResultSet& resultSet) override;

 private:
  std::string targetTable;
  std::vector<std::string> keyColumns;
};

class WMITask : public Task {
 public:
  WMITask(std::string code, std::string targetTable, std::vector<std::string> keyColumns)
      : code(std::move(code)),
        targetTable(std::move(targetTable)),
        keyColumns(std::move(keyColumns)) {}

  // Runs the query on the process-wide WMI connection and stores its rows;
  // fails without querying when there is no WMI connection.
  void Run(DBConnection& central) override;

 private:
  std::string code;
  std::string targetTable;
  std::vector<std::string> keyColumns;
};

// Most bytes a script may print; past it its process group is killed and the
// task fails.
inline constexpr size_t kMaxScriptOutput = 16u << 20;

class BatchTask : public Task {
 public:
  // `targetTable` empty: a job step, whose output is the message and is not
  // stored.
  BatchTask(std::string code, std::string targetTable, std::vector<std::string> keyColumns)
      : code(std::move(code)),
        targetTable(std::move(targetTable)),
        keyColumns(std::move(keyColumns)) {
    if (!this->targetTable.empty()) timeLimit = kProbeTimeLimit;
  }

  // Writes the script into a private temporary directory, runs it with
  // /bin/sh, and (for a probe) stores the rows its output describes. status 1
  // when the script ran, whatever its exit code; -1 on failure.
  void Run(DBConnection& central) override;

  const std::string& Code() const { return code; }

  // How long the script may run (a probe's: kProbeTimeLimit; a job step's: no
  // limit, zero). Past it its process group is killed and the task fails.
  std::chrono::milliseconds timeLimit{0};

 private:
  std::string code;
  std::string targetTable;
  std::vector<std::string> keyColumns;
};

// The rows of a script's output (valid UTF-8): lines at LF (a CR before it is
// dropped), empty lines skipped, values at tabs (runs of tabs are one
// separator; a line of tabs only is skipped). The first line names the columns; later lines with
// another number of values are dropped with a warning and counted in `*discarded` when given.
// Null when there is no line.
std::unique_ptr<ResultSetWithFixedRows> ParseScriptOutput(std::string_view output,
                                                          int* discarded = nullptr);
