// Pure helpers of the main loop and heartbeat: the schema version, the heartbeat
// interval, flag file names and the flag directory path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include "agent/agent_heartbeat.h"
#include "agent/agent_main_loop.h"
#include "agent/server_takeover.h"
#include "agent/service_host.h"
#include "agent/settings.h"
#include "db/db_connection_to_postgresql.h"
#include "settings_guard.h"
#include "support/global_state.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(ParseSchemaVersion, AcceptsOnlyAPlainNonZeroNumber) {
  struct Case {
    const char* text;
    std::optional<uint64_t> expected;
  } cases[] = {
      {"201210091", 201210091},
      {"201210090", 201210090},
      {"1", 1},
      {"0", std::nullopt},
      {"", std::nullopt},
      {"abc", std::nullopt},
      {"201210091abc", std::nullopt},
      {" 201210091", std::nullopt},
      {"-1", std::nullopt},
      {"+5", std::nullopt},
      {"99999999999999999999999", std::nullopt},  // does not fit 64 bits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseSchemaVersion(c.text), c.expected) << "input: '" << c.text << "'";
  }
}

TEST(ParseHeartbeatInterval, ReadsLikeAtoiWithoutOverflow) {
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {
      {"30", 30},
      {"0", 0},
      {"", 0},
      {"abc", 0},
      {"  12xyz", 12},
      {"-5", -5},
      {"+7", 7},
      {"99999999999", std::numeric_limits<int32_t>::max()},
      {"-99999999999", std::numeric_limits<int32_t>::min()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseHeartbeatInterval(c.text), c.expected) << "input: '" << c.text << "'";
  }
}

TEST(ParseFlagFileServerId, TakesTheNumberAfterTheLastDash) {
  struct Case {
    const char* name;
    std::optional<int32_t> expected;
  } cases[] = {
      {"takeover-server-12", 12},
      {"takeover-server-0", 0},
      {"takeover-server--5", 5},
      {"takeover-server-abc", std::nullopt},
      {"takeover-server-", std::nullopt},
      {"takeover-server-12x", std::nullopt},
      {"takeover-server-12 ", std::nullopt},
      {"takeover-server-99999999999", std::nullopt},  // does not fit 32 bits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseFlagFileServerId(c.name), c.expected) << "input: '" << c.name << "'";
  }
}

class FlagFilesWithoutCentral : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    base_ = dir_.str();
    GetSettings().log_level = LOG_DEBUG2;
    PublishSettings();
  }
  void Touch(const std::string& path) { std::ofstream(path) << "x"; }

  SettingsGuard settings_;
  TempDir dir_{"varo-flags-"};
  std::string base_;
  // A central connection whose connect failed: every statement on it fails.
  DBConnectionToPostgreSQL unreachable_{
      PGconnPtr(PQconnectdb("host=/nonexistent/varo-socket-dir dbname=varo"))};
};

TEST_F(FlagFilesWithoutCentral, PathAlwaysEndsWithASeparator) {
  EXPECT_EQ(FlagDirectoryPath("/var/lib/varo", 7), "/var/lib/varo/agent-7/");
  EXPECT_EQ(FlagDirectoryPath("/var/lib/varo/", 7), "/var/lib/varo/agent-7/");

  // Without the setting: under the temporary directory, which TMPDIR names.
  EnvGuard tmpdir("TMPDIR", base_);
  EXPECT_EQ(FlagDirectoryPath("", 7), base_ + "/varo/agent-7/");
  tmpdir.Set(base_ + "/");
  EXPECT_EQ(FlagDirectoryPath("", 12), base_ + "/varo/agent-12/");
}

