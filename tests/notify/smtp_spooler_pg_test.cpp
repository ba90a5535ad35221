// The mail spooler against the test cluster's central database (as agent 12)
// and a real SMTP server (aiosmtpd, tests/notify/smtp_sink.py): plain,
// STARTTLS with a throwaway certificate, and login with the stored, encrypted
// password of varo.config.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "db/stored_password.h"
#include "notify/smtp_spooler.h"
#include "notify_test_support.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

using namespace notify_test;

class SmtpSpoolerTest : public SpoolerTest {
 protected:
  void SetUp() override {
    SpoolerTest::SetUp();
    Exec("DELETE FROM varo.smtp_spool");
    Exec("DELETE FROM varo.config WHERE param = 'smtp_password'");
    SetConfig("smtp_server", "127.0.0.1");
    SetConfig("smtp_port", std::to_string(sink_.port()));
    SetConfig("smtp_encryption", "f");
    SetConfig("smtp_authentication", "f");
    SetConfig("smtp_username", "");
  }

  // Starts a spooler and waits until it listens (the `listening`-th to do so).
  std::unique_ptr<RunningSpooler<CSMTPSpooler>> StartSpooler(int32_t pollInterval = 1,
                                                             int listening = 1) {
    auto spooler = std::make_unique<RunningSpooler<CSMTPSpooler>>(
        std::make_unique<CSMTPSpooler>(SpoolerTiming{pollInterval, 2, 3600}));
    EXPECT_TRUE(WaitForLog("SMTPSpooler: Listening for notifications on SMTP_SPOOL.\n", listening))
        << log_.Text();
    return spooler;
  }

  static std::string Queue(const std::string& to, const std::string& cc, const std::string& bcc,
                           const std::string& from, const std::string& subject,
                           const std::string& message) {
    return Exec(
        "INSERT INTO varo.smtp_spool (mail_to, mail_cc, mail_bcc, mail_from, subject, "
        "message) VALUES (" +
        Literal(to) + ", " + Literal(cc) + ", " + Literal(bcc) + ", " + Literal(from) + ", " +
        Literal(subject) + ", " + Literal(message) + ") RETURNING id");
  }
  static std::string Status(const std::string& id) {
    return Exec("SELECT sent_status FROM varo.smtp_spool WHERE id = " + id);
  }
  static bool AllSent() {
    return Exec("SELECT count(*) FROM varo.smtp_spool WHERE sent_status = 'u'") == "0";
  }

  SmtpSink sink_;
};

TEST_F(SmtpSpoolerTest, QueuedMailArrivesWithHeadersRecipientsAndBody) {
  ASSERT_TRUE(sink_.Start()) << sink_.Output();
  auto spooler = StartSpooler();
  const std::string id =
      Queue("ops@example.org, Jörg <joerg@example.org>", "cc@example.org", "hidden@example.org",
            "VARO <varo@example.org>", "Zürich: disk full", "Grüße aus Zürich\n.a dot line\nend");
  ASSERT_TRUE(WaitUntil([&] { return Status(id) == "s"; }, 60s)) << log_.Text();

  const std::vector<std::string> mails = sink_.Mails();
  ASSERT_EQ(mails.size(), 1u);
  const std::string& mail = mails[0];
  EXPECT_NE(mail.find("MAIL FROM: varo@example.org\nRCPT TO: ops@example.org\n"
                      "RCPT TO: joerg@example.org\nRCPT TO: cc@example.org\n"
                      "RCPT TO: hidden@example.org\nTLS: no\nAUTH: -\n"),
            std::string::npos)
      << mail;
  EXPECT_NE(mail.find("HEADER From: VARO <varo@example.org>\n"), std::string::npos) << mail;
  EXPECT_NE(mail.find("HEADER To: ops@example.org, Jörg <joerg@example.org>\n"), std::string::npos)
      << mail;
  EXPECT_NE(mail.find("HEADER Cc: cc@example.org\n"), std::string::npos) << mail;
  EXPECT_NE(mail.find("HEADER Subject: Zürich: disk full\n"), std::string::npos) << mail;
  EXPECT_NE(mail.find("HEADER Date: "), std::string::npos) << mail;
  EXPECT_NE(mail.find("HEADER Message-ID: <"), std::string::npos) << mail;
  EXPECT_NE(mail.find("HEADER Content-Type: text/plain; charset=\"UTF-8\"\n"), std::string::npos)
      << mail;
  EXPECT_EQ(mail.find("Bcc"), std::string::npos) << mail;
  EXPECT_EQ(mail.find("hidden@example.org", mail.find("TLS:")), std::string::npos) << mail;
  // The body decoded by the receiver is the row's text with CRLF line ends,
  // the dot line unharmed by the SMTP dot stuffing.
  EXPECT_EQ(mail.substr(mail.find("BODY:\n") + 6), "Grüße aus Zürich\r\n.a dot line\r\nend\r\n");
}

