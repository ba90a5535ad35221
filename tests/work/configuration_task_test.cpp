// The log and audit configuration tasks on a postgresql.conf in a private
// directory: which lines they write, what they refuse before writing, and
// that the file is only ever replaced whole, with its owner and mode.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "work/configuration_tasks.h"
#include "work/internal_task.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Names in `dir` other than postgresql.conf (temporary files left behind).
std::vector<std::string> Leftovers(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename() != "postgresql.conf") names.push_back(entry.path().filename());
  }
  return names;
}

// Values 1 to 29 of a log configuration step; a value with blanks is quoted.
std::map<int, std::string> DefaultLogValues() {
  return {{1, "stderr"},    {2, "on"},       {3, "off"},    {4, "pg_log"}, {5, "pg-%a.log"},
          {6, "none"},      {7, "NA"},       {8, "10"},     {9, "1"},      {10, "off"},
          {11, "notice"},   {12, "warning"}, {13, "error"}, {14, "-1"},    {15, "off"},
          {16, "off"},      {17, "off"},     {18, "on"},    {19, "on"},    {20, "on"},
          {21, "off"},      {22, "off"},     {23, "off"},   {24, "on"},    {25, "default"},
          {26, "%m [%p] "}, {27, "ddl"},     {28, "x"},     {29, "11600"}};
}

std::string Arguments(const std::string& dataDir, const std::map<int, std::string>& values) {
  std::string text = dataDir;
  for (const auto& [position, value] : values) {
    (void)position;
    text += ' ';
    text += value.find(' ') == std::string::npos && !value.empty() ? value : "\"" + value + "\"";
  }
  return text;
}

class ConfigurationTaskTest : public testing::Test {
 protected:
  fs::path conf() const { return dir_.path() / "postgresql.conf"; }

  ConfigurationTaskResult Log(const std::map<int, std::string>& values) {
    return UpdateLogConfiguration(Arguments(dir_.str(), values));
  }

  // The active lines the task wrote (name = value), in file order.
  std::vector<std::string> ActiveLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(conf()));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] != '#' && line.find(" = ") != std::string::npos) {
        lines.push_back(line);
      }
    }
    return lines;
  }

  TempDir dir_{"varo-conf-"};
};

TEST_F(ConfigurationTaskTest, WritesTheLogSettingsInTableOrder) {
  WriteFile(conf(),
            "# PostgreSQL configuration\n"
            "listen_addresses = ''\n"
            "log_destination = 'syslog'\t# where\n"
            "#log_directory = 'log'\t\t# directory\n"
            "log_directory_mode = 0700\n"
            "port = 5432");
  std::map<int, std::string> values = DefaultLogValues();
  values[26] = "%m [%p] it's \\d ";
  const ConfigurationTaskResult result = Log(values);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(ReadFile(conf()),
            "# PostgreSQL configuration\n"
            "listen_addresses = ''\n"
            "log_destination = 'stderr'\n"
            "log_directory = 'pg_log'\n"
            "log_directory_mode = 0700\n"
            "port = 5432\n"
            "logging_collector = on\n"
            "log_filename = 'pg-%a.log'\n"
            "log_rotation_size = 10MB\n"
            "log_rotation_age = 1d\n"
            "log_truncate_on_rotation = off\n"
            "client_min_messages = notice\n"
            "log_min_messages = warning\n"
            "log_min_error_statement = error\n"
            "log_min_duration_statement = -1\n"
            "debug_print_parse = off\n"
            "debug_print_rewritten = off\n"
            "debug_print_plan = off\n"
            "debug_pretty_print = on\n"
            "log_checkpoints = on\n"
            "log_connections = on\n"
            "log_disconnections = off\n"
            "log_duration = off\n"
            "log_hostname = off\n"
            "log_lock_waits = on\n"
            "log_error_verbosity = default\n"
            "log_line_prefix = '%m [%p] it''s \\\\d '\n"
            "log_statement = 'ddl'\n");
  EXPECT_TRUE(Leftovers(dir_.path()).empty());
}

TEST_F(ConfigurationTaskTest, SilentModeAndSyslogFollowTheVersionCodeAndFacility) {
  struct Case {
    std::string code;
    std::string facility;
    bool silentMode;
    bool syslog;
  };
  const Case cases[] = {
      {"1", "local0", true, true},       {"10901", "local0", true, true},
      {"10902", "local0", false, true},  {"20000", "local0", false, true},
      {"20001", "local0", true, true},   {"20901", "local0", true, true},
      {"20902", "local0", false, true},  {"0", "local0", false, true},
      {"", "local0", false, true},       {"-5", "local0", false, true},
      {"10901x", "local0", false, true}, {"10901", "NONE", false, false},
      {"10901", "None", false, false},   {"11600", "none", false, false},
  };
  for (const Case& c : cases) {
    WriteFile(conf(), "#silent_mode = off\n");
    std::map<int, std::string> values = DefaultLogValues();
    values[6] = c.facility;
    values[29] = c.code;
    const ConfigurationTaskResult result = Log(values);
    ASSERT_TRUE(result.ok) << result.message;
    const std::string text = ReadFile(conf());
    EXPECT_EQ(text.rfind("silent_mode = off\n", 0) == 0, c.silentMode)
        << "code " << c.code << " facility " << c.facility << "\n"
        << text;
    EXPECT_EQ(text.find("syslog_facility = '" + c.facility + "'\nsyslog_ident = 'NA'\n") !=
                  std::string::npos,
              c.syslog)
        << "code " << c.code << " facility " << c.facility << "\n"
        << text;
  }
}

