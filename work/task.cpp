#include "work/task.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "db/db_connection_to_wmi.h"
#include "db/server_pool.h"
#include "platform/captured_process.h"
#include "platform/log.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace {

// Replaces every `from` in `text` by `to`; true when there was one.
bool ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  bool replaced = false;
  size_t at = 0;
  while ((at = text->find(from, at)) != std::string::npos) {
    text->replace(at, from.size(), to);
    at += to.size();
    replaced = true;
  }
  return replaced;
}

// The directory for temporary script directories: $TMPDIR when it is an
// absolute path, else /tmp. Each script gets a fresh 0700 directory below it
// from mkdtemp, so nothing in the shared directory is trusted.
std::string TemporaryBase() {
  const char* dir = getenv("TMPDIR");
  if (dir != nullptr && dir[0] == '/') return dir;
  return "/tmp";
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t written = write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

void Task::SetParameters(std::vector<std::string> names, std::vector<std::string> values) {
  parameterNames = std::move(names);
  parameterValues = std::move(values);
}

bool Task::CheckParameters() {
  if (parameterNames.size() == parameterValues.size()) return true;
  status = -1;
  message =
      StrFormat(_("the probe has %zu parameter names but %zu parameter values; it was not run"),
                parameterNames.size(), parameterValues.size());
  return false;
}

void Task::StoreRows(DBConnection& central, const ResultSet& rows, const std::string& targetTable,
                     const std::vector<std::string>& keyColumns) {
  std::string error = central.SyncToDB(rows, "varodata." + targetTable, keyColumns, parameterNames,
                                       parameterValues);
  if (!error.empty()) {
    message = error;
    status = -1;
  }
}

std::string BindNamedParameters(const std::string& code, const std::vector<std::string>& names,
                                const std::vector<std::string>& values,
                                std::vector<std::string>* positional) {
  std::string sql = code;
  for (size_t i = 0; i < names.size() && i < values.size(); ++i) {
    const std::string placeholder = StrFormat("%%{%s}", names[i].c_str());
    const std::string number = StrFormat("$%u", static_cast<unsigned>(positional->size() + 1));
    if (ReplaceAll(&sql, placeholder, number)) positional->push_back(values[i]);
  }
  return sql;
}

void SQLTask::Run(DBConnection& central) {
  if (!CheckParameters()) return;
  std::string errorText;
  ServerConnectionLease connection = AllocateServerConnection(serverId, databaseName, errorText);
  if (!connection) {
    message = errorText;
    status = -1;
    return;
  }
  std::vector<std::string> positional;
  const std::string sql = BindNamedParameters(code, parameterNames, parameterValues, &positional);
  std::unique_ptr<ResultSet> result;
  bool timedOut = false;
  if (timeLimit > std::chrono::milliseconds::zero()) {
    result = connection->ExecuteQueryWithin(sql, positional, timeLimit, &timedOut);
  } else {
    result = connection->ExecuteQuery(sql, positional);
  }
  if (timedOut) {
    connection.Discard();
  } else {
    connection.Release();
  }
  status = result->IsOk() ? result->GetAffectedRows() : -1;
  message = result->GetErrorMessage();
  ProcessResults(central, *result);
}

void SQLTask::ProcessResults(DBConnection&, const ResultSet&) {}

void SQLResultsTask::ProcessResults(DBConnection& central, const ResultSet& resultSet) {
  if (status < 0) return;
  StoreRows(central, resultSet, targetTable, keyColumns);
}

void WMITask::Run(DBConnection& central) {
  if (!CheckParameters()) return;
  DBConnectionToWMI* wmi = GetWMIConnection();
  if (wmi == nullptr) {
    message = _("no WMI connection: the host's management classes could not be opened");
    status = -1;
    return;
  }
  std::unique_ptr<ResultSet> result = wmi->ExecuteQuery(code);
  if (!result->IsOk()) {
    message = result->GetErrorMessage();
    status = -1;
    return;
  }
  StoreRows(central, *result, targetTable, keyColumns);
}

std::unique_ptr<ResultSetWithFixedRows> ParseScriptOutput(std::string_view output, int* discarded) {
  std::unique_ptr<ResultSetWithFixedRows> rows;
  size_t columnCount = 0;
  if (discarded != nullptr) *discarded = 0;
  while (!output.empty()) {
    size_t end = output.find('\n');
    std::string_view line = output.substr(0, end);
    output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    LogMessage(StrFormat(_("Got line: %s"), std::string(line).c_str()), LOG_DEBUG2);
    std::vector<std::string> values;
    while (!line.empty()) {
      size_t tab = line.find('\t');
      std::string_view value = line.substr(0, tab);
      line.remove_prefix(tab == std::string_view::npos ? line.size() : tab + 1);
      if (value.empty()) continue;
      values.emplace_back(value);
      LogMessage(StrFormat(_(" - Parsed value: %s"), values.back().c_str()), LOG_DEBUG2);
    }
    if (values.empty()) continue;  // only tabs: nothing to read
    if (!rows) {
      columnCount = values.size();
      rows = std::make_unique<ResultSetWithFixedRows>(std::move(values));
    } else if (values.size() == columnCount) {
      rows->AddRow(values);
    } else {
      LogMessage(StrFormat(_("Discarding row due to column count mismatch: expected %d, found %d"),
                           static_cast<int>(columnCount), static_cast<int>(values.size())),
                 LOG_WARNING);
      if (discarded != nullptr) ++*discarded;
    }
  }
  return rows;
}

void BatchTask::Run(DBConnection& central) {
  if (!targetTable.empty() && !CheckParameters()) return;

  std::string directory = TemporaryBase() + "/oka_XXXXXX";
  if (mkdtemp(directory.data()) == nullptr) {
    LogFatal(StrFormat(_("Failed to create temporary directory: %s"), directory.c_str()));
  }
  const std::string scriptPath = directory + "/varo_script.sh";

  // Scripts run by /bin/sh take LF line ends.
  ReplaceAll(&code, "\r\n", "\n");
  {
    UniqueFd file(
        open(scriptPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (!file.valid()) {
      rmdir(directory.c_str());
      LogFatal(StrFormat(_("Failed to create temporary script file: %s"), scriptPath.c_str()));
    }
    if (!WriteAll(file.get(), code)) {
      file.Reset();
      unlink(scriptPath.c_str());
      rmdir(directory.c_str());
      LogFatal(StrFormat(_("Failed to write to temporary script file: %s"), scriptPath.c_str()));
    }
  }
  LogMessage(StrFormat(_("Executing script file: %s"), scriptPath.c_str()), LOG_DEBUG1);
  LogMessage(StrFormat(_("Script file contents:\n----------\n%s\n----------\n"), code.c_str()),
             LOG_DEBUG2);

  std::string raw;
  CapturedProcess::Outcome outcome = CapturedProcess::Outcome::kFailed;
  std::string startError;
  bool started = false;
  int startErrno = 0;
  {
    CapturedProcess process;
    started = process.Start({"/bin/sh", scriptPath}, &startError);
    startErrno = errno;
    if (started) outcome = process.ReadAll(kMaxScriptOutput, &raw, timeLimit);
  }

  if (unlink(scriptPath.c_str()) != 0) {
    LogMessage(StrFormat(_("Failed to remove temporary script file: %s"), scriptPath.c_str()),
               LOG_WARNING);
    rmdir(directory.c_str());
  } else if (rmdir(directory.c_str()) != 0) {
    LogMessage(_("Failed to remove temporary directory: "), LOG_WARNING);
  }

  if (!started) {
    if (startErrno == ECANCELED) {
      // The agent is stopping; the script is not started any more.
      message = startError;
      status = -1;
      return;
    }
    LogFatal(StrFormat(_("Failed to execute script: %s, GetLastError() returned %d, errno = %d"),
                       scriptPath.c_str(), startErrno, startErrno));
  }
  switch (outcome) {
    case CapturedProcess::Outcome::kExited:
      break;
    case CapturedProcess::Outcome::kTooMuch:
      message = StrFormat(_("the script printed more than %zu bytes; it was killed and its output "
                            "discarded"),
                          kMaxScriptOutput);
      status = -1;
      return;
    case CapturedProcess::Outcome::kEnded:
      message = _("the script was killed because the agent is stopping");
      status = -1;
      return;
    case CapturedProcess::Outcome::kFailed:
      message = _("reading the script output failed; the script was killed");
      status = -1;
      return;
    case CapturedProcess::Outcome::kTimedOut:
      message = StrFormat(_("the script ran longer than %lld seconds; it was killed and its output "
                            "discarded"),
                          static_cast<long long>(
                              std::chrono::duration_cast<std::chrono::seconds>(timeLimit).count()));
      status = -1;
      return;
  }

  message = ToValidUtf8(raw);
  raw.clear();
  status = 1;
  LogMessage(StrFormat(_("Script output:\n----------\n%s\n----------"), message.c_str()),
             LOG_DEBUG2);
  if (targetTable.empty()) return;

  int discarded = 0;
  std::unique_ptr<ResultSetWithFixedRows> rows = ParseScriptOutput(message, &discarded);
  if (!rows) {
    message = _("the script printed no line to read rows from; the stored rows are kept");
    status = -1;
    return;
  }
  // Storing what is left would delete the stored rows that the dropped lines
  // stood for, so output with a malformed line stores nothing.
  if (discarded > 0) {
    message = StrFormat(_("the script printed %d lines whose number of values differs from its "
                          "first line; the stored rows are kept"),
                        discarded);
    status = -1;
    return;
  }
  StoreRows(central, *rows, targetTable, keyColumns);
}
