// Pure helpers of the main loop and heartbeat: the schema version, the heartbeat
// interval, flag file names and the flag directory path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include "agent/agent_heartbeat.h"
#include "agent/agent_main_loop.h"
#include "agent/server_takeover.h"
#include "platform/settings.h"

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
    char tmpl[] = "/tmp/varo-flags-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    GetSettings().log_level = LOG_DEBUG2;
  }
  void TearDown() override { fs::remove_all(base_); }
  void Touch(const std::string& path) { std::ofstream(path) << "x"; }

  std::string base_;
};

TEST_F(FlagFilesWithoutCentral, PathAlwaysEndsWithASeparator) {
  EXPECT_EQ(FlagDirectoryPath("/var/lib/varo", 7), "/var/lib/varo/agent-7/");
  EXPECT_EQ(FlagDirectoryPath("/var/lib/varo/", 7), "/var/lib/varo/agent-7/");

  // Without the setting: under the temporary directory, which TMPDIR names.
  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  setenv("TMPDIR", base_.c_str(), 1);
  EXPECT_EQ(FlagDirectoryPath("", 7), base_ + "/varo/agent-7/");
  setenv("TMPDIR", (base_ + "/").c_str(), 1);
  EXPECT_EQ(FlagDirectoryPath("", 12), base_ + "/varo/agent-12/");
  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST_F(FlagFilesWithoutCentral, MissingDirectoryIsCreatedWithItsParents) {
  std::string dir = FlagDirectoryPath(base_ + "/a/b", 3);
  testing::internal::CaptureStdout();
  ProcessFlagFiles(dir);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_NE(log.find("DEBUG: Checking flag directory: " + dir + "\n"), std::string::npos) << log;
}

TEST_F(FlagFilesWithoutCentral, UncreatableDirectoryWarns) {
  Touch(base_ + "/file");
  std::string dir = base_ + "/file/agent-3/";
  testing::internal::CaptureStdout();
  ProcessFlagFiles(dir);
  std::string log = testing::internal::GetCapturedStdout();
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
    testing::internal::CaptureStdout();
    ProcessFlagFiles(dir);
    std::string log = testing::internal::GetCapturedStdout();
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
