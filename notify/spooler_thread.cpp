#include "notify/spooler_thread.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "db/central_connection.h"
#include "db/db_connection_to_postgresql.h"
#include "notify/notify_init.h"
#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/text.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest single poll: Delete is noticed within this time.
constexpr int kPollSliceMs = 500;

}  // namespace

SpoolerThread::SpoolerThread(std::string tag, std::string channel, std::string unsentQuery,
                             SpoolerTiming timing)
    : tag_(std::move(tag)),
      channel_(std::move(channel)),
      unsentQuery_(std::move(unsentQuery)),
      timing_(timing) {
  // Normally done by the agent's entry before any thread starts; tests and
  // other callers get the same set-up here (it happens once).
  InitNotifyLibraries();
}

bool SpoolerThread::ConnectionOk() const {
  return listening_ != nullptr && PQstatus(listening_) == CONNECTION_OK;
}

void SpoolerThread::Reset() {
  connection_.reset();
  listening_ = nullptr;
  SleepUnlessDestroyed(timing_.retryPeriod);
}

bool SpoolerThread::EnsureListening() {
  if (!connection_) {
    LogMessage(StrFormat(_("%s: Connecting to VARO database."), tag_.c_str()), LOG_DEBUG1);
    ConnectToVARO(connection_, false);
    if (!connection_) {
      LogMessage(StrFormat(_("%s: Unable to establish connection to VARO database."), tag_.c_str()),
                 LOG_WARNING);
      SleepUnlessDestroyed(timing_.retryPeriod);
      return false;
    }
  }
  if (listening_ != nullptr) return true;
  auto* postgres = dynamic_cast<DBConnectionToPostgreSQL*>(connection_.get());
  PGconn* handle = postgres != nullptr ? postgres->GetHandle() : nullptr;
  if (handle == nullptr || PQstatus(handle) != CONNECTION_OK) {
    Reset();
    return false;
  }
  std::unique_ptr<ResultSet> result = connection_->ExecuteQuery("LISTEN " + channel_);
  if (!result->IsOk()) {
    LogMessage(StrFormat(_("%s: LISTEN command failed: %s"), tag_.c_str(),
                         result->GetErrorMessage().c_str()),
               LOG_WARNING);
    Reset();
    return false;
  }
  listening_ = handle;
  LogMessage(StrFormat(_("%s: Listening for notifications on %s."), tag_.c_str(), channel_.c_str()),
             LOG_DEBUG1);
  return true;
}

bool SpoolerThread::DrainNotifications(int* count) {
  *count = 0;
  if (!ConnectionOk() || PQconsumeInput(listening_) == 0) return false;
  // Notifications that came in while a statement ran are already queued
  // inside libpq; they are taken here as well as the ones just read.
  while (PGnotify* notify = PQnotifies(listening_)) {
    LogMessage(StrFormat(_("%s: Async notification received from backend pid %d"), tag_.c_str(),
                         notify->be_pid),
               LOG_DEBUG2);
    PQfreemem(notify);
    ++*count;
    if (!ConnectionOk()) return false;
  }
  return true;
}

SpoolerThread::WaitResult SpoolerThread::WaitForNotification(int32_t seconds) {
  int pending = 0;
  if (!DrainNotifications(&pending)) return WaitResult::kLost;
  if (pending > 0) return WaitResult::kNotified;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    if (TestDestroy()) return WaitResult::kStop;
    const int socket = PQsocket(listening_);
    if (socket < 0 || !ConnectionOk()) return WaitResult::kLost;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return WaitResult::kTimedOut;
    pollfd watched{socket, POLLIN, 0};
    const int ready = poll(&watched, 1, static_cast<int>(std::min<int64_t>(left, kPollSliceMs)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kPollFailed;
    }
    if (ready == 0) continue;
    if (!DrainNotifications(&pending)) return WaitResult::kLost;
    if (pending > 0) return WaitResult::kNotified;
  }
}

