#include "agent/run_agent.h"

#include <memory>
#include <optional>
#include <string>

#include "agent/agent_main_loop.h"
#include "agent/agent_sleep.h"
#include "agent/alert_thread.h"
#include "agent/settings.h"
#include "db/central_connection.h"
#include "db/server_pool.h"
#include "notify/smtp_spooler.h"
#include "notify/snmp_spooler.h"
#include "platform/log.h"
#include "platform/service_control.h"
#include "platform/text.h"

namespace {

// The long-lived threads that keep their own central connections and run for
// the life of the process; a reconnect of the main loop does not touch them.
void StartLongLivedThreads() {
  const Settings& settings = GetSettings();
  for (int32_t index = 1; index <= settings.alert_threads; ++index) {
    if (!StartDetachedThread(std::make_unique<AlertThread>(index))) {
      LogMessage(StrFormat(_("Alerts[%d]: unable to start the alert thread; continuing without it"),
                           index),
                 LOG_WARNING);
    }
  }
  const SpoolerTiming timing{settings.short_wait, settings.long_wait, kSpoolerIdleWaitSeconds};
  if (settings.enable_smtp && !StartDetachedThread(std::make_unique<CSMTPSpooler>(timing))) {
    LogMessage(_("SMTPSpooler: unable to start the mail spooler thread; mails stay queued"),
               LOG_WARNING);
  }
  if (settings.enable_snmp && !StartDetachedThread(std::make_unique<CSNMPSpooler>(timing))) {
    LogMessage(_("SNMPSpooler: unable to start the trap spooler thread; traps stay queued"),
               LOG_WARNING);
  }
}

// Reads varo.schema_version() on the new central connection and warns when it
// differs from the expected one. False when the version is missing.
bool CheckSchemaVersion(DBConnection& central) {
  std::unique_ptr<ResultSet> result = central.ExecuteQuery(kSchemaVersionQuery);
  std::optional<uint64_t> version;
  if (result->IsOk() && result->GetRowCount() == 1) {
    bool isNull = false;
    std::string text = result->GetValueByIndex(0, 0, &isNull);
    if (!isNull) version = ParseSchemaVersion(text);
  }
  if (!version) {
    SetCentralSchemaVersion(0);
    LogMessage(StrFormat(_("An error occurred when identifying the VARO server version. The "
                           "operation will be retried: %s"),
                         result->GetErrorMessage().c_str()),
               LOG_WARNING);
    return false;
  }
  SetCentralSchemaVersion(*version);
  if (*version < kExpectedSchemaVersion) {
    LogMessage(_("The VARO Agent is running against an older version of the server. Please "
                 "upgrade the VARO Server."),
               LOG_WARNING);
  } else if (*version > kExpectedSchemaVersion) {
    LogMessage(_("The VARO Agent is running against a newer version of the server. Please "
                 "upgrade the VARO Agent."),
               LOG_WARNING);
  }
  return true;
}

// The one place where the shared central connection is replaced. Worker and
// heartbeat threads look it up and use it without holding a reference count,
// so the old connection is destroyed only once every one of them has finished
// (DrainThreads); alert threads and spoolers have connections of their own.
void ReplaceCentralConnection(std::unique_ptr<DBConnection> connection) {
  DrainThreads();
  SetCentralConnection(std::move(connection));
}

}  // namespace

void RunAgent() {
  StartLongLivedThreads();

  bool firstPass = true;
  for (;;) {
    if (!firstPass) {
      ReapIdleServerConnections();
      AgentSleep(true);
    }
    firstPass = false;

    std::unique_ptr<DBConnection> connection;
    ConnectToVARO(connection, true);
    if (!connection) continue;
    DBConnection& central = *connection;
    ReplaceCentralConnection(std::move(connection));

    if (!CheckSchemaVersion(central)) {
      ReplaceCentralConnection(nullptr);
      continue;
    }
    SetAgentInitialised();

    AgentMainLoop(central);
    ReplaceCentralConnection(nullptr);
  }
}
