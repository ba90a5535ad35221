// The log collection tasks on log files written here, stored into the central
// schema of the test cluster: where a run resumes, how batches are cut, what
// happens to unfinished records, renamed, replaced, truncated and removed
// files, and what is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "db/db_connection_with_mutex.h"
#include "support/global_state.h"
#include "support/pg_cluster.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "work/internal_task.h"
#include "work/log_file_collector.h"

namespace fs = std::filesystem;

namespace {

std::string Sql(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

// One csvlog record as PostgreSQL 12 writes it (23 fields); `message` is
// written quoted.
std::string Record(const std::string& id, const std::string& message = "statement") {
  std::string quoted;
  for (char c : message) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return "2024-05-01 08:00:00.000 UTC,\"app\",\"shop\",4242,\"10.0.0.1:5000\",66321a.10," + id +
         ",\"SELECT\",2024-05-01 07:59:00 UTC,3/17,0,LOG,00000,\"" + quoted +
         "\",,,,,,,,,\"psql\"\n";
}

std::string Records(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += Record(std::to_string(i));
  return text;
}

void Write(const fs::path& path, const std::string& text, bool append = false) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << text;
}

class LogFileCollectorTest : public ::testing::Test {
 protected:
  static constexpr int32_t kServer = 1811;

  void SetUp() override {
    central = std::make_unique<DBConnectionWithMutex>(PgCluster::Get().ConnectDB("varo"));
    Sql("INSERT INTO varo.server (id) VALUES (1811) ON CONFLICT DO NOTHING");
    Sql("INSERT INTO varo.log_configuration (server_id) VALUES (1811) ON CONFLICT DO NOTHING");
    Sql("INSERT INTO varo.audit_configuration (server_id) VALUES (1811) ON CONFLICT DO NOTHING");
    Sql("DELETE FROM varodata.server_logs WHERE server_id = 1811");
    Sql("DELETE FROM varodata.audit_logs WHERE server_id = 1811");
    Sql("UPDATE varo.log_configuration SET (log_directory, last_read_filename, file_offset, "
        "last_read_device, last_read_inode) = ('log', '', 0, 0, 0) WHERE server_id = 1811");
    Sql("UPDATE varo.audit_configuration SET (azu_audit_directory, last_read_filename, "
        "file_offset, last_read_device, last_read_inode) = ('audit', '', 0, 0, 0) WHERE "
        "server_id = 1811");
    logDir = data.path() / "log";
    fs::create_directories(logDir);
    SetLogLevel(LOG_WARNING);
  }

  // Runs the server log import (or the audit collection); true when it succeeded.
  bool Import(LogKind kind = LogKind::kServer, int32_t version = 10900, size_t cap = 64u << 20) {
    LogFileCollector collector(*central, kind, cap);
    message.clear();
    return collector.Run(data.str() + " " + std::to_string(kServer) + " " + std::to_string(version),
                         &message);
  }

  std::string Position() {
    return Sql(
        "SELECT last_read_filename || ',' || file_offset FROM varo.log_configuration "
        "WHERE server_id = 1811");
  }
  // The session_line_num values stored, in order, as "a b c".
  std::string Stored(const char* table = "varodata.server_logs") {
    return Sql(std::string("SELECT coalesce(string_agg(session_line_num::text, ' ' ORDER BY id), "
                           "'') FROM ") +
               table + " WHERE server_id = 1811");
  }
  std::string Path(const std::string& name) { return (logDir / name).string(); }

  LogLevelGuard level;
  TempDir data;
  fs::path logDir;
  std::unique_ptr<DBConnectionWithMutex> central;
  std::string message;
};

TEST_F(LogFileCollectorTest, ResumesInTheStoredFileAndGoesOnWithTheNewerOnes) {
  Write(logDir / "a.csv", Records(1, 3));
  Write(logDir / "b.csv", Records(3, 6));
  Write(logDir / "c.csv", Records(6, 8));
  // b.csv was read up to its first record.
  Sql("UPDATE varo.log_configuration SET (last_read_filename, file_offset) = ('" + Path("b.csv") +
      "', " + std::to_string(Record("3").size()) + ") WHERE server_id = 1811");
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "4 5 6 7");
  EXPECT_EQ(Position(), Path("c.csv") + "," + std::to_string(Records(6, 8).size()));
  // The end of b.csv was stored as -1 with its last batch.
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.server_logs WHERE server_id = 1811"), "4");