int SpoolerThread::Entry() {
  // Right after LISTEN the rows queued while the spooler was not listening are
  // sent without waiting for a notification.
  bool sendNow = true;
  bool rowsLeft = false;
  while (!TestDestroy()) {
    const bool wasListening = listening_ != nullptr;
    if (!EnsureListening()) continue;
    if (!wasListening) sendNow = true;

    if (!sendNow) {
      // Rows left unsent by the last batch are tried again after the retry
      // period even when no notification comes.
      const WaitResult wait =
          WaitForNotification(rowsLeft ? timing_.retryPeriod : timing_.idleWait);
      if (wait == WaitResult::kStop) break;
      if (wait == WaitResult::kPollFailed) {
        LogMessage(StrFormat(_("%s: select() failed"), tag_.c_str()), LOG_WARNING);
        Reset();
        continue;
      }
      if (wait == WaitResult::kLost) {
        Reset();
        continue;
      }
      if (!SleepUnlessDestroyed(timing_.pollInterval)) break;
      // Notifications of the sleep are answered by the batch that follows.
      int during = 0;
      if (!DrainNotifications(&during)) {
        Reset();
        continue;
      }
    }
    sendNow = false;
    if (!ConnectionOk()) {
      Reset();
      continue;
    }

    std::unique_ptr<ResultSet> result = connection_->ExecuteQuery(unsentQuery_);
    if (!result->IsOk()) {
      if (!ConnectionOk()) {
        Reset();
        continue;
      }
      LogMessage(StrFormat(_("%s: Unable to read the queued rows: %s. Trying again after the "
                             "retry period."),
                           tag_.c_str(), result->GetErrorMessage().c_str()),
                 LOG_WARNING);
      rowsLeft = true;
      continue;
    }
    std::vector<int64_t> ids;
    for (uint32_t row = 0; row < result->GetRowCount(); ++row) {
      if (std::optional<int64_t> id = ParseDecimal<int64_t>(result->GetValueByIndex(row, 0))) {
        ids.push_back(*id);
      }
    }
    result.reset();
    // Oldest first, so mails and traps go out in the order they were queued.
    std::sort(ids.begin(), ids.end());
    rowsLeft = false;
    if (ids.empty()) continue;
    LogMessage(StrFormat(_("%s: Sending %zu queued rows."), tag_.c_str(), ids.size()), LOG_DEBUG1);
    switch (SendSpooled(ids)) {
      case BatchOutcome::kAllSent:
        break;
      case BatchOutcome::kRowsLeft:
        rowsLeft = true;
        break;
      case BatchOutcome::kConnectionLost:
        // The next cycle connects again at once and sends what is left.
        connection_.reset();
        listening_ = nullptr;
        break;
    }
  }
  return 0;
}

std::unique_ptr<ResultSet> SpoolerThread::ClaimRow(const std::string& query, int64_t id) {
  std::unique_ptr<ResultSet> begin = connection_->ExecuteQuery("BEGIN");
  if (!begin->IsOk()) return begin;
  std::unique_ptr<ResultSet> row = connection_->ExecuteQuery(query, {std::to_string(id)});
  if (!row->IsOk() || row->GetRowCount() != 1) connection_->ExecuteCommand("ROLLBACK");
  return row;
}

std::string SpoolerThread::FinishRow(bool sent, const std::string& markSentCommand, int64_t id) {
  if (!sent) {
    connection_->ExecuteCommand("ROLLBACK");
    return std::string();
  }
  std::unique_ptr<ResultSet> marked =
      connection_->ExecuteQuery(markSentCommand, {std::to_string(id)});
  if (!marked->IsOk()) {
    connection_->ExecuteCommand("ROLLBACK");
    return marked->GetErrorMessage();
  }
  std::string error;
  if (connection_->ExecuteCommand("COMMIT", &error) < 0) return error;
  return std::string();
}
