// Loading the settings from options, the configuration file, the registry file
// and -o options, in process. Fatal cases run in a child through death tests.
#include "agent/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agent/configuration.h"
#include "platform/registry_file.h"
#include "settings_guard.h"
#include "support/global_state.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetSettings() = Settings{};
    PublishSettings();
    ASSERT_FALSE(tmp_.path().empty());
    dir_ = tmp_.path();
    // No registry file unless a test writes one.
    registry_ = (dir_ / "agent.reg").string();
    registryVar_.Set(registry_);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  void Parse(const std::vector<std::string>& args) { ParseOptions(args, "/opt/varo/varo-agent"); }

  SettingsGuard settings_;
  EnvGuard registryVar_{"VARO_REGISTRY_FILE", std::nullopt};
  TempDir tmp_{"varo-settings-"};
  fs::path dir_;
  std::string registry_;
};

using SettingsDeathTest = SettingsTest;

TEST_F(SettingsTest, DefaultsWithoutArgumentsOrRegistry) {
  Parse({});
  const Settings& s = GetSettings();
  EXPECT_EQ(s.varo_host, "");
  EXPECT_EQ(s.varo_port, 5634);
  EXPECT_EQ(s.agent_id, -1);
  EXPECT_EQ(s.log_level, 0);
  EXPECT_EQ(s.long_wait, 30);
  EXPECT_EQ(s.short_wait, 10);
  EXPECT_EQ(s.alert_threads, 0);
  EXPECT_FALSE(s.enable_smtp);
  EXPECT_FALSE(s.enable_snmp);
  EXPECT_EQ(s.connect_timeout, 0);
}

TEST_F(SettingsTest, OptionsAndTheirLimits) {
  Parse({"-ldebug1", "-t", "0", "-r", "9", "-a", "3", "-m", "-n"});
  EXPECT_EQ(GetSettings().log_level, 2);
  EXPECT_EQ(GetSettings().short_wait, 10);  // 0 ignored
  EXPECT_EQ(GetSettings().long_wait, 30);   // 9 ignored
  EXPECT_EQ(GetSettings().alert_threads, 3);
  EXPECT_TRUE(GetSettings().enable_smtp);
  EXPECT_TRUE(GetSettings().enable_snmp);

  GetSettings() = Settings{};
  PublishSettings();
  Parse({"-r10", "-t", "1", "-l", "DEBUG2", "-a", "-2"});
  EXPECT_EQ(GetSettings().long_wait, 10);
  EXPECT_EQ(GetSettings().short_wait, 1);
  EXPECT_EQ(GetSettings().log_level, 3);
  EXPECT_EQ(GetSettings().alert_threads, -2);  // -a is not checked
}

TEST_F(SettingsTest, ApplySettingAcceptsIgnoresAndRejects) {
  struct Case {
    const char* name;
    const char* value;
    const char* error;  // expected error text, "" when accepted or ignored
  };
  const Case cases[] = {
      {"varo_port", "0", ""},
      {"VARO_PORT", "65535", ""},
      {"varo_port", "65536", "varo_port must be an integer between 0 and 65535"},
      {"varo_port", "-1", "varo_port must be an integer between 0 and 65535"},
      {"varo_port", "54x", "varo_port must be an integer between 0 and 65535"},
      {"varo_port", "", "varo_port must be an integer between 0 and 65535"},
      {"agent_id", "0", ""},
      {"agent_id", "2147483647", ""},
      {"agent_id", "2147483648", "agent_id must be an integer between 0 and 2147483647"},
      {"agent_id", "abc", "agent_id must be an integer between 0 and 2147483647"},
      {"agent_id", " 5", "agent_id must be an integer between 0 and 2147483647"},
      {"long_wait", "9", ""},
      {"short_wait", "0", ""},
      {"log_level", "verbose", ""},
      {"alert_threads", "many", ""},
      {"connect_timeout", "-1", ""},
      {"no_such_setting", "1", "invalid configuration parameter: no_such_setting"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ApplySetting(c.name, c.value), c.error) << c.name << "=" << c.value;
  }
  // What stands after the table: the last accepted values, ignored ones unseen.
  const Settings& s = GetSettings();
  EXPECT_EQ(s.varo_port, 65535);
  EXPECT_EQ(s.agent_id, 2147483647);
  EXPECT_EQ(s.long_wait, 30);
  EXPECT_EQ(s.short_wait, 10);
  EXPECT_EQ(s.log_level, 0);
  EXPECT_EQ(s.alert_threads, 0);
  EXPECT_EQ(s.connect_timeout, 0);

  EXPECT_EQ(ApplySetting("enable_smtp", "TRUE"), "");
  EXPECT_TRUE(s.enable_smtp);
  EXPECT_EQ(ApplySetting("enable_smtp", "yes"), "");
  EXPECT_FALSE(s.enable_smtp);
}