TEST_F(SmtpSpoolerTest, TwoNotificationsGiveOneBatch) {
  ASSERT_TRUE(sink_.Start()) << sink_.Output();
  // Two transactions sent in one go: two notifications that arrive together,
  // well within the poll interval.
  auto spooler = StartSpooler(3);
  const std::string insert =
      "INSERT INTO varo.smtp_spool (mail_to, mail_from, subject, message) VALUES "
      "('a@example.org', 'v@example.org', 'mail', 'body');";
  Exec("BEGIN; " + insert + " COMMIT; BEGIN; " + insert + " COMMIT;");
  ASSERT_TRUE(WaitUntil(AllSent, 60s)) << log_.Text();
  const std::string log = log_.Text();
  EXPECT_EQ(CountOf(log, "DEBUG: SMTPSpooler: Async notification received from backend pid "), 2)
      << log;
  EXPECT_EQ(CountOf(log, "DEBUG: SMTPSpooler: Sending 2 queued rows.\n"), 1) << log;
  EXPECT_EQ(CountOf(log, "Sending 1 queued rows."), 0) << log;
  EXPECT_EQ(sink_.Mails().size(), 2u);
}

TEST_F(SmtpSpoolerTest, HeaderInjectionArrivesAsOneHeader) {
  ASSERT_TRUE(sink_.Start()) << sink_.Output();
  auto spooler = StartSpooler();
  const std::string id =
      Queue("ops@example.org", "", "", "VARO\r\nBcc: victim@example.org <varo@example.org>",
            "Alert\r\nBcc: victim@example.org\r\n\r\nforged body", "real body");
  ASSERT_TRUE(WaitUntil([&] { return Status(id) == "s"; }, 60s)) << log_.Text();
  const std::vector<std::string> mails = sink_.Mails();
  ASSERT_EQ(mails.size(), 1u);
  const std::string& mail = mails[0];
  EXPECT_EQ(CountOf(mail, "RCPT TO: "), 1) << mail;
  EXPECT_EQ(CountOf(mail, "HEADER Bcc"), 0) << mail;
  EXPECT_NE(mail.find("HEADER Subject: Alert Bcc: victim@example.org forged body\n"),
            std::string::npos)
      << mail;
  EXPECT_NE(mail.find("HEADER From: \"VARO Bcc: victim@example.org\" <varo@example.org>\n"),
            std::string::npos)
      << mail;
  EXPECT_EQ(mail.substr(mail.find("BODY:\n") + 6), "real body\r\n");
}

TEST_F(SmtpSpoolerTest, StartTlsAndLoginWithTheStoredPassword) {
  TempDir certDir("varo-cert-");
  const std::string cert = certDir.str() + "/cert.pem";
  const std::string key = certDir.str() + "/key.pem";
  const ProcessResult made = RunProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
                                         "-out", cert, "-days", "1", "-subj", "/CN=localhost"});
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::string password = "s3cret pässword";
  ASSERT_TRUE(sink_.Start({"--tls", cert, key, "--auth", "mailer", password})) << sink_.Output();
  SetConfig("smtp_encryption", "t");
  SetConfig("smtp_authentication", "t");
  SetConfig("smtp_username", "mailer");
  SetConfig("smtp_password", EncryptStoredPassword("wrong password"));

  auto spooler = StartSpooler();
  const std::string id = Queue("ops@example.org", "", "", "v@example.org", "over TLS", "body");
  // A refused login leaves the row queued; it is tried again after the retry
  // period, and goes out once the stored password is right.
  ASSERT_TRUE(WaitForLog("WARNING: SMTPSpooler: Failed to login\n", 2)) << log_.Text();
  EXPECT_EQ(Status(id), "u");
  EXPECT_TRUE(sink_.Mails().empty());
  SetConfig("smtp_password", EncryptStoredPassword(password));
  ASSERT_TRUE(WaitUntil([&] { return Status(id) == "s"; }, 60s)) << log_.Text();
  const std::vector<std::string> mails = sink_.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].find("TLS: yes\nAUTH: mailer\n"), std::string::npos) << mails[0];
  EXPECT_NE(mails[0].find("HEADER Subject: over TLS\n"), std::string::npos) << mails[0];
  const std::string log = log_.Text();
  EXPECT_EQ(log.find(password), std::string::npos);
  EXPECT_EQ(CountOf(log, "Unable to decrypt the smtp password"), 0) << log;

  // A stored password that is not decryptable is logged and an empty one used.
  SetConfig("smtp_password", "not a stored password");
  const int refusedBefore = CountOf(log_.Text(), "WARNING: SMTPSpooler: Failed to login\n");
  const std::string next = Queue("ops@example.org", "", "", "v@example.org", "again", "body");
  ASSERT_TRUE(WaitForLog("WARNING: SMTPSpooler: Unable to decrypt the smtp password\n"))
      << log_.Text();
  ASSERT_TRUE(WaitForLog("WARNING: SMTPSpooler: Failed to login\n", refusedBefore + 1))
      << log_.Text();
  EXPECT_EQ(Status(next), "u");
}

