// The sample configuration file and the manual page installed with the agent,
// as the build makes them: both must name every setting the agent knows, and
// the sample must show each setting with its default, so that neither drifts
// from the code.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "agent/configuration.h"
#include "agent/settings.h"
#include "platform/ini_file.h"
#include "settings_guard.h"
#include "support/global_state.h"

namespace {

const std::string kSample = std::string(VARO_BINARY_DIR) + "/packaging/agent.ini";
const std::string kManPage = std::string(VARO_BINARY_DIR) + "/packaging/varo-agent.8";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The sample with the "#" taken off every line that shows a setting
// ("#name = value"), which is what a user does to change one.
std::string Uncommented(const std::string& sample) {
  std::istringstream lines(sample);
  std::string result;
  std::string line;
  while (std::getline(lines, line)) {
    size_t end = 1;
    while (end < line.size() &&
           (isalpha(static_cast<unsigned char>(line[end])) || line[end] == '_')) {
      ++end;
    }
    const size_t equals = line.find_first_not_of(' ', end);
    const bool setting = line.size() > 1 && line[0] == '#' && end > 1 &&
                         equals != std::string::npos && line[equals] == '=';
    result += setting ? line.substr(1) : line;
    result += '\n';
  }
  return result;
}

// Whether `word` stands in `text` between characters that cannot be part of a
// name.
bool MentionsWord(const std::string& text, const std::string& word) {
  auto isNameChar = [](char c) { return isalpha(static_cast<unsigned char>(c)) || c == '_'; };
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const size_t after = at + word.size();
    if ((at == 0 || !isNameChar(text[at - 1])) &&
        (after == text.size() || !isNameChar(text[after]))) {
      return true;
    }
  }
  return false;
}

void ExpectDefaults(const Settings& s) {
  const Settings d;
  EXPECT_EQ(s.varo_host, d.varo_host);
  EXPECT_EQ(s.varo_port, d.varo_port);
  EXPECT_EQ(s.agent_id, d.agent_id);
  EXPECT_EQ(s.agent_ssl_key, d.agent_ssl_key);
  EXPECT_EQ(s.agent_ssl_crt, d.agent_ssl_crt);
  EXPECT_EQ(s.connect_timeout, d.connect_timeout);
  EXPECT_EQ(s.agent_flag_dir, d.agent_flag_dir);
  EXPECT_EQ(s.log_level, d.log_level);
  EXPECT_EQ(s.long_wait, d.long_wait);
  EXPECT_EQ(s.short_wait, d.short_wait);
  EXPECT_EQ(s.alert_threads, d.alert_threads);
  EXPECT_EQ(s.enable_smtp, d.enable_smtp);
  EXPECT_EQ(s.enable_snmp, d.enable_snmp);
}

class SampleConfiguration : public ::testing::Test {
 protected:
  void SetUp() override {
    GetSettings() = Settings{};
    PublishSettings();
    sample_ = ReadFile(kSample);
    ASSERT_FALSE(sample_.empty()) << kSample;
  }

  SettingsGuard settings_;
  std::string sample_;
};

TEST_F(SampleConfiguration, AsShippedItIsReadWithoutAWordAndChangesNothing) {
  LogCapture log;
  LogLevelGuard level;
  SetLogLevel(LOG_DEBUG2);
  LoadConfigurationFile(kSample);
  EXPECT_EQ(log.Text(), "");
  ExpectDefaults(GetSettings());
}

TEST_F(SampleConfiguration, ShowsEverySettingOnceWithItsDefault) {
  IniParseResult parsed = ParseIni(Uncommented(sample_));
  ASSERT_EQ(parsed.error, "") << "line " << parsed.errorLine;
  std::map<std::string, int> shown;
  for (const IniEntry& entry : parsed.entries) {
    ASSERT_EQ(entry.group, "VARO/agent") << entry.name << " (line " << entry.line << ")";
    ++shown[entry.name];
    // Uncommenting a line keeps the default. A setting that must be set has
    // no default to show and is shown without a value.
    const std::string error = ApplySetting(entry.name, entry.value);
    if (!entry.value.empty()) {
      EXPECT_EQ(error, "") << entry.name;
    }
  }
  ExpectDefaults(GetSettings());
  for (const SettingNames& setting : ListSettings()) {
    EXPECT_EQ(shown[setting.name], 1) << setting.name;
    shown.erase(setting.name);
  }
  for (const auto& [name, count] : shown) ADD_FAILURE() << "unknown setting " << name;
}

TEST(ManPage, NamesEveryVerbOptionSettingAndRegistryValue) {
  const std::string page = ReadFile(kManPage);
  ASSERT_FALSE(page.empty()) << kManPage;
  auto mentions = [&page](const std::string& word) { return MentionsWord(page, word); };
  for (const SettingNames& setting : ListSettings()) {
    EXPECT_TRUE(mentions(setting.name)) << setting.name;
    EXPECT_TRUE(mentions(setting.registryName)) << setting.registryName;
  }
  for (const char* word : {"INSTALL", "REMOVE", "RUN", "DEBUG", "SIGTERM", "SIGINT", "SIGUSR1",
                           "SIGUSR2", "VARO_SYSTEMD_DIR", "VARO_REGISTRY_FILE"}) {
    EXPECT_TRUE(mentions(word)) << word;
  }
  // Every option letter of the usage text and of the agent options ("\-c").
  for (const char letter : std::string("cdulprtamno")) {
    EXPECT_TRUE(mentions(std::string("\\-") + letter)) << letter;
  }
  for (const char* section :
       {"SYNOPSIS", "OPTIONS", "SETTINGS", "FILES", "SIGNALS", "EXIT STATUS"}) {
    EXPECT_NE(page.find(std::string(".SH ") + section + "\n"), std::string::npos) << section;
  }
}

}  // namespace
