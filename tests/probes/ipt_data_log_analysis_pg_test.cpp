// The data and log directory probe against the test cluster, which is the
// central database and, as database "monitored", the monitored server whose
// data directory the agent reads on its own host. Tablespaces are made in
// directories of their own, one on /dev/shm (another file system here), and
// the WAL directory is moved to /dev/shm behind a symbolic link, so that each
// row's volume can be told from the data directory's.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "db/result_set.h"
#include "probes/internal_probe.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t kServerId = 1901;
constexpr int32_t kDeadServerId = 1902;
constexpr int32_t kPlainUserServerId = 1903;

using Rows = std::vector<std::vector<std::string>>;

// The rows of a run of the probe through its registry entry, or the error.
struct Outcome {
  bool ok = false;
  std::string error;
  Rows rows;
};

Outcome Collect(int32_t serverId) {
  std::unique_ptr<InternalProbe> probe =
      CreateInternalProbeCollector("data_log_file_analysis", serverId, "monitored");
  Outcome outcome;
  if (!probe) {
    outcome.error = "no collector";
    return outcome;
  }
  std::unique_ptr<ResultSet> result = probe->CollectResults();
  outcome.ok = result->IsOk();
  outcome.error = result->GetErrorMessage();
  if (!outcome.ok) return outcome;
  EXPECT_EQ(result->columnNames,
            (std::vector<std::string>{"name", "path", "device_id", "dir_type"}));
  for (uint32_t row = 0; row < result->GetRowCount(); ++row) {
    std::vector<std::string> values;
    for (int32_t column = 0; column < 4; ++column) {
      values.push_back(result->GetValueByIndex(static_cast<int32_t>(row), column));
    }
    outcome.rows.push_back(std::move(values));
  }
  return outcome;
}

// The volume id of `path` as the rows give it (stat follows links).
std::string Volume(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return std::to_string(static_cast<uint64_t>(info.st_dev));
}

void ChownToPostgres(const fs::path& path) {
  if (geteuid() != 0) return;
  const passwd* pw = getpwnam("postgres");
  ASSERT_NE(pw, nullptr);
  ASSERT_EQ(chown(path.c_str(), pw->pw_uid, pw->pw_gid), 0) << path;
}

// A private directory under /dev/shm, removed with its contents at scope exit.
class ShmDir {
 public:
  ShmDir() {
    std::string tmpl = "/dev/shm/varo-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp " << tmpl << " failed";
      return;
    }
    path_ = tmpl;
  }
  ~ShmDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  ShmDir(const ShmDir&) = delete;
  ShmDir& operator=(const ShmDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Tablespaces made for a test, and stray entries put into pg_tblspc, removed
// at scope exit.
class TablespaceGuard {
 public:
  TablespaceGuard() = default;
  ~TablespaceGuard() {
    for (const std::string& name : tablespaces_) {
      PgCluster::Get().Exec("postgres", "DROP TABLESPACE IF EXISTS " + name);
    }
    std::error_code ignored;
    for (const fs::path& entry : entries_) fs::remove_all(entry, ignored);
  }
  TablespaceGuard(const TablespaceGuard&) = delete;
  TablespaceGuard& operator=(const TablespaceGuard&) = delete;

  // Creates tablespace `name` in `dir` (owned by postgres) and returns its oid.
  std::string Create(const std::string& name, const fs::path& dir) {
    ChownToPostgres(dir);
    tablespaces_.push_back(name);
    PgCluster::Get().Exec("postgres",
                          "CREATE TABLESPACE " + name + " LOCATION '" + dir.string() + "'");
    return PgCluster::Get().Exec("postgres",
                                 "SELECT oid FROM pg_tablespace WHERE spcname = '" + name + "'");
  }
  // Puts an entry named `name` into pg_tblspc: an empty file, or a directory.
  void Stray(const std::string& name, bool directory) {
    const fs::path entry = fs::path(PgCluster::Get().dataDir()) / "pg_tblspc" / name;
    entries_.push_back(entry);
    if (directory) {
      fs::create_directory(entry);
    } else {
      std::ofstream(entry).put('x');
    }
    ASSERT_TRUE(fs::exists(entry)) << entry;
  }

 private:
  std::vector<std::string> tablespaces_;
  std::vector<fs::path> entries_;
};

class DataLogAnalysisTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(central_test::ConnectAgent12WithServer(kServerId).empty()); }
  void TearDown() override { central_test::DisconnectCentral(); }

  // The data and WAL rows of the cluster as it stands.
  static Rows DataAndWalRows() {
    const std::string data = PgCluster::Get().dataDir();
    return {{"data", data, Volume(data), "d"},
            {"xlog", data + "/pg_wal", Volume(data + "/pg_wal"), "x"}};
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
};

TEST_F(DataLogAnalysisTest, EmptyPgTblspcGivesTheDataAndWalRowsOnly) {
  ASSERT_TRUE(fs::is_empty(fs::path(PgCluster::Get().dataDir()) / "pg_tblspc"));
  Outcome outcome = Collect(kServerId);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.rows, DataAndWalRows());
}

