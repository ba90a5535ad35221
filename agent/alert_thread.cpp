#include "agent/alert_thread.h"

#include <string>

#include "agent/settings.h"
#include "db/central_connection.h"
#include "platform/log.h"
#include "platform/text.h"

AlertThread::AlertThread(int32_t index) : index_(index) {}

void AlertThread::Wait(bool afterFailure) {
  // Not AgentSleep: that passes the pause point, and a pause of the service
  // freezes the agent thread only. Alert threads go on while it is paused.
  const Settings& settings = GetSettings();
  SleepUnlessDestroyed(afterFailure ? settings.long_wait : settings.short_wait);
}

int AlertThread::Entry() {
  const std::string query = kProcessOneAlertQuery;
  while (!TestDestroy()) {
    if (!connection_) {
      LogMessage(StrFormat(_("Alerts[%d]: Connecting to VARO database."), index_), LOG_DEBUG1);
      ConnectToVARO(connection_, false);
    }
    if (!connection_) {
      LogMessage(
          StrFormat(_("Alerts[%d]: Unable to establish connection to VARO database."), index_),
          LOG_WARNING);
      Wait(true);
      continue;
    }

    // Busy: call again at once while the function keeps finding work.
    for (;;) {
      std::unique_ptr<ResultSet> result = connection_->ExecuteQuery(query);
      if (!result->IsOk()) {
        LogMessage(StrFormat(_("Alerts[%d]: Error processing an alert: %s"), index_,
                             result->GetErrorMessage().c_str()),
                   LOG_WARNING);
        connection_.reset();
        Wait(false);
        break;
      }
      if (result->GetValueByIndex(0, 0) == _("t")) {
        LogMessage(StrFormat(_("Alerts[%d]: process_one_alert() returned true, hence calling it "
                               "again."),
                             index_),
                   LOG_DEBUG2);
        if (TestDestroy()) break;
        continue;
      }
      LogMessage(StrFormat(_("Alerts[%d]: process_one_alert() returned false, hence sleeping "
                             "for a while."),
                           index_),
                 LOG_DEBUG1);
      // A fixed pause, not a pause point: this thread is not paused by the service.
      SleepUnlessDestroyed(kAlertIdleSleepSeconds);
      break;
    }
  }
  return 0;
}
