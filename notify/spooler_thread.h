// The life of a spooler thread (mail and trap spoolers): its own central
// connection, LISTEN on the spool's channel, waiting with poll on the
// connection's socket, and a batch of the unsent rows after each wake-up. The
// subclasses send the rows. Started by RunAgent with StartDetachedThread; the
// object belongs to its own thread from then on and ends when Delete asks it
// to (within about a second) or with the process.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/db_connection.h"
#include "platform/detached_thread.h"

// The longest wait for a notification (an hour).
inline constexpr int32_t kSpoolerIdleWaitSeconds = 3600;

// How long a spooler sleeps and waits, in seconds.
struct SpoolerTiming {
  // After a wake-up, before the batch, so that notifications arriving close
  // together give one batch (the agent's poll interval).
  int32_t pollInterval = 10;
  // After a connection failure; also the longest wait while rows of the last
  // batch could not be sent, so they are tried again (the agent's retry period).
  int32_t retryPeriod = 30;
  // The longest wait for a notification when nothing is left unsent.
  int32_t idleWait = kSpoolerIdleWaitSeconds;
};

// What became of a batch.
enum class BatchOutcome {
  kAllSent,         // every row was sent or was taken by someone else
  kRowsLeft,        // some rows could not be sent and stay queued
  kConnectionLost,  // the central connection broke; the spooler reconnects
};

class SpoolerThread : public DetachedThread {
 protected:
  // `tag` begins the thread's log lines ("SMTPSpooler"), `channel` is the
  // notification channel, `unsentQuery` selects the ids of the unsent rows.
  SpoolerThread(std::string tag, std::string channel, std::string unsentQuery,
                SpoolerTiming timing);

  int Entry() final;

  // Sends the rows with these ids, in order.
  virtual BatchOutcome SendSpooled(const std::vector<int64_t>& ids) = 0;

  // The spooler's connection while connected (null otherwise).
  DBConnection* connection() const { return connection_.get(); }
  // True while the connection is up.
  bool ConnectionOk() const;

  // Runs `query` (with $1 = the id) in a transaction that locks the unsent row,
  // so that two agents sharing the central database do not both send it. When
  // the result is one row, the transaction stays open for FinishRow; otherwise
  // it is already ended. A result without rows means the row was sent
  // meanwhile or is being sent by another agent.
  std::unique_ptr<ResultSet> ClaimRow(const std::string& query, int64_t id);
  // Ends the transaction of ClaimRow: when the row was `sent`, runs
  // `markSentCommand` (with $1 = the id) and commits; otherwise rolls back.
  // Returns the error text of a failed update or commit (the row then stays
  // unsent), empty otherwise.
  std::string FinishRow(bool sent, const std::string& markSentCommand, int64_t id);

  const std::string& tag() const { return tag_; }

 private:
  enum class WaitResult { kNotified, kTimedOut, kStop, kPollFailed, kLost };

  // Connect and LISTEN; false after a failure (already slept the retry period).
  bool EnsureListening();
  // Reads what the server sent and logs each pending notification. Returns
  // false when the connection broke; *count is the number of notifications.
  bool DrainNotifications(int* count);
  // Waits up to `seconds` for a notification on the connection's socket.
  WaitResult WaitForNotification(int32_t seconds);
  // Forgets the connection and sleeps the retry period.
  void Reset();

  const std::string tag_;
  const std::string channel_;
  const std::string unsentQuery_;
  const SpoolerTiming timing_;
  std::unique_ptr<DBConnection> connection_;
  // The libpq handle inside connection_ once LISTEN succeeded; null otherwise.
  PGconn* listening_ = nullptr;
};
