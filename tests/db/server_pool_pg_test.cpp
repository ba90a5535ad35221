// The monitored-server connection pool and its binding cache against the test
// cluster, which plays both the central database and the monitored server.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/central_connection.h"
#include "db/server_binding_cache.h"
#include "db/server_pool.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/wait.h"

namespace {

using central_test::BindServer;

std::string BackendPid(DBConnection* connection) {
  auto rs = connection->ExecuteQuery("SELECT pg_backend_pid()");
  return rs->IsOk() ? rs->GetValueByIndex(0, 0) : std::string();
}

std::string ScalarOf(DBConnection* connection, const std::string& sql) {
  auto rs = connection->ExecuteQuery(sql);
  EXPECT_TRUE(rs->IsOk()) << sql << ": " << rs->GetErrorMessage();
  return rs->GetValueByIndex(0, 0);
}

// The value libpq used for `keyword` on `connection`; "<unset>" when none.
std::string ConnOption(DBConnectionToPostgreSQL* connection, const std::string& keyword) {
  std::string value = "<unset>";
  PQconninfoOption* options = PQconninfo(connection->GetHandle());
  for (PQconninfoOption* o = options; o && o->keyword; ++o) {
    if (keyword == o->keyword && o->val) value = o->val;
  }
  PQconninfoFree(options);
  return value;
}

// Waits until none of `pids` is a live backend; false when some stay.
bool BackendsGone(const std::vector<std::string>& pids) {
  std::string list;
  for (const std::string& pid : pids) list += (list.empty() ? "" : ",") + pid;
  return WaitUntil(
      [&] {
        return PgCluster::Get().Exec("postgres",
                                     "SELECT count(*) FROM pg_stat_activity WHERE "
                                     "pid IN (" +
                                         list + ")") == "0";
      },
      std::chrono::seconds(30));
}

class ServerPoolTest : public testing::Test {
 protected:
  void SetUp() override {
    central_test::EnsureAgent12();
    saved = GetDBSettings();
    central_test::UseClusterSettings();
    std::unique_ptr<DBConnection> central;
    ConnectToVARO(central, true);
    ASSERT_NE(central, nullptr);
    SetCentralConnection(std::move(central));
    SetCentralSchemaVersion(201210091);
    ClearServerBindingCache();
  }
  void TearDown() override {
    ReapIdleServerConnections();
    ClearServerBindingCache();
    SetCentralConnection(nullptr);
    SetCentralSchemaVersion(0);
    GetDBSettings() = saved;
  }

  // Binds `serverId` to the cluster's "monitored" database as postgres.
  void BindMonitored(int32_t serverId) {
    BindServer(serverId, PgCluster::Get().socketDir(), PgCluster::Get().port(), "postgres",
               "monitored");
  }
  void SetBindingColumn(int32_t serverId, const std::string& assignment) {
    PgCluster::Get().Exec("varo", "UPDATE varo.agent_server_binding SET " + assignment +
                                      " WHERE server_id = " + std::to_string(serverId));
  }