TEST_F(ConfigurationTaskTest, MissingValuesAreEmptyAndRefusedWhereAWordIsNeeded) {
  WriteFile(conf(), "port = 5432\n");
  // Only the data directory: log_destination could be '', logging_collector cannot.
  const ConfigurationTaskResult result = UpdateLogConfiguration(dir_.str());
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message,
            "Invalid parameters to log configuration job: invalid value for logging_collector: it "
            "is empty; the file was not changed");
  EXPECT_EQ(ReadFile(conf()), "port = 5432\n");
}

TEST_F(ConfigurationTaskTest, ValuesTheServerCouldNotReadBackChangeNothing) {
  const std::string original = "# keep me\r\nport = 5432\nlog_line_prefix = '%m '\n";
  struct Case {
    int position;
    std::string value;
    std::string message;
  };
  const Case cases[] = {
      {26, "%m\n[%p]", "invalid value for log_line_prefix: it holds a line break"},
      {4, "dir\r", "invalid value for log_directory: it holds a line break"},
      {12, "warning x", "invalid value for log_min_messages: it is not a single word or number"},
      {2, "", "invalid value for logging_collector: it is empty"},
      {14, "1;x",
       "invalid value for log_min_duration_statement: it is not a single word or "
       "number"},
      {8, "10MB", "invalid value for log_rotation_size: it is not a whole number"},
      {9, "", "invalid value for log_rotation_age: it is empty"},
  };
  for (const Case& c : cases) {
    WriteFile(conf(), original);
    std::map<int, std::string> values = DefaultLogValues();
    values[c.position] = c.value;
    const ConfigurationTaskResult result = Log(values);
    EXPECT_FALSE(result.ok) << c.value;
    EXPECT_EQ(result.message, "Invalid parameters to log configuration job: " + c.message +
                                  "; the file was not changed");
    EXPECT_EQ(ReadFile(conf()), original) << c.value;
  }
  WriteFile(conf(), original);
  const ConfigurationTaskResult unterminated = UpdateLogConfiguration(dir_.str() + " stderr \"on");
  EXPECT_EQ(unterminated.message, "Invalid parameters to log configuration job");
  EXPECT_EQ(ReadFile(conf()), original);
  EXPECT_TRUE(Leftovers(dir_.path()).empty());
}

TEST_F(ConfigurationTaskTest, WritesTheAuditSettings) {
  WriteFile(conf(), "#azu_audit = 'none'\nazu_audit_rotation_size_x = 1\n");
  const ConfigurationTaskResult result = UpdateAuditConfiguration(
      dir_.str() + " all \"/var/log/audit dir\" audit-%Y.csv 1 10240 3600 on off \"ddl, it's\"");
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(ReadFile(conf()),
            "azu_audit = 'all'\n"
            "azu_audit_rotation_size_x = 1\n"
            "azu_audit_directory = '/var/log/audit dir'\n"
            "azu_audit_filename = 'audit-%Y.csv'\n"
            "azu_audit_rotation_day = '1'\n"
            "azu_audit_rotation_size = 10240\n"
            "azu_audit_rotation_seconds = 3600\n"
            "azu_audit_connect = 'on'\n"
            "azu_audit_disconnect = 'off'\n"
            "azu_audit_statement = 'ddl, it''s'\n");

  WriteFile(conf(), "port = 1\n");
  const ConfigurationTaskResult refused =
      UpdateAuditConfiguration(dir_.str() + " all /d f 1 \"\" 3600 on off ddl");
  EXPECT_EQ(refused.message,
            "Invalid parameters to audit configuration job: invalid value for "
            "azu_audit_rotation_size: it is empty; the file was not changed");
  EXPECT_EQ(ReadFile(conf()), "port = 1\n");
  EXPECT_EQ(UpdateAuditConfiguration(dir_.str() + " \"all").message,
            "Invalid parameters to audit configuration job");
}

