// ConnectToVARO and the shared central connection against the test cluster.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "db/central_connection.h"
#include "db/db_connection_with_mutex.h"
#include "support/central_test_setup.h"
#include "support/wait.h"

namespace {

class CentralConnectionTest : public testing::Test {
 protected:
  void SetUp() override {
    central_test::EnsureAgent12();
    saved = GetDBSettings();
    central_test::UseClusterSettings();
  }
  void TearDown() override { GetDBSettings() = saved; }
  DBSettings saved;
};

TEST_F(CentralConnectionTest, AgentConnectsAsItsRoleToVaro) {
  std::unique_ptr<DBConnection> target;
  ConnectToVARO(target, false);
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(dynamic_cast<DBConnectionWithMutex*>(target.get()), nullptr);
  auto rs = target->ExecuteQuery(
      "SELECT current_user, current_database(), current_setting('application_name'), "
      "current_setting('client_encoding'), current_setting('server_version_num')::int");
  ASSERT_TRUE(rs->IsOk()) << rs->GetErrorMessage();
  EXPECT_EQ(rs->GetValueByIndex(0, 0), "agent12");
  EXPECT_EQ(rs->GetValueByIndex(0, 1), "varo");
  EXPECT_EQ(rs->GetValueByIndex(0, 2), "Corvane - Agent Control");
  EXPECT_EQ(rs->GetValueByIndex(0, 3), "UTF8");
  // The version was read on the new connection while it was made.
  int versionNum = std::atoi(rs->GetValueByIndex(0, 4).c_str());
  EXPECT_EQ(target->serverVersion.major, versionNum / 10000);
  EXPECT_EQ(target->serverVersion.minor, versionNum % 10000);
  EXPECT_FALSE(target->serverVersion.isKelvora);
}

TEST_F(CentralConnectionTest, SecondConnectOnAFilledTargetDoesNothing) {
  std::unique_ptr<DBConnection> target;
  ConnectToVARO(target, true);
  ASSERT_NE(target, nullptr);
  ASSERT_NE(dynamic_cast<DBConnectionWithMutex*>(target.get()), nullptr);
  DBConnection* first = target.get();
  std::string pid = target->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
  ConnectToVARO(target, true);
  EXPECT_EQ(target.get(), first);
  EXPECT_EQ(target->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0), pid);
}

TEST_F(CentralConnectionTest, RefusedConnectLeavesTargetEmpty) {
  GetDBSettings().agent_id = 98765;  // no such role
  std::unique_ptr<DBConnection> target;
  ConnectToVARO(target, true);
  EXPECT_EQ(target, nullptr);

  central_test::UseClusterSettings();
  GetDBSettings().varo_host = "/nonexistent/socket/dir";
  ConnectToVARO(target, false);
  EXPECT_EQ(target, nullptr);
}

TEST_F(CentralConnectionTest, VersionOfABrokenConnectionIsZeros) {
  std::unique_ptr<DBConnection> target;
  ConnectToVARO(target, false);
  ASSERT_NE(target, nullptr);
  std::string pid = target->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
  PgCluster::Get().Exec("postgres", "SELECT pg_terminate_backend(" + pid + ")");
  ServerVersion version = DetectServerVersion(*target);
  EXPECT_EQ(version.major, 0);
  EXPECT_EQ(version.minor, 0);
  EXPECT_EQ(version.patch, 0);
  EXPECT_FALSE(version.isKelvora);
}

TEST_F(CentralConnectionTest, SharedConnectionHolderReplacesAndDeletes) {
  std::unique_ptr<DBConnection> first;
  ConnectToVARO(first, true);
  ASSERT_NE(first, nullptr);
  std::string pid = first->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
  DBConnection* raw = first.get();
  SetCentralConnection(std::move(first));
  EXPECT_EQ(GetCentralConnection(), raw);

  std::unique_ptr<DBConnection> second;
  ConnectToVARO(second, true);
  ASSERT_NE(second, nullptr);
  SetCentralConnection(std::move(second));
  EXPECT_NE(GetCentralConnection(), nullptr);
  // The replaced connection was closed: its backend goes away.
  std::string left;
  EXPECT_TRUE(WaitUntil(
      [&] {
        left = PgCluster::Get().Exec("postgres",
                                     "SELECT count(*) FROM pg_stat_activity WHERE pid = " + pid);
        return left == "0";
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(left, "0");
  SetCentralConnection(nullptr);
  EXPECT_EQ(GetCentralConnection(), nullptr);

  SetCentralSchemaVersion(201210091);
  EXPECT_EQ(GetCentralSchemaVersion(), 201210091u);
  SetCentralSchemaVersion(0);
}

}  // namespace
