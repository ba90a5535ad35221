// One of the `alert_threads` threads that ask the central database, again and
// again, to process one alert (varo.process_one_alert()). Each keeps its own
// central connection. Started by RunAgent; runs for the life of the process
// (or until Delete asks it to end). The object belongs to its own thread once
// it has started. A pause of the service does not stop these threads.
#pragma once

#include <cstdint>
#include <memory>

#include "db/db_connection.h"
#include "platform/detached_thread.h"

class AlertThread : public DetachedThread {
 public:
  // `index` numbers the thread (1 to N) in its log lines.
  explicit AlertThread(int32_t index);

 protected:
  int Entry() override;

 private:
  // Sleeps the retry period (afterFailure) or the poll interval, without
  // passing the pause point; Delete ends the sleep early.
  void Wait(bool afterFailure);

  int32_t index_;
  // The thread's own unshared connection; null while disconnected.
  std::unique_ptr<DBConnection> connection_;
};

// Seconds an alert thread sleeps after process_one_alert() found nothing to do.
inline constexpr int kAlertIdleSleepSeconds = 10;

// What an alert thread sends for each alert: true while more are waiting.
inline constexpr char kProcessOneAlertQuery[] = "SELECT varo.process_one_alert()";
