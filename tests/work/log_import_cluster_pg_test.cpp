// The server log import end to end: a second cluster writes its own csvlog
// under load (every statement logged, small files, several rotations) while
// the import job step runs in a separate process that is killed with SIGKILL
// at random moments and started again; at the end every record of the files
// is stored exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/pg_cluster.h"
#include "support/process.h"
#include "support/wait.h"

namespace fs = std::filesystem;

namespace {

std::string Sql(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

// Counts the records of every *.csv file under `dir` with Python's csv module,
// a reader independent of the agent's.
int CountRecords(const std::string& dir) {
  const char* script =
      "import csv, glob, sys\n"
      "n = 0\n"
      "for f in sorted(glob.glob(sys.argv[1] + '/**/*.csv', recursive=True)):\n"
      "    with open(f, newline='', encoding='utf-8', errors='replace') as h:\n"
      "        n += sum(1 for row in csv.reader(h) if row)\n"
      "print(n)\n";
  ProcessResult r = RunProcess({"python3", "-c", script, dir});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return std::atoi(r.output.c_str());
}

TEST(LogImportCluster, ImportsEveryRecordExactlyOnceThroughRotationsAndKills) {
  std::string error;
  std::unique_ptr<PgCluster> logging = PgCluster::MakeWith(
      {"logging_collector = on", "log_destination = 'csvlog'", "log_directory = 'log'",
       "log_filename = 'postgresql-%Y%m%d-%H%M%S.log'", "log_rotation_size = '64kB'",
       "log_rotation_age = 0", "log_statement = 'all'"},
      &error);
  ASSERT_TRUE(logging) << error;
  const std::string logDir = logging->dataDir() + "/log";

  Sql("INSERT INTO varo.server (id) VALUES (1821) ON CONFLICT DO NOTHING");
  Sql("INSERT INTO varo.log_configuration (server_id) VALUES (1821) ON CONFLICT DO NOTHING");
  Sql("UPDATE varo.log_configuration SET (log_directory, last_read_filename, file_offset, "
      "last_read_device, last_read_inode) = ('log', '', 0, 0, 0) WHERE server_id = 1821");
  Sql("DELETE FROM varodata.server_logs WHERE server_id = 1821");

  // Load: statements with quotes, commas and line ends in them, logged one
  // record each, in bursts over a few seconds so the files rotate by size
  // under several names. (log_filename ends in .log: the few lines the server
  // writes to stderr go there, only the csvlog files end in .csv.)
  constexpr int kBursts = 6;
  constexpr int kPerBurst = 500;
  std::atomic<bool> loadFailed{false};
  std::thread load([&] {
    PGconnPtr conn = logging->Connect("postgres");
    if (!conn) {
      loadFailed = true;
      return;
    }
    for (int b = 0; b < kBursts; ++b) {
      for (int i = 0; i < kPerBurst; ++i) {
        const std::string sql = "SELECT 'load-" + std::to_string(b * kPerBurst + i) +
                                " \"quoted\", comma\nsecond line \\ backslash'";
        PGresultPtr r(PQexec(conn.get(), sql.c_str()));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) loadFailed = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
  });

  const std::string helper = std::string(VARO_BINARY_DIR) + "/tests/log_import_helper";
  const std::string conninfo = PgCluster::Get().ConnInfo("varo");
  const std::string arguments = logging->dataDir() + " 1821 0";
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delay(30, 400);
  for (int kill = 0; kill < 10; ++kill) {
    ChildProcess importer;
    ASSERT_TRUE(importer.Start({helper, conninfo, arguments, "loop"})) << importer.Output();
    const int ms = delay(random);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    importer.Kill();
    EXPECT_EQ(importer.Output().find("failed"), std::string::npos)
        << "kill " << kill << " after " << ms << " ms: " << importer.Output();
  }
  load.join();
  ASSERT_FALSE(loadFailed);
  // The killed imports got on: the kills fell into work under way.
  EXPECT_NE(Sql("SELECT count(*) FROM varodata.server_logs WHERE server_id = 1821"), "0");
  // Stopped, the server writes nothing more: the files are final.
  logging->Stop();

  ProcessResult last = RunProcess({helper, conninfo, arguments, "once"});
  ASSERT_EQ(last.exitCode, 0) << last.output;

  int files = 0;
  for (const auto& entry : fs::directory_iterator(logDir)) {
    files += entry.path().extension() == ".csv";
  }
  EXPECT_GE(files, 3) << "the load did not rotate the log";
  const int records = CountRecords(logDir);
  EXPECT_GT(records, kBursts * kPerBurst);
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.server_logs WHERE server_id = 1821"),
            std::to_string(records));
  EXPECT_EQ(Sql("SELECT count(*) - count(DISTINCT (session_id, session_line_num)) FROM "
                "varodata.server_logs WHERE server_id = 1821"),
            "0")
      << "duplicates: "
      << Sql("SELECT string_agg(concat_ws(',', s, n, c), ';') FROM (SELECT session_id s, "
             "session_line_num n, count(*) c FROM varodata.server_logs WHERE server_id = 1821 "
             "GROUP BY 1, 2 HAVING count(*) > 1) d");
  EXPECT_EQ(Sql("SELECT count(DISTINCT message) FROM varodata.server_logs WHERE server_id = "
                "1821 AND message LIKE 'statement: SELECT ''load-% \"quoted\", comma' || "
                "chr(10) || 'second line \\ backslash''' ESCAPE ''"),
            std::to_string(kBursts * kPerBurst));
}

}  // namespace
