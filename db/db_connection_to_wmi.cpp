#include "db/db_connection_to_wmi.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "db/result_set_from_wmi.h"
#include "db/result_set_with_fixed_error.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {
std::mutex connectMutex;
// Set under connectMutex, never deleted: readers on other threads take it
// with an acquiring load and may keep using it until the process ends.
std::atomic<DBConnectionToWMI*> wmiConnection{nullptr};
// Guarded by connectMutex: the host the next connection describes, whether
// the current connection describes another one, and the connections replaced
// since, kept because workers may still use them.
WmiHostOptions hostOptions;
bool hostChanged = false;
std::vector<DBConnectionToWMI*>* const replaced = new std::vector<DBConnectionToWMI*>();
}  // namespace

DBConnectionToWMI::DBConnectionToWMI(WmiHostOptions options) : host(std::move(options)) {}

std::unique_ptr<ResultSet> DBConnectionToWMI::ExecuteQuery(const std::string& query,
                                                           const std::vector<std::string>&) {
  WmiQueryResult result;
  const WmiStatus status = host.Query(query, result);
  if (!status.ok()) {
    LogMessage(
        StrFormat(_("WMI query failed: %s; query: %s"), status.detail.c_str(), query.c_str()),
        LOG_WARNING);
    return std::make_unique<ResultSetWithFixedError>(
        StrFormat(_("Query failed. Error code = 0x%d"), status.code));
  }
  return std::make_unique<ResultSetFromWMI>(std::move(result), status.code);
}

std::string DBConnectionToWMI::SyncToDB(const ResultSet&, const std::string&,
                                        const std::vector<std::string>&,
                                        const std::vector<std::string>&,
                                        const std::vector<std::string>&) {
  // Nothing is stored, so the caller is told so: success here would let it
  // believe the rows were written.
  const std::string message = _("WMI does not support SyncToDB function call.");
  LogMessage(message, LOG_WARNING);
  return message;
}

bool ConnectToWMI() {
  std::lock_guard<std::mutex> lock(connectMutex);
  if (wmiConnection.load(std::memory_order_acquire) && !hostChanged) return true;
  // The engine needs the kernel's process and block-device trees; without them
  // every query would fail, so there is no connection and the probe step tries
  // again before its next WMI task.
  ProcStat stat;
  std::string error = ReadProcStat(hostOptions.root, stat);
  if (!error.empty()) {
    LogMessage(StrFormat(_("Could not connect. Error code = 0x%d"), WBEM_E_FAILED) + ": " + error,
               LOG_WARNING);
    return false;
  }
  // Kept until the process ends; worker threads may still use it while it exits.
  DBConnectionToWMI* previous =
      wmiConnection.exchange(new DBConnectionToWMI(hostOptions), std::memory_order_acq_rel);
  if (previous) replaced->push_back(previous);
  hostChanged = false;
  LogMessage(_("Connected to ROOT\\CIMV2 WMI namespace."), LOG_DEBUG1);
  return true;
}

DBConnectionToWMI* GetWMIConnection() { return wmiConnection.load(std::memory_order_acquire); }

void UseWMIHost(WmiHostOptions options) {
  std::lock_guard<std::mutex> lock(connectMutex);
  hostOptions = std::move(options);
  hostChanged = true;
}
