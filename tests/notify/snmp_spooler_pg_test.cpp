// The trap spooler against the test cluster's central database (as agent 12)
// and a real trap receiver (snmptrapd, logging to a file, numeric OIDs, only
// the community "varo-test" accepted).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "notify/snmp_spooler.h"
#include "notify_test_support.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

using namespace notify_test;

constexpr char kTrap[] = "1.3.6.1.4.1.8072.9999.9999.1";
constexpr char kEnterprise[] = "1.3.6.1.4.1.8072.9999.9999";

class SnmpSpoolerTest : public SpoolerTest {
 protected:
  void SetUp() override {
    SpoolerTest::SetUp();
    Exec("DELETE FROM varo.snmp_spool");
    SetConfig("snmp_server", "127.0.0.1");
    SetConfig("snmp_port", std::to_string(receiver_.port()));
    SetConfig("snmp_community", "varo-test");
  }

  std::unique_ptr<RunningSpooler<CSNMPSpooler>> StartSpooler() {
    auto spooler = std::make_unique<RunningSpooler<CSNMPSpooler>>(
        std::make_unique<CSNMPSpooler>(SpoolerTiming{1, 2, 3600}));
    EXPECT_TRUE(WaitForLog("SNMPSpooler: Listening for notifications on SNMP_SPOOL.\n"))
        << log_.Text();
    return spooler;
  }

  static std::string Queue(const std::string& trapOid, int version, const std::string& oids,
                           const std::string& values) {
    return Exec(
        "INSERT INTO varo.snmp_spool (trap_oid, enterprise_oid, trap_version, "
        "varbinding_oid, varbinding_value) VALUES (" +
        Literal(trapOid) + ", " + Literal(kEnterprise) + ", " + std::to_string(version) + ", " +
        Literal(oids) + ", " + Literal(values) + ") RETURNING id");
  }
  static std::string Status(const std::string& id) {
    return Exec("SELECT sent_status FROM varo.snmp_spool WHERE id = " + id);
  }
  bool Received(const std::string& text, int times = 1) {
    return WaitUntil([&] { return CountOf(receiver_.Log(), text) >= times; }, 60s);
  }

  TrapReceiver receiver_;
};

TEST_F(SnmpSpoolerTest, Version2cTrapArrivesWithItsBindings) {
  ASSERT_TRUE(receiver_.Start()) << receiver_.Output();
  auto spooler = StartSpooler();
  const std::string trap = kTrap;
  const std::string good =
      Queue(trap, 2, trap + ".1|" + trap + ".2|" + trap + ".3", "warning|disk full|");
  ASSERT_TRUE(WaitUntil([&] { return Status(good) == "s"; }, 60s)) << log_.Text();
  ASSERT_TRUE(Received("STRING: \"disk full\"")) << receiver_.Log();
  const std::string log = receiver_.Log();
  const size_t upTime = log.find(".1.3.6.1.2.1.1.3.0 = Timeticks: ");
  const size_t trapOid = log.find(".1.3.6.1.6.3.1.1.4.1.0 = OID: ." + trap + "\t");
  const size_t first = log.find("." + trap + ".1 = STRING: \"warning\"");
  const size_t second = log.find("." + trap + ".2 = STRING: \"disk full\"");
  const size_t third = log.find("." + trap + ".3 = \"\"");
  const size_t enterprise = log.find(".1.3.6.1.6.3.1.1.4.3.0 = OID: ." + std::string(kEnterprise));
  ASSERT_NE(upTime, std::string::npos) << log;
  EXPECT_LT(upTime, trapOid) << log;
  EXPECT_LT(trapOid, first) << log;
  EXPECT_LT(first, second) << log;
  EXPECT_LT(second, third) << log;
  EXPECT_LT(third, enterprise) << log;
  EXPECT_NE(enterprise, std::string::npos) << log;
}