  // Nothing new: nothing stored. New records: only they.
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "4 5 6 7");
  Write(logDir / "c.csv", Records(8, 9), true);
  Write(logDir / "d.csv", Records(9, 10));
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "4 5 6 7 8 9");

  // A stored -1 goes on with the next file.
  Sql("DELETE FROM varodata.server_logs WHERE server_id = 1811");
  Sql("UPDATE varo.log_configuration SET (last_read_filename, file_offset, last_read_device, "
      "last_read_inode) = ('" +
      Path("c.csv") + "', -1, 0, 0) WHERE server_id = 1811");
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "9");
}

TEST_F(LogFileCollectorTest, StoresAtMost128RecordsPerTransaction) {
  Write(logDir / "a.csv", Records(0, 300));
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Sql("SELECT string_agg(n::text, ',' ORDER BY first) FROM (SELECT min(id) AS first, "
                "count(*) AS n FROM varodata.server_logs WHERE server_id = 1811 GROUP BY "
                "xmin::text) batches"),
            "128,128,44");
  EXPECT_EQ(Sql("SELECT count(DISTINCT session_line_num) FROM varodata.server_logs WHERE "
                "server_id = 1811"),
            "300");

  // Long records make shorter batches: a batch holds about the cap in bytes.
  Write(logDir / "a.csv", Records(300, 400), true);
  const size_t cap = 3 * Record("300").size();
  ASSERT_TRUE(Import(LogKind::kServer, 10900, cap)) << message;
  EXPECT_EQ(Sql("SELECT max(n) FROM (SELECT count(*) AS n FROM varodata.server_logs WHERE "
                "server_id = 1811 AND session_line_num >= 300 GROUP BY xmin::text) batches"),
            "3");
  EXPECT_EQ(Sql("SELECT count(DISTINCT session_line_num) || ' ' || count(*) FROM "
                "varodata.server_logs WHERE server_id = 1811"),
            "400 400");
}

TEST_F(LogFileCollectorTest, MultiLineAndUnfinishedRecords) {
  const std::string threeLines = Record("1", "first line\nsecond line\nthird line");
  const std::string open = Record("2", "begun\nbut not ended");
  const size_t cut = open.find("not");
  Write(logDir / "a.csv", threeLines + open.substr(0, cut));
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Sql("SELECT message FROM varodata.server_logs WHERE server_id = 1811"),
            "first line\nsecond line\nthird line");
  EXPECT_EQ(Position(), Path("a.csv") + "," + std::to_string(threeLines.size()));
  // The closing quote but no line end yet: still not stored.
  Write(logDir / "a.csv", open.substr(cut, open.size() - cut - 1), true);
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1");
  Write(logDir / "a.csv", "\n", true);
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1 2");
  EXPECT_EQ(Position(), Path("a.csv") + "," + std::to_string(threeLines.size() + open.size()));

  // In a file that is no longer the newest an unfinished end is given up,
  // with a warning that says how much.
  LogCapture log;
  Write(logDir / "a.csv", "\"never closed", true);
  Write(logDir / "b.csv", Records(3, 4));
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1 2 3");
  EXPECT_NE(log.Text().find("its last 13 bytes are lost"), std::string::npos) << log.Text();
}

