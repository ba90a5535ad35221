#include "notify/smtp_spooler.h"

#include <ctime>
#include <memory>
#include <string>

#include "db/stored_password.h"
#include "notify/mail_message.h"
#include "platform/log.h"
#include "platform/text.h"

CSMTPSpooler::CSMTPSpooler(SpoolerTiming timing)
    : SpoolerThread("SMTPSpooler", "SMTP_SPOOL", kUnsentMailQuery, timing) {}

void CSMTPSpooler::LoadMailSettings() {
  std::unique_ptr<ResultSet> result = connection()->ExecuteQuery(kMailSettingsQuery);
  if (!result->IsOk()) return;
  for (uint32_t row = 0; row < result->GetRowCount(); ++row) {
    const std::string param = result->GetValueByIndex(row, 0);
    std::string value = result->GetValueByIndex(row, 1);
    if (param == "smtp_server") {
      settings_.smtp_server = value;
    } else if (param == "smtp_port") {
      settings_.smtp_port = value;
    } else if (param == "smtp_encryption") {
      settings_.smtp_encryption = value;
    } else if (param == "smtp_username") {
      settings_.smtp_username = value;
    } else if (param == "smtp_enabled") {
      settings_.smtp_enabled = value;
    } else if (param == "smtp_authentication") {
      settings_.smtp_authentication = value;
    } else if (param == "smtp_password") {
      bool ok = false;
      settings_.smtp_password = DecryptStoredPassword(value, &ok);
      if (!ok) LogMessage(_("SMTPSpooler: Unable to decrypt the smtp password"), LOG_WARNING);
    }
  }
}

BatchOutcome CSMTPSpooler::SendSpooledMails(const std::vector<int64_t>& ids) {
  LoadMailSettings();
  BatchOutcome outcome = BatchOutcome::kAllSent;
  for (int64_t id : ids) {
    if (TestDestroy()) return BatchOutcome::kRowsLeft;
    if (!ConnectionOk()) {
      LogMessage(_("SMTPSpooler: Could not process the smtp alerts, because of the connection "
                   "to varo-server is lost!"),
                 LOG_WARNING);
      return BatchOutcome::kConnectionLost;
    }
    std::unique_ptr<ResultSet> row = ClaimRow(kMailRowQuery, id);
    // Failed, sent meanwhile, or being sent by another agent: nothing to do.
    if (!row->IsOk() || row->GetRowCount() != 1) continue;

    SpooledMail mail;
    mail.to = row->GetValueByName(0, "mail_to");
    mail.cc = row->GetValueByName(0, "mail_cc");
    mail.bcc = row->GetValueByName(0, "mail_bcc");
    mail.from = row->GetValueByName(0, "mail_from");
    mail.subject = row->GetValueByName(0, "subject");
    mail.body = row->GetValueByName(0, "message");
    row.reset();

    ComposedMail composed;
    const std::string invalid =
        ComposeMail(mail, std::time(nullptr), MakeMessageId(EnvelopeAddress(mail.from)), &composed);
    int code = kMailOk;
    if (!invalid.empty()) {
      LogMessage(StrFormat(_("SMTPSpooler: Mail %d cannot be sent: %s; it stays queued"),
                           static_cast<int>(id), invalid.c_str()),
                 LOG_WARNING);
      code = -1;
    } else {
      code = SendMail(settings_, composed, [this] { return TestDestroy(); });
      // A send cut short because the spooler is ending is no failure to report.
      if (code != kMailOk && !TestDestroy())
        LogMessage(MailErrorText(code, settings_), LOG_WARNING);
    }
    const std::string error = FinishRow(code == kMailOk, kMailSentCommand, id);
    if (code != kMailOk) {
      // A mail without recipients waits for the next notification; a failed
      // send is tried again after the retry period.
      if (invalid.empty()) outcome = BatchOutcome::kRowsLeft;
    } else if (!error.empty()) {
      LogMessage(StrFormat(_("SMTPSpooler: Unable to set sent status for id %d with error %s"),
                           static_cast<int>(id), error.c_str()),
                 LOG_WARNING);
      outcome = BatchOutcome::kRowsLeft;
    }
  }
  return outcome;
}