TEST_F(FlagFilesWithoutCentral, MissingDirectoryIsCreatedWithItsParents) {
  std::string dir = FlagDirectoryPath(base_ + "/a/b", 3);
  LogCapture capture;
  ProcessFlagFiles(unreachable_, dir);
  std::string log = capture.Take();
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_NE(log.find("DEBUG: Checking flag directory: " + dir + "\n"), std::string::npos) << log;
  // Only the agent's user may drop files into it.
  struct stat info {};
  ASSERT_EQ(::lstat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
}

// A directory the agent cannot call its own is refused with a warning and
// nothing in it is looked at, let alone deleted.
TEST_F(FlagFilesWithoutCentral, DirectoryThatIsNotOursIsRefused) {
  struct Case {
    const char* what;
    std::string reason;
  };
  const Case cases[] = {
      {"symlink", "it is a symbolic link"},
      {"writable", "other users may write to it"},
      {"group-writable", "other users may write to it"},
      {"foreign", "it is not owned by the agent's user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string real = base_ + "/real-" + c.what;
    fs::create_directory(real);
    ::chmod(real.c_str(), 0700);
    Touch(real + "/takeover-server-5");
    std::string dir = real + "/";
    const std::string what = c.what;
    if (what == "symlink") {
      dir = base_ + "/link/";
      fs::create_directory_symlink(real, base_ + "/link");
    } else if (what == "writable") {
      ::chmod(real.c_str(), 0777);
    } else if (what == "group-writable") {
      ::chmod(real.c_str(), 0770);
    } else if (::geteuid() != 0 || ::chown(real.c_str(), 65534, 65534) != 0) {
      continue;  // only root can give a directory away
    }
    LogCapture capture;
    ProcessFlagFiles(unreachable_, dir);
    std::string log = capture.Take();
    EXPECT_NE(log.find("WARNING: Ignoring the flag directory " + dir + ": " + c.reason + "\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Processing flag file"), std::string::npos) << log;
    EXPECT_TRUE(fs::exists(real + "/takeover-server-5"));
  }
}

// A link inside the directory is not a flag file: neither it nor what it
// points at is read or deleted.
TEST_F(FlagFilesWithoutCentral, LinksInTheDirectoryAreNeverFollowed) {
  fs::create_directory(base_ + "/elsewhere");
  Touch(base_ + "/elsewhere/victim");
  const std::string dir = base_ + "/flags/";
  fs::create_directory(dir);
  ::chmod(dir.c_str(), 0700);
  fs::create_symlink(base_ + "/elsewhere/victim", dir + "takeover-server-5");
  fs::create_directory_symlink(base_ + "/elsewhere", dir + "takeover-server-6");
  LogCapture capture;
  ProcessFlagFiles(unreachable_, dir);
  std::string log = capture.Take();
  EXPECT_EQ(log.find("Processing flag file"), std::string::npos) << log;
  EXPECT_TRUE(fs::is_symlink(dir + "takeover-server-5"));
  EXPECT_TRUE(fs::exists(base_ + "/elsewhere/victim"));
}

TEST(StartWaitHint, GrowsBySecondsAndNeverOverflows) {
  EXPECT_EQ(NextStartWaitHintMs(kStartWaitHintMs), kStartWaitHintMs + 1000);
  EXPECT_EQ(NextStartWaitHintMs(kMaxStartWaitHintMs - 1001), kMaxStartWaitHintMs - 1);
  EXPECT_EQ(NextStartWaitHintMs(kMaxStartWaitHintMs - 1000), kMaxStartWaitHintMs);
  EXPECT_EQ(NextStartWaitHintMs(kMaxStartWaitHintMs), kMaxStartWaitHintMs);
  // However long the central database stays away, the hint stays in range.
  int64_t hint = kStartWaitHintMs;
  for (int64_t second = 0; second < 3000000; ++second) hint = NextStartWaitHintMs(hint);
  EXPECT_EQ(hint, kMaxStartWaitHintMs);
}

TEST_F(FlagFilesWithoutCentral, UncreatableDirectoryWarns) {
  Touch(base_ + "/file");
  std::string dir = base_ + "/file/agent-3/";
  LogCapture capture;
  ProcessFlagFiles(unreachable_, dir);
  std::string log = capture.Take();
  EXPECT_NE(log.find("WARNING: Failed to create the flag directory: " + dir + ", error 20\n"),
            std::string::npos)
      << log;  // ENOTDIR
}

TEST_F(FlagFilesWithoutCentral, FilesStayWhenNoServerWasTakenOver) {
  std::string dir = base_ + "/";
  Touch(dir + "takeover-server-abc");
  Touch(dir + "takeover-server-5");
  Touch(dir + ".takeover-server-6");                // hidden: ignored
  fs::create_directory(dir + "takeover-server-7");  // directory: ignored
  Touch(dir + "other-file");

  for (int pass = 0; pass < 2; ++pass) {
    LogCapture capture;
    ProcessFlagFiles(unreachable_, dir);
    std::string log = capture.Take();
    EXPECT_NE(log.find("WARNING: Failed to extract server ID from flag filename "
                       "takeover-server-abc\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("DEBUG: Processing flag file: takeover-server-5\n"), std::string::npos);
    EXPECT_NE(log.find("DEBUG: Attempting to take over server 5\n"), std::string::npos);
    EXPECT_EQ(log.find("server 6"), std::string::npos);
    EXPECT_EQ(log.find("server 7"), std::string::npos);
    EXPECT_EQ(log.find("other-file"), std::string::npos);
  }
  EXPECT_TRUE(fs::exists(dir + "takeover-server-abc"));
  EXPECT_TRUE(fs::exists(dir + "takeover-server-5"));
}

}  // namespace