TEST_F(SnmpSpoolerTest, Version1TrapFollowsTheRfc3584Mapping) {
  ASSERT_TRUE(receiver_.Start()) << receiver_.Output();
  auto spooler = StartSpooler();
  const std::string trap = kTrap;
  const std::string id = Queue(trap, 1, trap + ".1|" + trap + ".2", "critical|server down");
  ASSERT_TRUE(WaitUntil([&] { return Status(id) == "s"; }, 60s)) << log_.Text();
  ASSERT_TRUE(Received("STRING: \"server down\"")) << receiver_.Log();
  const std::string log = receiver_.Log();
  // No snmpTrapAddress.0 binding: agent-addr is 0.0.0.0.
  EXPECT_NE(log.find("0.0.0.0 [0.0.0.0] (via UDP: [127.0.0.1]:"), std::string::npos) << log;
  EXPECT_NE(log.find("TRAP, SNMP v1, community varo-test\n\t." + std::string(kEnterprise) +
                     " Enterprise Specific Trap (1) Uptime: "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\t." + trap + ".1 = STRING: \"critical\"\t." + trap +
                     ".2 = STRING: \"server down\""),
            std::string::npos)
      << log;
}

TEST_F(SnmpSpoolerTest, BadRowsStayUnsentAndAreLogged) {
  ASSERT_TRUE(receiver_.Start()) << receiver_.Output();
  auto spooler = StartSpooler();
  const std::string trap = kTrap;
  const std::string badOid = Queue("1.3.six", 2, "", "");
  const std::string fewValues = Queue(trap, 2, trap + ".1|" + trap + ".2", "only one");
  const std::string badBinding = Queue(trap, 1, trap + ".1|x.1", "a|b");
  const std::string good = Queue(trap, 2, trap + ".1", "after the bad ones");
  ASSERT_TRUE(WaitUntil([&] { return Status(good) == "s"; }, 60s)) << log_.Text();
  ASSERT_TRUE(Received("STRING: \"after the bad ones\"")) << receiver_.Log();
  EXPECT_EQ(Status(badOid), "u");
  EXPECT_EQ(Status(fewValues), "u");
  EXPECT_EQ(Status(badBinding), "u");
  const std::string log = log_.Text();
  EXPECT_NE(log.find("WARNING: SNMPSpooler: Trap " + badOid +
                     " not sent: Invalid Oid 1.3.six; it stays queued\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("WARNING: SNMPSpooler: Trap " + fewValues +
                     " not sent: The trap has 2 binding OIDs but 1 values; it stays queued\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("WARNING: SNMPSpooler: Trap " + badBinding +
                     " not sent: Invalid Oid x.1; it stays queued\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(CountOf(receiver_.Log(), "STRING: "), 1) << receiver_.Log();
}

TEST_F(SnmpSpoolerTest, UnreachableReceiverThenRightSettingsSendEachTrapOnce) {
  // Traps go over UDP without an answer, so the spooler cannot see a receiver
  // that is down; what it sees is a receiver it cannot address.
  SetConfig("snmp_server", "");
  ASSERT_TRUE(receiver_.Start()) << receiver_.Output();
  auto spooler = StartSpooler();
  const std::string trap = kTrap;
  std::vector<std::string> ids;
  for (int i = 1; i <= 3; ++i)
    ids.push_back(Queue(trap, 2, trap + ".1", "trap " + std::to_string(i)));
  ASSERT_TRUE(WaitForLog("not sent: Invalid Address or DNS Name ; it stays queued\n", 3))
      << log_.Text();
  for (const std::string& id : ids) EXPECT_EQ(Status(id), "u");

  // Fixed without a notification: the rows go out after the retry period.
  SetConfig("snmp_server", "127.0.0.1");
  for (const std::string& id : ids) {
    ASSERT_TRUE(WaitUntil([&] { return Status(id) == "s"; }, 60s)) << log_.Text();
  }
  const std::string last = Queue(trap, 2, trap + ".1", "trap 4");
  ASSERT_TRUE(Received("STRING: \"trap 4\"")) << receiver_.Log();
  ASSERT_TRUE(WaitUntil([&] { return Status(last) == "s"; }, 60s));
  const std::string log = receiver_.Log();
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(CountOf(log, "STRING: \"trap " + std::to_string(i) + "\""), 1) << log;
  }
}

}  // namespace