  DBSettings saved;
};

TEST_F(ServerPoolTest, ReleasedConnectionsAreReusedMostRecentFirst) {
  BindMonitored(1201);
  std::string error;
  ServerConnectionLease a = AllocateServerConnection(1201, "monitored", error);
  ASSERT_TRUE(a) << error;
  ServerConnectionLease b = AllocateServerConnection(1201, "monitored", error);
  ASSERT_TRUE(b) << error;
  ASSERT_NE(a.get(), b.get());
  DBConnectionToPostgreSQL* rawA = a.get();
  DBConnectionToPostgreSQL* rawB = b.get();
  std::string pidA = BackendPid(a.get());
  std::string pidB = BackendPid(b.get());
  EXPECT_NE(pidA, pidB);
  EXPECT_EQ(ScalarOf(a.get(), "SELECT current_setting('application_name')"),
            "Corvane - Agent Monitoring");
  EXPECT_EQ(ScalarOf(a.get(), "SELECT current_setting('client_encoding')"), "UTF8");

  a.Release();
  b.Release();
  ServerConnectionLease c = AllocateServerConnection(1201, "monitored", error);
  ASSERT_EQ(c.get(), rawB);
  EXPECT_EQ(BackendPid(c.get()), pidB);
  // Another database of the same server needs its own connection.
  ServerConnectionLease d = AllocateServerConnection(1201, "postgres", error);
  ASSERT_TRUE(d) << error;
  EXPECT_NE(d.get(), rawA);
  EXPECT_EQ(ScalarOf(d.get(), "SELECT current_database()"), "postgres");
  c.Release();
  d.Release();
  ReapIdleServerConnections();
  EXPECT_TRUE(BackendsGone({pidA, pidB}));
}

TEST_F(ServerPoolTest, EmptyDatabaseNameUsesTheBindingAndIsNeverReused) {
  BindMonitored(1202);
  std::string error;
  ServerConnectionLease a = AllocateServerConnection(1202, "", error);
  ASSERT_TRUE(a) << error;
  EXPECT_EQ(ScalarOf(a.get(), "SELECT current_database()"), "monitored");
  std::string pidA = BackendPid(a.get());
  a.Release();

  ServerConnectionLease b = AllocateServerConnection(1202, "", error);
  ASSERT_TRUE(b) << error;
  EXPECT_NE(BackendPid(b.get()), pidA);
  std::string pidB = BackendPid(b.get());
  DBConnectionToPostgreSQL* rawB = b.get();
  b.Release();
  EXPECT_EQ(IdleServerConnectionCount(), 2u);

  // The node holds the effective name, so a request naming it does reuse it.
  ServerConnectionLease c = AllocateServerConnection(1202, "monitored", error);
  EXPECT_EQ(c.get(), rawB);
  c.Release();

  ReapIdleServerConnections();
  EXPECT_EQ(IdleServerConnectionCount(), 0u);
  EXPECT_TRUE(BackendsGone({pidA, pidB}));
}

TEST_F(ServerPoolTest, ReapingLeavesConnectionsInUseAlone) {
  BindMonitored(1203);
  std::string error;
  ServerConnectionLease busy = AllocateServerConnection(1203, "monitored", error);
  ASSERT_TRUE(busy) << error;
  ServerConnectionLease idle = AllocateServerConnection(1203, "monitored", error);
  ASSERT_TRUE(idle) << error;
  idle.Release();
  ReapIdleServerConnections();
  EXPECT_EQ(ScalarOf(busy.get(), "SELECT 42"), "42");
  EXPECT_EQ(InUseServerConnectionCount(), 1u);
  busy.Release();
}

TEST_F(ServerPoolTest, ReleasingTwiceOrAnEmptyLeaseChangesNothing) {
  BindMonitored(1204);
  std::string error;
  ServerConnectionLease a = AllocateServerConnection(1204, "monitored", error);
  ASSERT_TRUE(a) << error;
  DBConnectionToPostgreSQL* rawA = a.get();
  size_t inUse = InUseServerConnectionCount();
  size_t idle = IdleServerConnectionCount();
  a.Release();
  EXPECT_FALSE(a);
  EXPECT_EQ(InUseServerConnectionCount(), inUse - 1);
  EXPECT_EQ(IdleServerConnectionCount(), idle + 1);
  a.Release();
  EXPECT_EQ(InUseServerConnectionCount(), inUse - 1);
  EXPECT_EQ(IdleServerConnectionCount(), idle + 1);

  // An empty lease and a moved-from one give nothing back.
  ServerConnectionLease empty;
  empty.Release();
  empty.Discard();
  EXPECT_EQ(InUseServerConnectionCount(), inUse - 1);
  EXPECT_EQ(IdleServerConnectionCount(), idle + 1);
  // Still handed out once only.
  ServerConnectionLease again = AllocateServerConnection(1204, "monitored", error);
  EXPECT_EQ(again.get(), rawA);
  ServerConnectionLease moved = std::move(again);
  EXPECT_FALSE(again);
  again.Release();
  EXPECT_EQ(InUseServerConnectionCount(), inUse);
  ServerConnectionLease second = AllocateServerConnection(1204, "monitored", error);
  EXPECT_NE(second.get(), rawA);
  {
    // Going out of scope gives the connection back.
    ServerConnectionLease scoped = std::move(second);
  }
  EXPECT_EQ(InUseServerConnectionCount(), inUse);
  moved.Release();
  EXPECT_EQ(InUseServerConnectionCount(), inUse - 1);
  EXPECT_EQ(IdleServerConnectionCount(), idle + 2);
}

TEST_F(ServerPoolTest, ServerBoundAfterTheLastLoadIsFoundAtOnce) {
  BindMonitored(1205);
  std::vector<int32_t> ids;
  std::vector<std::string> databases;
  ASSERT_TRUE(ListServerBindings(ids, databases));  // loads the cache
  BindMonitored(1206);
  std::string error;
  ServerConnectionLease c = AllocateServerConnection(1206, "monitored", error);
  ASSERT_TRUE(c) << error;
  c.Release();

  error.clear();
  EXPECT_FALSE(AllocateServerConnection(1299, "monitored", error));
  EXPECT_EQ(error, "asb cache miss for server 1299");
}

TEST_F(ServerPoolTest, ListServerBindingsGivesEveryBindingOfThisAgent) {
  BindMonitored(1207);
  BindServer(1208, PgCluster::Get().socketDir(), PgCluster::Get().port(), "postgres", "postgres");
  std::vector<int32_t> ids = {-1};
  std::vector<std::string> databases = {"kept"};
  std::string error;
  ASSERT_TRUE(ListServerBindings(ids, databases, &error)) << error;
  ASSERT_EQ(ids.size(), databases.size());
  EXPECT_EQ(ids[0], -1);  // appended, not replaced
  EXPECT_EQ(databases[0], "kept");
  bool saw1207 = false, saw1208 = false;
  for (size_t i = 1; i < ids.size(); ++i) {
    if (ids[i] == 1207) saw1207 = databases[i] == "monitored";
    if (ids[i] == 1208) saw1208 = databases[i] == "postgres";
  }
  EXPECT_TRUE(saw1207);
  EXPECT_TRUE(saw1208);
}

TEST_F(ServerPoolTest, IsLocalServerLooksAtTheCachedHost) {
  BindMonitored(1209);
  BindMonitored(1210);
  BindMonitored(1211);
  BindMonitored(1212);
  SetBindingColumn(1210, "server = ''");
  SetBindingColumn(1211, "server = 'db1.example.com'");
  SetBindingColumn(1212, "server = '127.0.0.1'");
  EXPECT_FALSE(IsLocalServer(1209));  // nothing loaded yet: no row known
  std::vector<int32_t> ids;
  std::vector<std::string> databases;
  ASSERT_TRUE(ListServerBindings(ids, databases));
  EXPECT_TRUE(IsLocalServer(1209));   // socket directory
  EXPECT_TRUE(IsLocalServer(1210));   // empty
  EXPECT_FALSE(IsLocalServer(1211));  // host name
  EXPECT_FALSE(IsLocalServer(1212));  // address
  EXPECT_FALSE(IsLocalServer(1298));  // not bound
}

TEST_F(ServerPoolTest, SslmodeAndConnectTimeoutKeywords) {
  BindMonitored(1213);
  SetBindingColumn(1213, "sslmode = ''");
  // The environment's defaults must not be what the test sees.
  EnvGuard sslMode("PGSSLMODE", "disable");
  EnvGuard connectTimeout("PGCONNECT_TIMEOUT", std::nullopt);
  std::string error;
  ServerConnectionLease c = AllocateServerConnection(1213, "monitored", error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(ConnOption(c.get(), "sslmode"), "prefer");
  // A setting of 0 does not mean waiting for ever: the default bound applies.
  EXPECT_EQ(ConnOption(c.get(), "connect_timeout"), "10");
  EXPECT_EQ(ConnOption(c.get(), "keepalives"), "1");
  EXPECT_EQ(ConnOption(c.get(), "tcp_user_timeout"), "60000");
  c.Release();
  ReapIdleServerConnections();

  GetDBSettings().connect_timeout = 7;
  SetBindingColumn(1213, "sslmode = 'disable'");
  sslMode.Set(std::nullopt);
  ClearServerBindingCache();
  c = AllocateServerConnection(1213, "monitored", error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(ConnOption(c.get(), "sslmode"), "disable");
  EXPECT_EQ(ConnOption(c.get(), "connect_timeout"), "7");
  c.Release();
}

TEST_F(ServerPoolTest, RefusedConnectionGivesTheServerAndDatabase) {
  BindMonitored(1214);
  std::string error;
  EXPECT_FALSE(AllocateServerConnection(1214, "no_such_db", error));
  EXPECT_EQ(error.rfind("unable to connect to server 1214 dbname no_such_db: ", 0), 0u) << error;
  EXPECT_NE(error.find("no_such_db"), std::string::npos);
  EXPECT_EQ(IdleServerConnectionCount() + InUseServerConnectionCount(), 0u);
}

TEST_F(ServerPoolTest, StoredPasswordLogsInToAProtectedServer) {
  PgCluster& pg = PgCluster::Get();
  const std::string password = "pä55 wörd'\"";
  pg.Exec("postgres",
          "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'varo_pw_user') "
          "THEN CREATE ROLE varo_pw_user LOGIN; END IF; END $$");
  pg.Exec("postgres",
          "SET password_encryption = 'scram-sha-256'; "
          "ALTER ROLE varo_pw_user PASSWORD 'pä55 wörd''\"'");
  pg.AddHbaLineFirst("local all varo_pw_user scram-sha-256");
  BindServer(1215, pg.socketDir(), pg.port(), "varo_pw_user", "monitored", password);

  std::string error;
  ServerConnectionLease c = AllocateServerConnection(1215, "monitored", error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(ScalarOf(c.get(), "SELECT current_user"), "varo_pw_user");
  EXPECT_EQ(ConnOption(c.get(), "password"), password);
  c.Release();
  ReapIdleServerConnections();

  // Before the schema carried passwords none is passed, and login fails.
  SetCentralSchemaVersion(201109100);
  EXPECT_FALSE(AllocateServerConnection(1215, "monitored", error));
  EXPECT_EQ(error.rfind("unable to connect to server 1215 dbname monitored: ", 0), 0u) << error;
  SetCentralSchemaVersion(201109101);
  c = AllocateServerConnection(1215, "monitored", error);
  ASSERT_TRUE(c) << error;
  c.Release();
  ReapIdleServerConnections();

  // A stored text that does not decrypt is not passed on as a password.
  SetBindingColumn(1215, "password = 'not a stored password'");
  ClearServerBindingCache();
  error.clear();
  EXPECT_FALSE(AllocateServerConnection(1215, "monitored", error));
  EXPECT_NE(error.find("unable to connect to server 1215"), std::string::npos) << error;
}

TEST_F(ServerPoolTest, WithoutCentralConnectionNothingIsAllocated) {
  BindMonitored(1216);
  SetCentralConnection(nullptr);
  ClearServerBindingCache();
  std::string error;
  EXPECT_FALSE(AllocateServerConnection(1216, "monitored", error));
  EXPECT_EQ(error, "");
  std::vector<int32_t> ids;
  std::vector<std::string> databases;
  EXPECT_FALSE(ListServerBindings(ids, databases, &error));
  EXPECT_TRUE(ids.empty());
}

TEST_F(ServerPoolTest, FailingBindingQueryEmptiesTheCache) {
  BindMonitored(1217);
  std::vector<int32_t> ids;
  std::vector<std::string> databases;
  ASSERT_TRUE(ListServerBindings(ids, databases));
  EXPECT_TRUE(IsLocalServer(1217));

  // A central connection to a database without the central schema.
  SetCentralConnection(PgCluster::Get().ConnectDB("monitored"));
  ClearServerBindingCache();
  std::string error;
  EXPECT_FALSE(AllocateServerConnection(1217, "monitored", error));
  EXPECT_EQ(error.rfind("error updating agent_server_binding cache: ", 0), 0u) << error;
  EXPECT_NE(error.find("agent_server_binding"), std::string::npos);
  EXPECT_FALSE(IsLocalServer(1217));
  error.clear();
  EXPECT_FALSE(ListServerBindings(ids, databases, &error));
  EXPECT_FALSE(error.empty());
}

TEST_F(ServerPoolTest, RestartedServerBetweenTwoAllocationsGivesAFreshConnection) {
  BindMonitored(1219);
  std::string error;
  ServerConnectionLease first = AllocateServerConnection(1219, "monitored", error);
  ASSERT_TRUE(first) << error;
  const std::string oldPid = BackendPid(first.get());
  first.Release();
  ASSERT_EQ(IdleServerConnectionCount(), 1u);

  PgCluster::Get().Stop();
  PgCluster::Get().Start();

  // The idle connection's server went away: it is closed, not handed out, and
  // the next statement works at once.
  ServerConnectionLease second = AllocateServerConnection(1219, "monitored", error);
  ASSERT_TRUE(second) << error;
  EXPECT_EQ(ScalarOf(second.get(), "SELECT 7"), "7");
  EXPECT_NE(BackendPid(second.get()), oldPid);
  EXPECT_EQ(IdleServerConnectionCount(), 0u);
  second.Release();

  // The central connection went with the restart; the fixture's is replaced.
  std::unique_ptr<DBConnection> central;
  ConnectToVARO(central, true);
  ASSERT_NE(central, nullptr);
  SetCentralConnection(std::move(central));
}

TEST_F(ServerPoolTest, ConnectionLeftInATransactionOrTerminatedIsNotReused) {
  BindMonitored(1220);
  std::string error;
  ServerConnectionLease lease = AllocateServerConnection(1220, "monitored", error);
  ASSERT_TRUE(lease) << error;
  const std::string inTransaction = BackendPid(lease.get());
  ASSERT_TRUE(lease->ExecuteQuery("BEGIN")->IsOk());
  lease.Release();  // a statement began a transaction and did not end it
  EXPECT_EQ(IdleServerConnectionCount(), 0u);
  EXPECT_TRUE(BackendsGone({inTransaction}));

  lease = AllocateServerConnection(1220, "monitored", error);
  ASSERT_TRUE(lease) << error;
  EXPECT_EQ(ScalarOf(lease.get(), "SELECT pg_current_xact_id_if_assigned() IS NULL"), "t");
  const std::string terminated = BackendPid(lease.get());
  lease.Release();
  ASSERT_EQ(IdleServerConnectionCount(), 1u);
  PgCluster::Get().Exec("postgres", "SELECT pg_terminate_backend(" + terminated + ")");
  ASSERT_TRUE(BackendsGone({terminated}));

  lease = AllocateServerConnection(1220, "monitored", error);
  ASSERT_TRUE(lease) << error;
  EXPECT_NE(BackendPid(lease.get()), terminated);
  EXPECT_EQ(ScalarOf(lease.get(), "SELECT 8"), "8");
  EXPECT_EQ(IdleServerConnectionCount(), 0u);

  // A lease given up on purpose closes its connection.
  const std::string discarded = BackendPid(lease.get());
  lease.Discard();
  EXPECT_FALSE(lease);
  EXPECT_EQ(IdleServerConnectionCount() + InUseServerConnectionCount(), 0u);
  EXPECT_TRUE(BackendsGone({discarded}));
}

TEST_F(ServerPoolTest, ThreadsShareThePoolSafely) {
  BindMonitored(1218);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures] {
      for (int i = 0; i < 10; ++i) {
        std::string error;
        ServerConnectionLease c = AllocateServerConnection(1218, "monitored", error);
        if (!c) {
          ++failures;
          continue;
        }
        auto rs = c->ExecuteQuery("SELECT 1");
        if (!rs->IsOk()) ++failures;
        c.Release();
        if (i % 3 == 0) ReapIdleServerConnections();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(InUseServerConnectionCount(), 0u);
}

}  // namespace
