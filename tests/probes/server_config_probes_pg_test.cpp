// The server configuration probes against the test cluster, as agent 12 with
// its row-level security: pg_hba.conf read from the local file and through
// the server, the log settings by version code, the audit settings of a server
// without them, and an unreachable server, which fails every probe and keeps
// what was stored.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "db/central_connection.h"
#include "db/server_info.h"
#include "db/server_pool.h"
#include "probes/internal_probe.h"
#include "probes/ipt_log_configuration.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"

namespace {

constexpr int32_t kLocalServer = 1701;   // bound to the socket directory
constexpr int32_t kRemoteServer = 1702;  // bound to 127.0.0.1
constexpr int32_t kDeadServer = 1703;    // bound to a port nothing listens on

std::string Central(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class ServerConfigProbesTest : public testing::Test {
 protected:
  void SetUp() override {
    central_test::EnsureAgent12();
    central_test::UseClusterSettings();
    central_test::BindServer(kLocalServer, PgCluster::Get().socketDir(), PgCluster::Get().port(),
                             "postgres", "monitored");
    central_test::BindServer(kRemoteServer, "127.0.0.1", PgCluster::Get().port(), "postgres",
                             "monitored");
    central_test::BindServer(kDeadServer, "127.0.0.1", 1, "postgres", "monitored");
    ASSERT_FALSE(central_test::ConnectCentral().empty());
  }
  void TearDown() override { central_test::DisconnectCentral(); }

  std::unique_ptr<ResultSet> Collect(const std::string& code, int32_t serverId) {
    std::unique_ptr<InternalProbe> probe = CreateInternalProbeCollector(code, serverId, "");
    EXPECT_TRUE(probe) << code;
    if (!probe) return nullptr;
    return probe->CollectResults();
  }

  // Stores `rows` as the probe task does; the error text.
  std::string Store(const ResultSet& rows, const std::string& table,
                    const std::vector<std::string>& keys, int32_t serverId) {
    return GetCentralConnection()->SyncToDB(rows, "varodata." + table, keys, {"server_id"},
                                            {std::to_string(serverId)});
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
};

std::vector<std::string> Row(const ResultSet& rows, int32_t row) {
  std::vector<std::string> values;
  for (size_t i = 0; i < rows.columnNames.size(); ++i) {
    values.push_back(rows.GetValueByIndex(row, static_cast<int32_t>(i)));
  }
  return values;
}

TEST_F(ServerConfigProbesTest, HbaRowsAreTheSameFromTheFileAndThroughTheServer) {
  // The line number of the cluster's first local line, counted here.
  std::ifstream file(PgCluster::Get().dataDir() + "/pg_hba.conf");
  int64_t localLine = 0;
  int64_t number = 0;
  for (std::string line; std::getline(file, line);) {
    ++number;
    if (localLine == 0 && line.rfind("local", 0) == 0) localLine = number;
  }
  ASSERT_GT(localLine, 0);

  std::unique_ptr<ResultSet> local = Collect("pg_hba_conf", kLocalServer);
  std::unique_ptr<ResultSet> remote = Collect("pg_hba_conf", kRemoteServer);
  ASSERT_TRUE(local->IsOk()) << local->GetErrorMessage();
  ASSERT_TRUE(remote->IsOk()) << remote->GetErrorMessage();
  EXPECT_EQ(local->columnNames, (std::vector<std::string>{"line_num", "type", "database", "user",
                                                          "cidr_addr", "method", "options"}));
  ASSERT_GT(local->GetRowCount(), 0u);
  ASSERT_EQ(local->GetRowCount(), remote->GetRowCount());
  for (uint32_t i = 0; i < local->GetRowCount(); ++i) {
    EXPECT_EQ(Row(*local, i), Row(*remote, i));
  }
  bool found = false;
  for (uint32_t i = 0; i < local->GetRowCount(); ++i) {
    if (local->GetValueByIndex(i, 0) == std::to_string(localLine)) {
      found = true;
      EXPECT_EQ(Row(*local, i), (std::vector<std::string>{std::to_string(localLine), "local", "all",
                                                          "all", "", "trust", ""}));
    }
  }
  EXPECT_TRUE(found);

  // Stored by the agent's own role into its server's rows.
  ASSERT_EQ(Store(*local, "pg_hba_conf", {"line_num"}, kLocalServer), "");
  EXPECT_EQ(Central("SELECT count(*) FROM varodata.pg_hba_conf WHERE server_id = " +
                    std::to_string(kLocalServer)),
            std::to_string(local->GetRowCount()));
  EXPECT_EQ(Central("SELECT type || '/' || method || '/' || cidr_addr FROM varodata.pg_hba_conf "
                    "WHERE server_id = " +
                    std::to_string(kLocalServer) + " AND line_num = " + std::to_string(localLine)),
            "local/trust/");
}

TEST_F(ServerConfigProbesTest, AnUnreachableServerFailsEveryProbeAndKeepsTheStoredRows) {
  const std::string id = std::to_string(kDeadServer);
  Central("DELETE FROM varodata.log_configuration WHERE server_id = " + id);
  Central("INSERT INTO varodata.log_configuration (server_id, log_destination) VALUES (" + id +
          ", 'stderr')");
  for (const std::string code : {"pg_hba_conf", "log_configuration", "audit_configuration"}) {
    std::unique_ptr<ResultSet> rows = Collect(code, kDeadServer);
    EXPECT_FALSE(rows->IsOk()) << code;
    EXPECT_NE(rows->GetErrorMessage().find("unable to connect to server " + id), std::string::npos)
        << code << ": " << rows->GetErrorMessage();
  }
  EXPECT_EQ(
      Central("SELECT log_destination FROM varodata.log_configuration WHERE server_id = " + id),
      "stderr");
}

TEST_F(ServerConfigProbesTest, TheConnectionRecordsTheServersVersionCode) {
  ForgetRecordedServerVersions();
  Central("DELETE FROM varodata.server_info WHERE server_id = " + std::to_string(kLocalServer));
  ReapIdleServerConnections();
  std::string error;
  { ServerConnectionLease lease = AllocateServerConnection(kLocalServer, "", error); }
  const std::string number = PgCluster::Get().Exec("monitored", "SHOW server_version_num");
  const int32_t expected = ServerVersionCode(std::stoi(number), false);
  EXPECT_GE(expected, 11000);
  EXPECT_EQ(Central("SELECT server_version_id || ' ' || (server_version LIKE 'PostgreSQL %') FROM "
                    "varodata.server_info WHERE server_id = " +
                    std::to_string(kLocalServer)),
            std::to_string(expected) + " true");
}

TEST_F(ServerConfigProbesTest, AFailedVersionStoreIsLoggedOnceAndTheConnectionStillServes) {
  LogLevelGuard level;
  SetLogLevel(LOG_WARNING);
  LogCapture log;
  ForgetRecordedServerVersions();
  ReapIdleServerConnections();
  Central("ALTER TABLE varodata.server_info RENAME TO server_info_away");
  struct PutBack {
    ~PutBack() { Central("ALTER TABLE varodata.server_info_away RENAME TO server_info"); }
  } putBack;
  for (int pass = 0; pass < 2; ++pass) {
    std::string error;
    ServerConnectionLease lease = AllocateServerConnection(kLocalServer, "", error);
    ASSERT_TRUE(lease) << error;
    EXPECT_TRUE(lease->ExecuteQuery("SELECT 1")->IsOk());
    lease.Release();
    ReapIdleServerConnections();
  }
  const std::string text = log.Take();
  EXPECT_EQ(CountOf(text, "could not record the version code of server 1701"), 1) << text;
  ForgetRecordedServerVersions();
}

TEST_F(ServerConfigProbesTest, LogSettingsFollowTheVersionCodeBoundaries) {
  const std::string id = std::to_string(kLocalServer);
  // A first run records the server's own code; the rows below then stay as set.
  ASSERT_TRUE(Collect("log_configuration", kLocalServer)->IsOk());
  struct Case {
    const char* code;  // nullptr: no server_info row
    bool silentMode;   // the row has log_silent_mode (which this server lacks)
  };
  const Case cases[] = {
      {"10901", true}, {"10902", false}, {"1", true},  {"20000", false}, {"20001", true},
      {"20901", true}, {"20902", false}, {"0", false}, {"-1", false},    {nullptr, false},
  };
  for (const Case& c : cases) {
    Central("DELETE FROM varodata.server_info WHERE server_id = " + id);
    if (c.code) {
      Central("INSERT INTO varodata.server_info (server_id, server_version_id) VALUES (" + id +
              ", " + c.code + ")");
    }
    EXPECT_EQ(LogConfigurationStatements(c.silentMode).size(), c.silentMode ? 27u : 26u);
    std::unique_ptr<ResultSet> rows = Collect("log_configuration", kLocalServer);
    const char* shown = c.code ? c.code : "none";
    if (c.silentMode) {
      // Asked for, and this server has no such setting.
      EXPECT_FALSE(rows->IsOk()) << shown;
      EXPECT_NE(rows->GetErrorMessage().find("silent_mode"), std::string::npos)
          << shown << ": " << rows->GetErrorMessage();
      continue;
    }
    ASSERT_TRUE(rows->IsOk()) << shown << ": " << rows->GetErrorMessage();
    ASSERT_EQ(rows->GetRowCount(), 1u) << shown;
    EXPECT_EQ(rows->columnNames.size(), 26u) << shown;
    EXPECT_EQ(rows->GetValueByName(0, "log_syslog_facility"), "none");
    EXPECT_EQ(rows->GetValueByName(0, "log_syslog_ident"), "NA");
  }
  Central("DELETE FROM varodata.server_info WHERE server_id = " + id);
}

TEST_F(ServerConfigProbesTest, LogSettingsAreConvertedAndStored) {
  PgCluster::Get().AddConf("log_rotation_size = 10240");
  PgCluster::Get().AddConf("log_rotation_age = 1440");
  std::unique_ptr<ResultSet> rows = Collect("log_configuration", kLocalServer);
  ASSERT_TRUE(rows->IsOk()) << rows->GetErrorMessage();
  EXPECT_EQ(rows->GetValueByName(0, "log_rotation_size"), "10");
  EXPECT_EQ(rows->GetValueByName(0, "log_rotation_time"), "1");
  EXPECT_EQ(rows->GetValueByName(0, "log_collector"),
            PgCluster::Get().Exec("monitored", "SHOW logging_collector"));
  EXPECT_EQ(rows->GetValueByName(0, "log_prefix_string"),
            PgCluster::Get().Exec("monitored", "SHOW log_line_prefix"));
  ASSERT_EQ(Store(*rows, "log_configuration", {}, kLocalServer), "");
  EXPECT_EQ(Central("SELECT log_rotation_size || ' ' || log_rotation_time || ' ' || "
                    "(log_silent_mode IS NULL) FROM varodata.log_configuration WHERE server_id = " +
                    std::to_string(kLocalServer)),
            "10 1 true");
}

TEST_F(ServerConfigProbesTest, AServerWithoutAuditSettingsFailsTheAuditProbe) {
  std::unique_ptr<ResultSet> rows = Collect("audit_configuration", kLocalServer);
  EXPECT_FALSE(rows->IsOk());
  EXPECT_NE(rows->GetErrorMessage().find("azu_audit"), std::string::npos)
      << rows->GetErrorMessage();
  // The connection went back to the pool.
  EXPECT_EQ(InUseServerConnectionCount(), 0u);
}

}  // namespace