TEST_F(SettingsTest, FileOverridesOptionsAndOptionsOverrideFile) {
  std::string file = Write("agent.ini",
                           "; the agent\n"
                           "[VARO/agent]\n"
                           "log_level = error\r\n"
                           "varo_port=0\n"
                           "enable_smtp=yes\n"
                           "varo_host = \"db host\"\n"
                           "long_wait=9\n"
                           "[other]\n"
                           "agent_id=1\n");
  Parse({"-l", "debug2", "-m", "-c", file, "-o", "varo_port=6000", "-oagent_flag_dir=/var/x=y"});
  const Settings& s = GetSettings();
  EXPECT_EQ(s.log_level, 0);    // the file wins over -l
  EXPECT_FALSE(s.enable_smtp);  // "yes" turns -m off
  EXPECT_EQ(s.varo_host, "db host");
  EXPECT_EQ(s.long_wait, 30);    // 9 ignored silently
  EXPECT_EQ(s.agent_id, -1);     // another group is not read
  EXPECT_EQ(s.varo_port, 6000);  // -o comes last
  EXPECT_EQ(s.agent_flag_dir, "/var/x=y");
}

TEST_F(SettingsTest, KeysUnderAnotherGroupHaveNoEffect) {
  std::string file =
      Write("agent.ini", "[VARO/other]\nvaro_port=1\nagent_id=4\nlog_level=debug2\n");
  Parse({"-c", file});
  const Settings& s = GetSettings();
  EXPECT_EQ(s.varo_port, 5634);
  EXPECT_EQ(s.agent_id, -1);
  EXPECT_EQ(s.log_level, 0);
}

TEST_F(SettingsTest, Utf16FileWithByteOrderMark) {
  std::u16string text = u"[VARO/agent]\r\nvaro_host=h\u00f6st\r\nagent_id=12\r\n";
  std::string le = "\xFF\xFE";
  std::string be = "\xFE\xFF";
  for (char16_t c : text) {
    le += static_cast<char>(c & 0xFF);
    le += static_cast<char>(c >> 8);
    be += static_cast<char>(c >> 8);
    be += static_cast<char>(c & 0xFF);
  }
  for (const std::string& bytes : {le, be}) {
    GetSettings() = Settings{};
    PublishSettings();
    Parse({"-c", Write("agent16.ini", bytes)});
    EXPECT_EQ(GetSettings().varo_host, "h\xC3\xB6st");
    EXPECT_EQ(GetSettings().agent_id, 12);
  }
}

TEST_F(SettingsTest, MissingFileKeepsOptionValuesAndSkipsTheRegistry) {
  Write("agent.reg", "VARO_HOST=reghost\nVARO_PORT=7000\nAgentID=5\n");
  Parse({"-t", "4", "-c", (dir_ / "none.ini").string()});
  EXPECT_EQ(GetSettings().short_wait, 4);
  EXPECT_EQ(GetSettings().varo_host, "");  // with -c the registry is not read
}

TEST_F(SettingsTest, RegistryValuesAndTheirNarrowerRanges) {
  Write("agent.reg",
        "# agent key\n"
        "VARO_HOST=central.example\n"
        "VARO_PORT=65535\n"
        "agentid=0\n"
        "AgentCrtPath=/etc/varo/agent.crt\n"
        "LogLevel=Warning\n"
        "ShortWait=0\n"
        "LongWait=12\n"
        "AlertThreads=0\n"
        "EnableSMTP=yes\n"
        "EnableSNMP=True\n"
        "ConnectTimeout=7\n");
  Parse({"-m", "-a", "2"});
  const Settings& s = GetSettings();
  EXPECT_EQ(s.varo_host, "central.example");
  EXPECT_EQ(s.varo_port, 5634);  // 65535 is out of the registry's range
  EXPECT_EQ(s.agent_id, -1);     // so is 0
  EXPECT_EQ(s.agent_ssl_crt, "/etc/varo/agent.crt");
  EXPECT_EQ(s.log_level, 1);
  EXPECT_EQ(s.short_wait, 10);
  EXPECT_EQ(s.long_wait, 12);
  EXPECT_EQ(s.alert_threads, 2);  // 0 leaves -a in force
  EXPECT_TRUE(s.enable_smtp);     // "yes" leaves -m in force
  EXPECT_TRUE(s.enable_snmp);
  EXPECT_EQ(s.connect_timeout, 7);

  GetSettings() = Settings{};
  PublishSettings();
  Write("agent.reg", "VARO_HOST=h\nVARO_PORT=1\nAgentID=2147483646\nVARO_PORT=65534\n");
  Parse({});
  EXPECT_EQ(GetSettings().varo_port, 65534);  // the later line wins
  EXPECT_EQ(GetSettings().agent_id, 2147483646);
}

