// The mail spooler: a thread that listens on SMTP_SPOOL and sends the unsent
// mails of varo.smtp_spool through the mail server of varo.config, marking
// each one sent once the server accepted it. One per process when
// enable_smtp is on; started by RunAgent. See SpoolerThread for its life.
#pragma once

#include <cstdint>
#include <vector>

#include "notify/smtp_client.h"
#include "notify/spooler_thread.h"

class CSMTPSpooler : public SpoolerThread {
 public:
  explicit CSMTPSpooler(SpoolerTiming timing);

 protected:
  BatchOutcome SendSpooled(const std::vector<int64_t>& ids) override {
    return SendSpooledMails(ids);
  }

 private:
  // Reads the smtp_* settings of varo.config (the password decrypted); rows
  // that are absent, or a failed query, leave the settings as they were.
  void LoadMailSettings();
  // Loads the settings, then sends the mails with these ids in order.
  BatchOutcome SendSpooledMails(const std::vector<int64_t>& ids);

  SmtpSettings settings_;
};

inline constexpr char kUnsentMailQuery[] = "SELECT id FROM varo.smtp_spool WHERE sent_status = 'u'";
inline constexpr char kMailSettingsQuery[] =
    "SELECT param, value FROM varo.config WHERE param in ('smtp_server', 'smtp_port', "
    "'smtp_encryption', \t\t\t\t\t\t 'smtp_username', 'smtp_password', 'smtp_enabled', "
    "'smtp_authentication');";
// Reads one unsent mail and locks it until it is marked sent (or given back).
inline constexpr char kMailRowQuery[] =
    "SELECT mail_to, mail_cc, mail_bcc, mail_from, subject, message FROM varo.smtp_spool "
    "WHERE id = $1 AND sent_status = 'u' FOR UPDATE SKIP LOCKED";
inline constexpr char kMailSentCommand[] =
    "UPDATE varo.smtp_spool SET sent_status = 's' WHERE id = $1";