TEST_F(LogFileCollectorTest, ARecordBeyondTheCapFailsTheRunButDoesNotStallTheImport) {
  // A quote that never closes, and no quote after it to end it.
  Write(logDir / "a.csv",
        Records(1, 2) + "x,\"" + std::string(5000, 'y') + "\n" + std::string(10, 'z') + "\n");
  EXPECT_FALSE(Import(LogKind::kServer, 10900, 1000));
  EXPECT_NE(message.find("longer than 1000 bytes"), std::string::npos) << message;
  EXPECT_EQ(Stored(), "1");
  // The next run goes on after the broken record's first line.
  Write(logDir / "a.csv", Records(2, 3), true);
  ASSERT_TRUE(Import(LogKind::kServer, 10900, 1000)) << message;
  EXPECT_EQ(Stored(), "1 2");
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.server_logs WHERE server_id = 1811 AND "
                "log_time = 'zzzzzzzzzz'"),
            "1");
}

TEST_F(LogFileCollectorTest, AuditFilesAndNothingToDo) {
  fs::create_directories(data.path() / "audit");
  Write(data.path() / "audit" / "audit-1.csv", Records(1, 3));
  Write(data.path() / "audit" / "other.csv", Records(3, 4));
  Write(data.path() / "audit" / "audit-.txt", Records(4, 5));
  ASSERT_TRUE(Import(LogKind::kAudit, 20900)) << message;
  EXPECT_EQ(Stored("varodata.audit_logs"), "1 2");
  EXPECT_EQ(Sql("SELECT string_agg(application_name, ',') FROM varodata.audit_logs WHERE "
                "server_id = 1811"),
            "psql,psql");
  Sql("DELETE FROM varodata.audit_logs WHERE server_id = 1811");
  Sql("UPDATE varo.audit_configuration SET (last_read_filename, file_offset) = ('', 0) WHERE "
      "server_id = 1811");
  ASSERT_TRUE(Import(LogKind::kAudit, 20899)) << message;
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.audit_logs WHERE server_id = 1811 AND "
                "application_name IS NULL"),
            "2");

  // No configuration row, no log directory set, a missing directory: status
  // 0 and nothing read (not the whole data directory).
  Write(data.path() / "stray.csv", Records(1, 2));
  InternalTask noRow("server_log_import " + data.str() + " 1899 10900", 0);
  noRow.Run(*central);
  EXPECT_EQ(noRow.status, 0) << noRow.message;
  Sql("UPDATE varo.log_configuration SET log_directory = '' WHERE server_id = 1811");
  ASSERT_TRUE(Import()) << message;
  Sql("UPDATE varo.log_configuration SET log_directory = 'missing' WHERE server_id = 1811");
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "");

  // Through the job step: an unusable server id fails the task.
  InternalTask bad("server_log_import " + data.str() + " 1811;DROP 10900", 0);
  bad.Run(*central);
  EXPECT_EQ(bad.status, -1);
  EXPECT_NE(bad.message.find("invalid server id"), std::string::npos) << bad.message;
  Sql("UPDATE varo.log_configuration SET log_directory = 'log' WHERE server_id = 1811");
  Write(logDir / "a.csv", Records(1, 2));
  InternalTask good("server_log_import \"" + data.str() + "\" 1811 10900", 0);
  good.Run(*central);
  EXPECT_EQ(good.status, 0) << good.message;
  EXPECT_EQ(Stored(), "1");
}