TEST_F(SettingsTest, EverySettingReachesItsFieldFromFileOptionsAndRegistry) {
  struct Case {
    const char* name;
    const char* registryName;
    const char* value;
  };
  const Case cases[] = {
      {"varo_host", "VARO_HOST", "h"},
      {"varo_port", "VARO_PORT", "6001"},
      {"agent_id", "AgentID", "9"},
      {"agent_ssl_key", "AgentKeyPath", "/k"},
      {"agent_ssl_crt", "AgentCrtPath", "/c"},
      {"agent_flag_dir", "AgentFlagDir", "/f"},
      {"log_level", "LogLevel", "DEBUG1"},
      {"long_wait", "LongWait", "40"},
      {"short_wait", "ShortWait", "5"},
      {"alert_threads", "AlertThreads", "3"},
      {"enable_smtp", "EnableSMTP", "true"},
      {"enable_snmp", "EnableSNMP", "True"},
      {"connect_timeout", "ConnectTimeout", "8"},
  };
  auto check = [](const char* source) {
    SCOPED_TRACE(source);
    const Settings& s = GetSettings();
    EXPECT_EQ(s.varo_host, "h");
    EXPECT_EQ(s.varo_port, 6001);
    EXPECT_EQ(s.agent_id, 9);
    EXPECT_EQ(s.agent_ssl_key, "/k");
    EXPECT_EQ(s.agent_ssl_crt, "/c");
    EXPECT_EQ(s.agent_flag_dir, "/f");
    EXPECT_EQ(s.log_level, 2);
    EXPECT_EQ(s.long_wait, 40);
    EXPECT_EQ(s.short_wait, 5);
    EXPECT_EQ(s.alert_threads, 3);
    EXPECT_TRUE(s.enable_smtp);
    EXPECT_TRUE(s.enable_snmp);
    EXPECT_EQ(s.connect_timeout, 8);
  };
  std::string registry;
  std::string file = "[VARO/agent]\n";
  std::vector<std::string> overrides;
  for (const Case& c : cases) {
    registry += std::string(c.registryName) + "=" + c.value + "\n";
    file += std::string(c.name) + "=" + c.value + "\n";
    overrides.push_back("-o");
    overrides.push_back(std::string(c.name) + "=" + c.value);
  }
  Write("agent.reg", registry);
  Parse({});
  check("registry");
  GetSettings() = Settings{};
  PublishSettings();
  Parse({"-c", Write("agent.ini", file)});
  check("file");
  GetSettings() = Settings{};
  PublishSettings();
  fs::remove(registry_);
  Parse(overrides);
  check("-o");
}

TEST_F(SettingsTest, RegistryPathThatIsADirectoryIsUnreadable) {
  fs::create_directories(registry_);
  RegistryFile key(registry_);
  EXPECT_EQ(key.state(), RegistryFile::State::kUnreadable);
  EXPECT_FALSE(key.error().empty());
}

TEST_F(SettingsDeathTest, FatalSettingErrorsEndTheAgent) {
  // The message texts are checked on the real program's output elsewhere.
  EXPECT_EXIT(Parse({"-o", "agent_id=abc"}), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(Parse({"-o", "nonsense"}), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(Parse({"-t"}), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(Parse({"-c", Write("bad.ini", "[VARO/agent]\nport 5432\n")}),
              ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(Parse({"-c", Write("unknown.ini", "[VARO/agent]\nvaro_prot=1\n")}),
              ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(Parse({"-c", Write("latin1.ini", "[VARO/agent]\nvaro_host=h\xF6st\n")}),
              ::testing::ExitedWithCode(1), "");
  // A directory is no configuration file, not an empty one.
  fs::create_directories(dir_ / "conf.d");
  EXPECT_EXIT(Parse({"-c", (dir_ / "conf.d").string()}), ::testing::ExitedWithCode(1), "");
  // The registry file: the host, port and agent id must be readable.
  Write("agent.reg", "VARO_HOST=h\nVARO_PORT=5432\n");
  EXPECT_EXIT(Parse({}), ::testing::ExitedWithCode(1), "");
  Write("agent.reg", "VARO_HOST=h\nVARO_PORT=port\nAgentID=3\n");
  EXPECT_EXIT(Parse({}), ::testing::ExitedWithCode(1), "");
  Write("agent.reg", "VARO_HOST h\n");
  EXPECT_EXIT(Parse({}), ::testing::ExitedWithCode(1), "");
}

TEST_F(SettingsDeathTest, BadCommandLinePrintsUsageAndExitsOne) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-x"}, {"file"}, {"-l", "loud"}, {"-"}}) {
    EXPECT_EXIT(Parse(args), ::testing::ExitedWithCode(1), "") << args[0];
  }
}

}  // namespace
