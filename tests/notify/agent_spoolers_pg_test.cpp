// The agent program started with -m and -n (in the foreground, as agent 12)
// runs both spoolers: a queued mail and a queued trap reach their peers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notify_test_support.h"

namespace {

using namespace notify_test;

class AgentSpoolersTest : public SpoolerTest {};

TEST_F(AgentSpoolersTest, AgentWithMailAndTrapsOnSendsBoth) {
  SmtpSink sink;
  TrapReceiver receiver;
  ASSERT_TRUE(sink.Start()) << sink.Output();
  ASSERT_TRUE(receiver.Start()) << receiver.Output();
  Exec("DELETE FROM varo.smtp_spool");
  Exec("DELETE FROM varo.snmp_spool");
  SetConfig("smtp_server", "127.0.0.1");
  SetConfig("smtp_port", std::to_string(sink.port()));
  SetConfig("smtp_encryption", "f");
  SetConfig("smtp_authentication", "f");
  SetConfig("snmp_server", "127.0.0.1");
  SetConfig("snmp_port", std::to_string(receiver.port()));
  SetConfig("snmp_community", "varo-test");

  TempDir tmp("varo-agent-");
  ChildProcess agent;
  PgCluster& cluster = PgCluster::Get();
  ASSERT_TRUE(agent.Start(
      {std::string(VARO_BINARY_DIR) + "/varo-agent", "DEBUG", "-o",
       "varo_host=" + cluster.socketDir(), "-o", "varo_port=" + std::to_string(cluster.port()),
       "-o", "agent_id=12", "-t", "1", "-r", "10", "-l", "debug2", "-m", "-n"},
      {"TMPDIR=" + tmp.str()}))
      << agent.Output();
  ASSERT_TRUE(agent.WaitForOutput("SMTPSpooler: Listening for notifications on SMTP_SPOOL.", 60s))
      << agent.Output();
  ASSERT_TRUE(agent.WaitForOutput("SNMPSpooler: Listening for notifications on SNMP_SPOOL.", 60s))
      << agent.Output();

  Exec(
      "INSERT INTO varo.smtp_spool (mail_to, mail_from, subject, message) VALUES "
      "('ops@example.org', 'varo@example.org', 'from the agent', 'body')");
  Exec(
      "INSERT INTO varo.snmp_spool (trap_oid, trap_version, varbinding_oid, varbinding_value) "
      "VALUES ('1.3.6.1.4.1.8072.9999.9999.1', 2, '1.3.6.1.4.1.8072.9999.9999.1.1', 'agent')");
  EXPECT_TRUE(WaitUntil(
      [] {
        return Exec("SELECT count(*) FROM varo.smtp_spool WHERE sent_status = 's'") == "1" &&
               Exec("SELECT count(*) FROM varo.snmp_spool WHERE sent_status = 's'") == "1";
      },
      60s))
      << agent.Output();
  ASSERT_EQ(sink.Mails().size(), 1u);
  EXPECT_NE(sink.Mails()[0].find("HEADER Subject: from the agent\n"), std::string::npos);
  EXPECT_NE(receiver.Log().find("STRING: \"agent\""), std::string::npos) << receiver.Log();

  agent.Kill();
  const std::string output = agent.Output();
  EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
  EXPECT_EQ(output.find("runtime error:"), std::string::npos) << output;
}

}  // namespace
