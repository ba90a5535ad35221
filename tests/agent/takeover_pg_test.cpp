// Takeover flag files and capabilities inside the test process, against the
// test cluster's central database as agent 41.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "agent/agent_capabilities.h"
#include "agent/server_takeover.h"
#include "agent_test_support.h"
#include "support/global_state.h"
#include "support/pg_cluster.h"
#include "support/temp_dir.h"

using agent_test::CountOf;

namespace fs = std::filesystem;

namespace {

class TakeoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PgCluster& cluster = PgCluster::Get();
    // Servers of agent 42 that agent 41 may or may not take over. Nothing
    // listens on their port, so heartbeats for them simply fail.
    ASSERT_EQ(cluster.RunCentralDb({"--agent", "41"}), 0);
    for (const char* server : {"4201", "4202"}) {
      ASSERT_EQ(
          cluster.RunCentralDb({"--bind", "42", server, "127.0.0.1", "1", "postgres", "monitored"}),
          0);
    }
    Exec(
        "UPDATE varo.agent_server_binding SET agent_id = 42, allow_takeover = (server_id = 4201) "
        "WHERE server_id IN (4201, 4202)");
    agent_test::ConnectCentralAs(41);
    ASSERT_FALSE(dir_.path().empty());
    base_ = dir_.str();
  }
  void TearDown() override { SetCentralConnection(nullptr); }
  static std::string Exec(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }
  static std::string BoundAgent(const std::string& server) {
    return Exec("SELECT agent_id FROM varo.agent_server_binding WHERE server_id = " + server);
  }

  SettingsGuard settings_;
  TempDir dir_{"varo-takeover-"};
  std::string base_;
};

TEST_F(TakeoverTest, FlagFilesMoveOnlyBindingsThatAllowIt) {
  // The setting has no trailing separator; the agent's directory lies below it.
  const std::string dir = FlagDirectoryPath(base_ + "/flags", 41);
  ASSERT_EQ(dir, base_ + "/flags/agent-41/");
  ProcessFlagFiles(*GetCentralConnection(), dir);  // first pass: creates the directory
  ASSERT_TRUE(fs::is_directory(dir));
  for (const char* name : {"takeover-server-4201", "takeover-server-4202", "takeover-server-abc",
                           "takeover-server-4299"}) {
    std::ofstream(dir + name) << "";
  }

  LogCapture capture;
  ProcessFlagFiles(*GetCentralConnection(), dir);
  ProcessFlagFiles(*GetCentralConnection(), dir);
  std::string log = capture.Take();

  EXPECT_EQ(BoundAgent("4201"), "41");
  EXPECT_FALSE(fs::exists(dir + "takeover-server-4201"));
  EXPECT_EQ(CountOf(log, "DEBUG: Successfully took over server 4201\n"), 1) << log;

  EXPECT_EQ(BoundAgent("4202"), "42");
  EXPECT_TRUE(fs::exists(dir + "takeover-server-4202"));
  EXPECT_EQ(CountOf(log, "WARNING: No bindings for server 4202 exist or allow takeover\n"), 2);
  EXPECT_TRUE(fs::exists(dir + "takeover-server-4299"));  // no such server
  EXPECT_EQ(CountOf(log, "WARNING: No bindings for server 4299 exist or allow takeover\n"), 2);
  EXPECT_TRUE(fs::exists(dir + "takeover-server-abc"));
  EXPECT_EQ(CountOf(log,
                    "WARNING: Failed to extract server ID from flag filename "
                    "takeover-server-abc\n"),
            2);
}

TEST_F(TakeoverTest, FailingStatementsKeepTheFile) {
  const std::string dir = base_ + "/";
  std::ofstream(dir + "takeover-server-4201") << "";
  Exec("REVOKE UPDATE (agent_id) ON varo.agent_server_binding FROM varo_agent");
  LogCapture capture;
  ProcessFlagFiles(*GetCentralConnection(), dir);
  std::string log = capture.Take();
  Exec("GRANT UPDATE (agent_id) ON varo.agent_server_binding TO varo_agent");
  EXPECT_NE(log.find("WARNING: Failed to takeover server 4201 binding(s): ERROR:  permission "
                     "denied for table agent_server_binding"),
            std::string::npos)
      << log;
  EXPECT_EQ(BoundAgent("4201"), "42");
  EXPECT_TRUE(fs::exists(dir + "takeover-server-4201"));

  // An update that moves no binding (here a trigger skips it, as if takeover
  // had been switched off after the check) is no takeover either.
  Exec(
      "CREATE OR REPLACE FUNCTION public.varo_test_skip_row() RETURNS trigger LANGUAGE plpgsql AS "
      "$$BEGIN RETURN NULL; END$$");
  Exec(
      "CREATE TRIGGER skip_takeover BEFORE UPDATE ON varo.agent_server_binding "
      "FOR EACH ROW EXECUTE FUNCTION public.varo_test_skip_row()");
  ProcessFlagFiles(*GetCentralConnection(), dir);
  log = capture.Take();
  Exec(
      "DROP TRIGGER skip_takeover ON varo.agent_server_binding; "
      "DROP FUNCTION public.varo_test_skip_row()");
  EXPECT_NE(log.find("WARNING: Failed to takeover server 4201 binding(s): no binding allows "
                     "takeover any more"),
            std::string::npos)
      << log;
  EXPECT_EQ(BoundAgent("4201"), "42");
  EXPECT_TRUE(fs::exists(dir + "takeover-server-4201"));
}

TEST_F(TakeoverTest, CapabilitiesArePublished) {
  Exec("UPDATE varo.agent SET agent_capability_list = NULL WHERE id = 41");
  EXPECT_TRUE(SetCapabilities(*GetCentralConnection()));
  EXPECT_EQ(Exec("SELECT agent_capability_list::text FROM varo.agent WHERE id = 41"),
            kAgentCapabilityList);
  EXPECT_EQ(Exec("SELECT agent_capability_list[1] FROM varo.agent WHERE id = 41"), "linux");

  Exec("REVOKE UPDATE (agent_capability_list) ON varo.agent FROM varo_agent");
  LogCapture capture;
  EXPECT_FALSE(SetCapabilities(*GetCentralConnection()));
  std::string log = capture.Take();
  Exec("GRANT UPDATE (agent_capability_list) ON varo.agent TO varo_agent");
  EXPECT_NE(log.find("WARNING: error setting capabilities: ERROR:  permission denied"),
            std::string::npos)
      << log;
}

}  // namespace
