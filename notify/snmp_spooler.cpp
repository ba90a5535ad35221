#include "notify/snmp_spooler.h"

#include <memory>

#include "notify/notify_init.h"
#include "notify/trap_row.h"
#include "notify/trap_sender.h"
#include "platform/log.h"
#include "platform/text.h"

CSNMPSpooler::CSNMPSpooler(SpoolerTiming timing)
    : SpoolerThread("SNMPSpooler", "SNMP_SPOOL", kUnsentTrapQuery, timing) {}

void CSNMPSpooler::LoadTrapSettings() {
  std::unique_ptr<ResultSet> result = connection()->ExecuteQuery(kTrapSettingsQuery);
  if (!result->IsOk()) return;
  for (uint32_t row = 0; row < result->GetRowCount(); ++row) {
    const std::string param = result->GetValueByIndex(row, 0);
    if (param == "snmp_server") {
      snmp_server = result->GetValueByIndex(row, 1);
    } else if (param == "snmp_port") {
      snmp_port = result->GetValueByIndex(row, 1);
    } else if (param == "snmp_community") {
      snmp_community = result->GetValueByIndex(row, 1);
    }
  }
}

BatchOutcome CSNMPSpooler::SendSpooledTraps(const std::vector<int64_t>& ids) {
  LoadTrapSettings();
  BatchOutcome outcome = BatchOutcome::kAllSent;
  for (int64_t id : ids) {
    if (TestDestroy()) return BatchOutcome::kRowsLeft;
    if (!ConnectionOk()) {
      LogMessage(_("SNMPSpooler: Could not process the snmp traps, because the connection to "
                   "varo-server is lost; connecting again"),
                 LOG_WARNING);
      return BatchOutcome::kConnectionLost;
    }
    std::unique_ptr<ResultSet> row = ClaimRow(kTrapRowQuery, id);
    // Failed, sent meanwhile, or being sent by another agent: nothing to do.
    if (!row->IsOk() || row->GetRowCount() != 1) continue;

    TrapRow trap;
    trap.trapOid = row->GetValueByName(0, "trap_oid");
    trap.enterpriseOid = row->GetValueByName(0, "enterprise_oid");
    trap.trapVersion = row->GetValueByName(0, "trap_version");
    trap.bindingOids = row->GetValueByName(0, "varbinding_oid");
    trap.bindingValues = row->GetValueByName(0, "varbinding_value");
    row.reset();

    // A row that is not a valid trap waits for the next notification (it is
    // logged on every batch); a send that failed is tried again after the
    // retry period, since the receiver or its settings may come right.
    TrapRequest request;
    std::string error = ValidateTrapRow(trap, &request);
    const bool validRow = error.empty();
    std::string receiver;
    if (validRow) receiver = TrapReceiverAddress(snmp_server, snmp_port, &error);
    if (error.empty()) error = SendTrap(receiver, snmp_community, request, NotifyUptimeTicks());
    const bool sent = error.empty();
    if (!sent) {
      LogMessage(StrFormat(_("SNMPSpooler: Trap %d not sent: %s; it stays queued"),
                           static_cast<int>(id), error.c_str()),
                 LOG_WARNING);
      if (validRow) outcome = BatchOutcome::kRowsLeft;
    }
    const std::string markError = FinishRow(sent, kTrapSentCommand, id);
    if (sent && !markError.empty()) {
      LogMessage(StrFormat(_("SNMPSpooler: Unable to set sent status for id %d with error %s"),
                           static_cast<int>(id), markError.c_str()),
                 LOG_WARNING);
      outcome = BatchOutcome::kRowsLeft;
    }
  }
  return outcome;
}
