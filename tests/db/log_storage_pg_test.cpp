// Log storage against the central schema of a real server: what is stored,
// that a batch and its read position are stored together or not at all, and
// that nothing in a log field reaches the statement unquoted.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/db_connection_to_postgresql.h"
#include "db/db_connection_with_mutex.h"
#include "db/log_storage.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/pg_cluster.h"

namespace {

std::string Sql(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

// A record of `count` fields: field i holds "f<i>", the number fields digits.
std::vector<std::string> Record(size_t count = 23) {
  std::vector<std::string> fields;
  for (size_t i = 0; i < count; ++i) {
    const bool number = i == 3 || i == 6 || i == 10 || i == 17 || i == 20;
    fields.push_back(number ? std::to_string(100 + i) : "f" + std::to_string(i));
  }
  return fields;
}

class LogStorageTest : public ::testing::Test {
 protected:
  static constexpr int32_t kServer = 1801;

  void SetUp() override {
    conn = PgCluster::Get().ConnectDB("varo");
    ASSERT_TRUE(conn);
    Sql("INSERT INTO varo.server (id) VALUES (1801) ON CONFLICT DO NOTHING");
    Sql("INSERT INTO varo.log_configuration (server_id) VALUES (1801) ON CONFLICT DO NOTHING");
    Sql("INSERT INTO varo.audit_configuration (server_id) VALUES (1801) ON CONFLICT DO NOTHING");
    Reset();
  }

  void Reset() {
    Sql("DELETE FROM varodata.server_logs WHERE server_id = 1801");
    Sql("DELETE FROM varodata.audit_logs WHERE server_id = 1801");
    Sql("UPDATE varo.log_configuration SET (last_read_filename, file_offset, last_read_device, "
        "last_read_inode) = ('old.csv', 7, 0, 0) WHERE server_id = 1801");
    Sql("UPDATE varo.audit_configuration SET (last_read_filename, file_offset) = ('old.csv', 7) "
        "WHERE server_id = 1801");
  }

  std::string Store(const LogRows& rows, int32_t version = 0, LogKind kind = LogKind::kServer,
                    const LogReadPosition* from = nullptr) {
    LogReadPosition to{"/log/new.csv", 1234, 5, 6};
    return StoreLogBatch(*conn, kind, rows, kServer, from, to, version);
  }

  std::string Position(const char* table = "varo.log_configuration") {
    return Sql(std::string("SELECT concat_ws(',', last_read_filename, file_offset, "
                           "last_read_device, last_read_inode) FROM ") +
               table + " WHERE server_id = 1801");
  }
  std::string Count(const char* table = "varodata.server_logs") {
    return Sql(std::string("SELECT count(*) FROM ") + table + " WHERE server_id = 1801");
  }

  std::unique_ptr<DBConnectionToPostgreSQL> conn;
};

TEST_F(LogStorageTest, VersionCodeChoosesTheColumnList) {
  struct Case {
    LogKind kind;
    int32_t version;
    bool withApplicationName;
  } cases[] = {
      {LogKind::kServer, 0, true},      {LogKind::kServer, 1, false},
      {LogKind::kServer, 10899, false}, {LogKind::kServer, 10900, true},
      {LogKind::kServer, 20000, true},  {LogKind::kServer, 20001, false},
      {LogKind::kServer, 20500, false}, {LogKind::kServer, 20899, false},
      {LogKind::kServer, 20900, true},  {LogKind::kAudit, 0, false},
      {LogKind::kAudit, 10900, false},  {LogKind::kAudit, 20899, false},
      {LogKind::kAudit, 20900, true},
  };
  for (const Case& c : cases) {
    Reset();
    const bool server = c.kind == LogKind::kServer;
    EXPECT_EQ(LogFieldCount(c.kind, c.version), c.withApplicationName ? 23u : 22u);
    ASSERT_EQ(Store({Record()}, c.version, c.kind), "") << c.version;
    const char* table = server ? "varodata.server_logs" : "varodata.audit_logs";
    EXPECT_EQ(
        Sql(std::string("SELECT coalesce(application_name, '<null>') || '/' || location FROM ") +
            table + " WHERE server_id = 1801"),
        c.withApplicationName ? "f22/f21" : "<null>/f21")
        << c.version << (server ? " server" : " audit");
    EXPECT_EQ(Position(server ? "varo.log_configuration" : "varo.audit_configuration"),
              "/log/new.csv,1234,5,6");
  }
}

TEST_F(LogStorageTest, FieldsAreStoredAsWrittenAndNumbersOnlyWhenTheyAreNumbers) {
  LogLevelGuard level;
  SetLogLevel(LOG_WARNING);
  LogCapture log;
  std::vector<std::string> record = Record();
  record[13] = "it's a \\ backslash, a \"quote\"\nand a line";
  record[14] = "bad \xff\xfe utf-8";
  record[3] = "1);DROP TABLE varo.job;--";
  record[6] = "-5";
  record[10] = "+7";
  record[17] = "99999999999";  // beyond an integer column
  record[20] = "";
  std::vector<std::string> longRecord = Record(26);  // as PostgreSQL 14 writes them
  longRecord[25] = "1);DROP TABLE varo.job;--";
  const std::vector<std::string> shortRecord = {"t0", "u1"};
  ASSERT_EQ(Store({record, longRecord, shortRecord}), "");

  EXPECT_EQ(Sql("SELECT to_regclass('varo.job') IS NOT NULL"), "t");
  EXPECT_EQ(Count(), "3");
  EXPECT_EQ(Sql("SELECT message FROM varodata.server_logs WHERE server_id = 1801 AND "
                "log_time = 'f0' ORDER BY id LIMIT 1"),
            record[13]);
  EXPECT_EQ(Sql("SELECT detail FROM varodata.server_logs WHERE server_id = 1801 AND "
                "log_time = 'f0' ORDER BY id LIMIT 1"),
            "bad \xef\xbf\xbd\xef\xbf\xbd utf-8");
  EXPECT_EQ(Sql("SELECT concat_ws(',', coalesce(process_id::text, 'N'), session_line_num, "
                "coalesce(transaction_id::text, 'N'), coalesce(internal_query_pos::text, 'N'), "
                "coalesce(query_pos::text, 'N')) FROM varodata.server_logs WHERE "
                "server_id = 1801 ORDER BY id LIMIT 1"),
            "N,-5,N,N,N");
  // The long record lost its extra fields, the short one got empty ones.
  EXPECT_EQ(Sql("SELECT concat_ws(',', process_id, application_name) FROM varodata.server_logs "
                "WHERE server_id = 1801 ORDER BY id OFFSET 1 LIMIT 1"),
            "103,f22");
  EXPECT_EQ(Sql("SELECT concat_ws('|', log_time, user_name, database_name, "
                "coalesce(process_id::text, 'N'), message, application_name) FROM "
                "varodata.server_logs WHERE server_id = 1801 ORDER BY id OFFSET 2 LIMIT 1"),
            "t0|u1||N||");
  const std::string warnings = log.Text();
  EXPECT_NE(warnings.find("process_id"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("transaction_id"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("internal_query_pos"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("fewer than 23"), std::string::npos) << warnings;
}

TEST_F(LogStorageTest, AFailedBatchStoresNeitherRowsNorPosition) {
  LogLevelGuard level;
  SetLogLevel(LOG_WARNING);
  LogCapture log;
  // No position row: the rows would be imported again and again.
  EXPECT_NE(StoreLogBatch(*conn, LogKind::kServer, {Record()}, 1802, nullptr,
                          LogReadPosition{"x.csv", 1, 0, 0}, 0),
            "");
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.server_logs WHERE server_id = 1802"), "0");

  // A position moved by another import meanwhile.
  LogReadPosition from{"other.csv", 7, 0, 0};
  EXPECT_NE(Store({Record()}, 0, LogKind::kServer, &from).find("another import"),
            std::string::npos);
  EXPECT_EQ(Count(), "0");
  EXPECT_EQ(Position(), "old.csv,7,0,0");
  from.fileName = "old.csv";
  EXPECT_EQ(Store({Record()}, 0, LogKind::kServer, &from), "");
  EXPECT_EQ(Count(), "1");
  Reset();

  // A COMMIT that fails (a deferred check) is a failure, not a success.
  Sql("CREATE OR REPLACE FUNCTION pg_temp_fail_at_commit() RETURNS trigger LANGUAGE plpgsql AS "
      "$$BEGIN IF NEW.message = 'fail at commit' THEN RAISE EXCEPTION 'refused at commit'; END IF; "
      "RETURN NULL; END$$");
  Sql("CREATE CONSTRAINT TRIGGER fail_at_commit AFTER INSERT ON varodata.server_logs "
      "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION pg_temp_fail_at_commit()");
  std::vector<std::string> failing = Record();
  failing[13] = "fail at commit";
  const std::string error = Store({Record(), failing});
  Sql("DROP TRIGGER fail_at_commit ON varodata.server_logs");
  Sql("DROP FUNCTION pg_temp_fail_at_commit()");
  EXPECT_NE(error.find("refused at commit"), std::string::npos) << error;
  EXPECT_EQ(Count(), "0");
  EXPECT_EQ(Position(), "old.csv,7,0,0");

  // A transaction already open: BEGIN would only warn and the batch would
  // become part of it.
  ASSERT_TRUE(conn->ExecuteQuery("BEGIN")->IsOk());
  EXPECT_NE(Store({Record()}).find("already open"), std::string::npos);
  ASSERT_TRUE(conn->ExecuteQuery("ROLLBACK")->IsOk());
  EXPECT_EQ(Count(), "0");
  EXPECT_NE(log.Text().find("syncServerLogData error: "), std::string::npos);

  // Afterwards the connection stores again.
  EXPECT_EQ(Store({Record()}), "");
  EXPECT_EQ(Count(), "1");

  // Full batches use a prepared statement; one dropped behind the storage's
  // back fails one batch, and the next prepares it again.
  Reset();
  const LogRows full(kLogBatchRecords, Record());
  EXPECT_EQ(Store(full), "");
  ASSERT_TRUE(conn->ExecuteQuery("DEALLOCATE ALL")->IsOk());
  EXPECT_NE(Store(full), "");
  EXPECT_EQ(Store(full), "");
  EXPECT_EQ(Count(), std::to_string(2 * kLogBatchRecords));
}

TEST_F(LogStorageTest, TheDesignOperationsKeepTheirContract) {
  DBConnectionWithMutex shared(PgCluster::Get().ConnectDB("varo"));
  EXPECT_EQ(shared.syncServerLogData({}, "a.csv", "1801", 5, 0), "");
  EXPECT_EQ(Position(), "old.csv,7,0,0");  // no rows: the position stays
  EXPECT_NE(shared.syncServerLogData({Record()}, "a.csv", "1801 OR true", 5, 0), "");
  EXPECT_EQ(shared.syncAuditLogData({Record(), Record()}, "b.csv", "1801", 9, 20900), "");
  EXPECT_EQ(Count("varodata.audit_logs"), "2");
  EXPECT_EQ(Position("varo.audit_configuration"), "b.csv,9,0,0");
  // The free function finds the PostgreSQL connection inside the wrapper.
  EXPECT_EQ(StoreLogBatch(shared, LogKind::kServer, {Record()}, kServer, nullptr,
                          LogReadPosition{"c.csv", 3, 1, 2}, 0),
            "");
  EXPECT_EQ(Position(), "c.csv,3,1,2");
}

TEST_F(LogStorageTest, AnAgentStoresForItsOwnServersOnly) {
  central_test::EnsureAgent12();
  const PgCluster& cluster = PgCluster::Get();
  central_test::BindServer(1803, cluster.socketDir(), cluster.port(), "postgres", "monitored");
  Sql("DELETE FROM varodata.server_logs WHERE server_id = 1803");
  std::unique_ptr<DBConnectionToPostgreSQL> agent = cluster.ConnectDB("varo", "agent12");
  ASSERT_TRUE(agent);
  EXPECT_EQ(StoreLogBatch(*agent, LogKind::kServer, {Record()}, 1803, nullptr,
                          LogReadPosition{"own.csv", 3, 1, 2}, 0),
            "");
  EXPECT_EQ(Sql("SELECT concat_ws(',', last_read_filename, file_offset, last_read_device, "
                "last_read_inode) FROM varo.log_configuration WHERE server_id = 1803"),
            "own.csv,3,1,2");
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.server_logs WHERE server_id = 1803"), "1");
  // Server 1801 is not bound to agent 12.
  EXPECT_NE(StoreLogBatch(*agent, LogKind::kServer, {Record()}, kServer, nullptr,
                          LogReadPosition{"theirs.csv", 3, 1, 2}, 0),
            "");
  EXPECT_EQ(Count(), "0");
  EXPECT_EQ(Position(), "old.csv,7,0,0");
}

}  // namespace