TEST_F(ConfigurationTaskTest, KeepsTheOwnerAndModeAndTheDataDirectoryPathAsGiven) {
  WriteFile(conf(), "port = 1\n");
  ASSERT_EQ(chmod(conf().c_str(), 0640), 0);
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (geteuid() == 0) {
    if (const passwd* pg = getpwnam("postgres")) {
      uid = pg->pw_uid;
      gid = pg->pw_gid;
      ASSERT_EQ(chown(dir_.path().c_str(), uid, gid), 0);
      ASSERT_EQ(chown(conf().c_str(), uid, gid), 0);
    }
  }
  struct stat before {};
  ASSERT_EQ(stat(conf().c_str(), &before), 0);
  // Trailing and doubled slashes of the data directory are harmless; no slash
  // is ever turned into backslashes.
  const ConfigurationTaskResult result =
      UpdateLogConfiguration(Arguments(dir_.str() + "//", DefaultLogValues()));
  ASSERT_TRUE(result.ok) << result.message;
  struct stat after {};
  ASSERT_EQ(stat(conf().c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);  // replaced, not written in place
  EXPECT_EQ(after.st_uid, uid);
  EXPECT_EQ(after.st_gid, gid);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(ReadFile(conf()).find("log_directory = 'pg_log'\n"), std::string::npos);
}

TEST_F(ConfigurationTaskTest, RefusesFilesOthersCouldHavePutThere) {
  const std::string path = conf().string();
  const std::string readFailure = "failed to open file '" + path + "' for reading";
  const std::map<int, std::string> values = DefaultLogValues();

  // No file, an empty file, a relative data directory.
  EXPECT_EQ(Log(values).message, readFailure);
  WriteFile(conf(), "");
  EXPECT_EQ(Log(values).message, "failed to read contents of file '" + path + "'");
  EXPECT_EQ(UpdateLogConfiguration(Arguments("relative/dir", values)).message,
            "failed to open file 'relative/dir/postgresql.conf' for reading");
  EXPECT_EQ(UpdateLogConfiguration(Arguments("\"\"", values)).message,
            "failed to open file '/postgresql.conf' for reading");

  // A symbolic link in place of the file: the target stays as it was.
  TempDir other("varo-conf-other-");
  WriteFile(other.path() / "target", "port = 1\n");
  fs::remove(conf());
  fs::create_symlink(other.path() / "target", conf());
  EXPECT_EQ(Log(values).message, readFailure);
  EXPECT_EQ(ReadFile(other.path() / "target"), "port = 1\n");
  fs::remove(conf());

  // A second link to the file.
  WriteFile(other.path() / "linked", "port = 1\n");
  fs::create_hard_link(other.path() / "linked", conf());
  EXPECT_EQ(Log(values).message, readFailure);
  EXPECT_EQ(ReadFile(other.path() / "linked"), "port = 1\n");
  fs::remove(conf());

  // A directory others may write to, even with the sticky bit.
  WriteFile(conf(), "port = 1\n");
  for (mode_t mode : {0777, 01777, 0770}) {
    ASSERT_EQ(chmod(dir_.path().c_str(), mode), 0);
    EXPECT_EQ(Log(values).message, readFailure) << std::oct << mode;
    EXPECT_EQ(ReadFile(conf()), "port = 1\n");
  }
  ASSERT_EQ(chmod(dir_.path().c_str(), 0700), 0);
  EXPECT_TRUE(Log(values).ok);

  // A directory above it that others may write to (no sticky bit).
  TempDir parent("varo-conf-parent-");
  fs::create_directory(parent.path() / "data");
  WriteFile(parent.path() / "data" / "postgresql.conf", "port = 1\n");
  ASSERT_EQ(chmod(parent.path().c_str(), 0777), 0);
  EXPECT_FALSE(UpdateLogConfiguration(Arguments(parent.str() + "/data", values)).ok);
  ASSERT_EQ(chmod(parent.path().c_str(), 0700), 0);
  EXPECT_TRUE(UpdateLogConfiguration(Arguments(parent.str() + "/data", values)).ok);
}

TEST_F(ConfigurationTaskTest, AFailedWriteLeavesTheOldFile) {
  // A file size limit stands in for a full disk: the new content cannot be
  // written whole, and the old file must stay as it was.
  std::string original = "# padding\n";
  while (original.size() < 4096) original += "#" + std::string(70, 'x') + "\n";
  WriteFile(conf(), original);
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore {};
  struct sigaction savedAction {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &savedAction), 0);
  struct rlimit limit = saved;
  limit.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const ConfigurationTaskResult result = Log(DefaultLogValues());
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &savedAction, nullptr);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, "failed to modify file '" + conf().string() + "'");
  EXPECT_EQ(ReadFile(conf()), original);
  EXPECT_TRUE(Leftovers(dir_.path()).empty());
}

TEST_F(ConfigurationTaskTest, InternalTasksDispatchToTheEdits) {
  WriteFile(conf(), "port = 1\n");
  InternalTask task("log_configuration " + Arguments(dir_.str(), DefaultLogValues()), 0);
  struct NoConnection : DBConnection {
    std::unique_ptr<ResultSet> ExecuteQuery(const std::string&,
                                            const std::vector<std::string>&) override {
      return nullptr;
    }
    std::string SyncToDB(const ResultSet&, const std::string&, const std::vector<std::string>&,
                         const std::vector<std::string>&,
                         const std::vector<std::string>&) override {
      return "unused";
    }
  } central;
  task.Run(central);
  EXPECT_FALSE(task.Failed());
  EXPECT_EQ(task.status, 0);
  EXPECT_EQ(task.message, "");

  InternalTask audit("audit_configuration " + dir_.str() + " \"x", 0);
  audit.Run(central);
  EXPECT_TRUE(audit.Failed());
  EXPECT_EQ(audit.status, -1);
  EXPECT_EQ(audit.message, "Invalid parameters to audit configuration job");
}

}  // namespace
