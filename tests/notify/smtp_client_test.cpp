// The SMTP client's checks before it connects, its log texts, and the process
// set-up that keeps a closed peer from ending the agent.
#include "notify/smtp_client.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "notify/notify_init.h"

namespace {

TEST(SmtpClient, SettingsThatNameNoServerAreRefusedWithoutConnecting) {
  InitNotifyLibraries();
  struct Case {
    std::string server;
    std::string port;
  };
  const std::vector<Case> cases = {
      {"", "25"},
      {"mail.example.org", ""},
      {"mail.example.org", "0"},
      {"mail.example.org", "65536"},
      {"mail.example.org", "25x"},
      {"evil.org/path", "25"},
      {"user@evil.org", "25"},
      {"a b", "25"},
      {"mail.example.org\r\n", "25"},
  };
  ComposedMail mail;
  mail.recipients = {"ops@example.org"};
  mail.text = "Subject: x\r\n\r\nbody\r\n";
  for (const Case& c : cases) {
    SmtpSettings settings;
    settings.smtp_server = c.server;
    settings.smtp_port = c.port;
    EXPECT_EQ(SendMail(settings, mail, nullptr), kMailBadServer) << c.server << ":" << c.port;
  }
}

TEST(SmtpClient, ErrorTexts) {
  SmtpSettings settings;
  settings.smtp_server = "mail.example.org";
  settings.smtp_port = "2525";
  EXPECT_EQ(MailErrorText(kMailConnectFailed, settings),
            "SMTPSpooler: Unable to connect to smtp server mail.example.org:2525");
  EXPECT_EQ(MailErrorText(kMailOutOfMemory, settings),
            "SMTPSpooler: Unable to allocate memory for message buffer");
  EXPECT_EQ(MailErrorText(kMailLoginDenied, settings), "SMTPSpooler: Failed to login");
  EXPECT_EQ(MailErrorText(55, settings), "SMTPSpooler: Unable to send email with error code: 55");
}

TEST(SmtpClient, SigpipeCannotEndTheProcess) {
  InitNotifyLibraries();
  struct sigaction current {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, SIG_IGN);
  raise(SIGPIPE);  // would end the test binary without the set-up
  SUCCEED();
}

}  // namespace