TEST_F(DataLogAnalysisTest, TablespacesFollowInOidOrderWithTheVolumesTheirLinksLeadTo) {
  TempDir onDisk("varo-t19-");
  ShmDir inMemory;
  ASSERT_FALSE(onDisk.path().empty());
  ASSERT_FALSE(inMemory.path().empty());
  TablespaceGuard guard;
  const std::string first = guard.Create("t19_disk", onDisk.path());
  const std::string second = guard.Create("t19_shm", inMemory.path());
  ASSERT_LT(std::stoul(first), std::stoul(second));
  // Entries that are not tablespace oids: never looked up, never a row, and
  // none of them reaches the server as SQL.
  guard.Stray("1;DROP DATABASE monitored", false);
  guard.Stray("99999", true);        // digits, but no tablespace has this oid
  guard.Stray("4294967296", false);  // digits, beyond any oid
  guard.Stray("+16384", false);
  guard.Stray(" " + first, false);

  Outcome outcome = Collect(kServerId);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  Rows expected = DataAndWalRows();
  expected.push_back({"t19_disk", onDisk.str(), Volume(onDisk.str()), "t"});
  expected.push_back({"t19_shm", inMemory.path().string(), Volume(inMemory.path()), "t"});
  EXPECT_EQ(outcome.rows, expected);
  // /dev/shm is its own file system here, so its row names another volume.
  EXPECT_NE(Volume(inMemory.path()), Volume(PgCluster::Get().dataDir()));
  EXPECT_EQ(PgCluster::Get().Exec("postgres",
                                  "SELECT count(*) FROM pg_database WHERE datname = 'monitored'"),
            "1");
}

// Moves the cluster's pg_wal into `target` and leaves a symbolic link in its
// place (as initdb --waldir does); puts it back at scope exit. The server is
// stopped for each move, so the central connection is closed around it.
class WalLinkGuard {
 public:
  explicit WalLinkGuard(const fs::path& target) : wal_(PgCluster::Get().dataDir() + "/pg_wal") {
    moved_ = target / "pg_wal";
    Move(wal_, moved_, true);
  }
  ~WalLinkGuard() { Move(moved_, wal_, false); }
  WalLinkGuard(const WalLinkGuard&) = delete;
  WalLinkGuard& operator=(const WalLinkGuard&) = delete;

 private:
  static void Move(const fs::path& from, const fs::path& to, bool leaveLink) {
    central_test::DisconnectCentral();
    PgCluster::Get().Stop();
    std::error_code ignored;
    if (!leaveLink) fs::remove(to, ignored);  // the link
    ProcessResult moved = RunProcess({"mv", from.string(), to.string()});
    EXPECT_EQ(moved.exitCode, 0) << moved.output;
    if (leaveLink) fs::create_directory_symlink(to, from);
    PgCluster::Get().Start();
    EXPECT_FALSE(central_test::ConnectCentral().empty());
  }

  fs::path wal_;
  fs::path moved_;
};

TEST_F(DataLogAnalysisTest, WalLinkedToAnotherFileSystemGivesTheVolumeWhereTheWalLies) {
  ShmDir elsewhere;
  ASSERT_FALSE(elsewhere.path().empty());
  ChownToPostgres(elsewhere.path());
  WalLinkGuard link(elsewhere.path());
  const std::string data = PgCluster::Get().dataDir();
  ASSERT_TRUE(fs::is_symlink(data + "/pg_wal"));

  Outcome outcome = Collect(kServerId);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  ASSERT_EQ(outcome.rows.size(), 2u);
  EXPECT_EQ(outcome.rows[0], (std::vector<std::string>{"data", data, Volume(data), "d"}));
  // The link is followed: the volume is that of /dev/shm, not of the link.
  EXPECT_EQ(outcome.rows[1], (std::vector<std::string>{"xlog", data + "/pg_wal",
                                                       Volume(elsewhere.path() / "pg_wal"), "x"}));
  EXPECT_NE(outcome.rows[1][2], Volume(data));
}

TEST_F(DataLogAnalysisTest, ServerThatCannotBeReachedFailsWithTheConnectionError) {
  // Nothing listens on port 1 of the loopback address.
  central_test::BindServer(kDeadServerId, "127.0.0.1", 1, "postgres", "monitored");
  Outcome outcome = Collect(kDeadServerId);
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.error.rfind("unable to connect to server 1902 dbname monitored: ", 0), 0u)
      << outcome.error;
}

TEST_F(DataLogAnalysisTest, UserThatCannotSeeTheDataDirectoryFailsTheProbe) {
  PgCluster::Get().Exec("postgres",
                        "DO $$BEGIN CREATE ROLE t19_plain LOGIN; "
                        "EXCEPTION WHEN duplicate_object THEN NULL; END$$");
  central_test::BindServer(kPlainUserServerId, PgCluster::Get().socketDir(),
                           PgCluster::Get().port(), "t19_plain", "monitored");
  Outcome outcome = Collect(kPlainUserServerId);
  EXPECT_FALSE(outcome.ok);
  EXPECT_NE(outcome.error.find("data_directory setting is not visible"), std::string::npos)
      << outcome.error;
}

}  // namespace