TEST_F(SmtpSpoolerTest, PeerDownThenUpSendsEachMailOnce) {
  auto spooler = StartSpooler();
  std::vector<std::string> ids;
  for (int i = 1; i <= 3; ++i) {
    ids.push_back(
        Queue("ops@example.org", "", "", "v@example.org", "mail " + std::to_string(i), "body"));
  }
  const std::string refused = "WARNING: SMTPSpooler: Unable to connect to smtp server 127.0.0.1:" +
                              std::to_string(sink_.port()) + "\n";
  ASSERT_TRUE(WaitForLog(refused, 3)) << log_.Text();
  for (const std::string& id : ids) EXPECT_EQ(Status(id), "u");

  ASSERT_TRUE(sink_.Start()) << sink_.Output();
  ASSERT_TRUE(WaitUntil(AllSent, 60s)) << log_.Text();
  // One more mail after them: once it has arrived, every earlier batch is over.
  const std::string last = Queue("ops@example.org", "", "", "v@example.org", "mail 4", "body");
  ASSERT_TRUE(WaitUntil([&] { return Status(last) == "s"; }, 60s)) << log_.Text();
  const std::vector<std::string> mails = sink_.Mails();
  ASSERT_EQ(mails.size(), 4u);
  for (int i = 1; i <= 4; ++i) {
    const std::string subject = "HEADER Subject: mail " + std::to_string(i) + "\n";
    EXPECT_EQ(
        std::count_if(mails.begin(), mails.end(),
                      [&](const std::string& m) { return m.find(subject) != std::string::npos; }),
        1)
        << subject;
  }
}

TEST_F(SmtpSpoolerTest, TwoSpoolersSharingTheDatabaseSendEachMailOnce) {
  // Two agents with the mail spooler on: both are notified, each mail goes
  // out once.
  ASSERT_TRUE(sink_.Start()) << sink_.Output();
  auto first = StartSpooler(1, 1);
  auto second = StartSpooler(1, 2);
  Exec(
      "INSERT INTO varo.smtp_spool (mail_to, mail_from, subject, message) SELECT "
      "'ops@example.org', 'v@example.org', 'mail ' || n, 'body' FROM generate_series(1, 8) n");
  ASSERT_TRUE(WaitUntil(AllSent, 60s)) << log_.Text();
  const std::string last = Queue("ops@example.org", "", "", "v@example.org", "mail 9", "body");
  ASSERT_TRUE(WaitUntil([&] { return Status(last) == "s"; }, 60s)) << log_.Text();
  ASSERT_TRUE(WaitUntil([&] { return sink_.Mails().size() >= 9; }, 60s));
  const std::vector<std::string> mails = sink_.Mails();
  EXPECT_EQ(mails.size(), 9u);
  for (int i = 1; i <= 9; ++i) {
    const std::string subject = "HEADER Subject: mail " + std::to_string(i) + "\n";
    EXPECT_EQ(
        std::count_if(mails.begin(), mails.end(),
                      [&](const std::string& m) { return m.find(subject) != std::string::npos; }),
        1)
        << subject;
  }
}

TEST_F(SmtpSpoolerTest, ReconnectsAfterItsConnectionIsKilled) {
  ASSERT_TRUE(sink_.Start()) << sink_.Output();
  auto spooler = StartSpooler();
  ASSERT_EQ(Exec("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE usename = "
                 "'agent12' AND query LIKE '%smtp_spool%'"),
            "1");
  ASSERT_TRUE(WaitForLog("SMTPSpooler: Listening for notifications on SMTP_SPOOL.\n", 2))
      << log_.Text();
  const std::string id = Queue("ops@example.org", "", "", "v@example.org", "after", "body");
  ASSERT_TRUE(WaitUntil([&] { return Status(id) == "s"; }, 60s)) << log_.Text();
}

}  // namespace