TEST_F(LogFileCollectorTest, RenamedReplacedTruncatedAndRemovedFiles) {
  LogCapture log;
  Write(logDir / "a.csv", Records(1, 3));
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1 2");

  // Rotated away under another name, a new file under the old one: the rest
  // of the renamed file, then the new one, nothing twice.
  Write(logDir / "a.csv", Records(3, 4), true);
  fs::rename(logDir / "a.csv", logDir / "a.csv.1");
  Write(logDir / "a.csv", Records(4, 6));
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1 2 3 4 5");
  fs::remove(logDir / "a.csv.1");
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1 2 3 4 5");

  // Truncated below the stored position: read again from its start.
  Write(logDir / "a.csv", Records(6, 7));
  log.Take();
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1 2 3 4 5 6");
  EXPECT_NE(log.Take().find("read again from its start"), std::string::npos);

  // Removed before it was read to its end: a warning; older files are not
  // read again, newer ones are.
  Write(logDir / "0-older.csv", Records(90, 91));
  fs::remove(logDir / "a.csv");
  Write(logDir / "b.csv", Records(7, 8));
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1 2 3 4 5 6 7");
  EXPECT_NE(log.Take().find("was removed or replaced before the import saw its end"),
            std::string::npos);
  // Reported once.
  ASSERT_TRUE(Import()) << message;

  // A stored position below -1 (edited by hand): read again from the start.
  EXPECT_EQ(CountOf(log.Take(), "was removed or replaced"), 0);
  Sql("UPDATE varo.log_configuration SET file_offset = -7 WHERE server_id = 1811");
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1 2 3 4 5 6 7 7");
  EXPECT_NE(log.Take().find("read again from its start"), std::string::npos);

  fs::remove(logDir / "b.csv");
  ASSERT_TRUE(Import()) << message;
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(CountOf(log.Take(), "was removed or replaced"), 1);
  EXPECT_EQ(Stored(), "1 2 3 4 5 6 7 7");
}

TEST_F(LogFileCollectorTest, AReadErrorFailsTheRunInsteadOfSkippingTheFile) {
  // A file whose reads fail: a sysfs attribute that answers EINVAL, mounted
  // over an older log file.
  const fs::path source = "/sys/class/net/lo/speed";
  Write(logDir / "a.csv", "");
  Write(logDir / "b.csv", Records(1, 2));
  bool readFails = false;
  if (const int fd = open(source.c_str(), O_RDONLY); fd >= 0) {
    char byte = 0;
    readFails = pread(fd, &byte, 1, 0) < 0;
    close(fd);
  }
  if (geteuid() != 0 || !readFails ||
      mount(source.c_str(), (logDir / "a.csv").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "needs root and a bind mount";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{logDir / "a.csv"};
  LogCapture log;
  EXPECT_FALSE(Import());
  EXPECT_EQ(message, "failed to read the server logs");
  EXPECT_EQ(Stored(), "");
  EXPECT_EQ(Position(), ",0");
  EXPECT_NE(log.Text().find("cannot read log file"), std::string::npos) << log.Text();
}

TEST_F(LogFileCollectorTest, NeverLeavesTheLogDirectoryOrTrustsStrangersFiles) {
  TempDir outside;
  Write(outside.path() / "secret.csv", Records(50, 51));
  fs::create_symlink(outside.path(), logDir / "linked");
  fs::create_symlink(outside.path() / "secret.csv", logDir / "z.csv");
  fs::create_directories(logDir / "sub" / ".hidden");
  Write(logDir / "sub" / ".hidden" / "x.csv", Records(1, 2));
  ASSERT_TRUE(Import()) << message;
  EXPECT_EQ(Stored(), "1");

  if (geteuid() == 0) {
    // In a directory anyone may write to, a file of another user is left out.
    LogCapture log;
    fs::create_directories(logDir / "tmp");
    chmod((logDir / "tmp").c_str(), 01777);
    Write(logDir / "tmp" / "y.csv", Records(2, 3));
    ASSERT_EQ(chown((logDir / "tmp" / "y.csv").c_str(), 65534, 65534), 0);
    // Nor below it, in a directory that other user made there.
    fs::create_directories(logDir / "tmp" / "own");
    Write(logDir / "tmp" / "own" / "w.csv", Records(3, 4));
    ASSERT_EQ(chown((logDir / "tmp" / "own" / "w.csv").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown((logDir / "tmp" / "own").c_str(), 65534, 65534), 0);
    chmod((logDir / "tmp" / "own").c_str(), 0755);
    ASSERT_TRUE(Import()) << message;
    EXPECT_EQ(Stored(), "1");
    EXPECT_NE(log.Text().find("left out"), std::string::npos) << log.Text();
  }
}

}  // namespace
