// The varo-agent program's command line, run as a real process: usage text,
// exit codes, fatal setting errors in the foreground, and INSTALL / REMOVE of
// the systemd unit file (in a private unit directory; no systemd runs here).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"

namespace fs = std::filesystem;

namespace {

const std::string kAgent = std::string(VARO_BINARY_DIR) + "/varo-agent";

std::string Usage(const std::string& name) {
  return "Usage:\n" + name + " REMOVE <serviceName>\n" + name +
         " INSTALL <serviceName> [options]\n" + name +
         " DEBUG [options]\n"
         "options:\n"
         "-c <configuration file>\n"
         "-o <option name>=<option value>\n"
         "-u <user or DOMAIN\\user>\n"
         "-p <password>\n"
         "-d <displayname>\n"
         "-t <poll time interval in seconds (default 10)>\n"
         "-r <retry period after connection abort in seconds (>=10, default 30)>\n"
         "-l <logging verbosity (ERROR, WARNING, DEBUG1, DEBUG2, default ERROR)>\n";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Splits an ExecStart= value as systemd does: words separated by blanks,
// double-quoted words with C escapes, "%%" and "$$" standing for % and $.
std::vector<std::string> SplitExecStart(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    std::string word;
    bool quoted = line[i] == '"';
    if (quoted) ++i;
    while (i < line.size() && (quoted ? line[i] != '"' : line[i] != ' ')) {
      char c = line[i++];
      if (c == '\\' && i < line.size()) {
        char e = line[i++];
        word += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
      } else if ((c == '%' || c == '$') && i < line.size() && line[i] == c) {
        word += c;
        ++i;
      } else {
        word += c;
      }
    }
    if (quoted) ++i;
    words.push_back(word);
  }
  return words;
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("varo-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "units");
    env_ = {"VARO_SYSTEMD_DIR=" + (dir_ / "units").string(),
            "VARO_REGISTRY_FILE=" + (dir_ / "agent.reg").string()};
  }
  void TearDown() override { fs::remove_all(dir_); }

  ProcessResult Agent(std::vector<std::string> args, const std::string& program = kAgent) {
    args.insert(args.begin(), program);
    return RunProcess(args, env_);
  }
  std::string Unit(const std::string& name) { return ReadFile(dir_ / "units" / (name + ".service")); }
  std::string ExecStart(const std::string& unit) {
    size_t at = unit.find("ExecStart=");
    if (at == std::string::npos) return "";
    size_t end = unit.find('\n', at);
    return unit.substr(at + 10, end - at - 10);
  }

  fs::path dir_;
  std::vector<std::string> env_;
};

TEST_F(CommandLine, UsageTextAndExitCodes) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  };
  const Case cases[] = {
      {{}, 0},                       // no verb
      {{"debug"}, 0},                // verbs are case-sensitive
      {{"START", "svc"}, 0},         // unknown verb
      {{"DEBUG", "-x"}, 1},          // bad option letter
      {{"DEBUG", "stray"}, 1},       // non-option argument
      {{"DEBUG", "-l", "chatty"}, 1},  // bad -l value
      {{"INSTALL"}, 1},              // no service name
  };
  for (const Case& c : cases) {
    ProcessResult r = Agent(c.args);
    std::string shown = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(r.exitCode, c.exitCode) << shown;
    EXPECT_EQ(r.output, Usage("varo-agent")) << shown;
  }
}

TEST_F(CommandLine, ProgramNameDropsDirectoryAndExtension) {
  fs::copy_file(kAgent, dir_ / "agent.bin");
  ProcessResult r = Agent({}, (dir_ / "agent.bin").string());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, Usage("agent"));
}

TEST_F(CommandLine, ForegroundFatalSettingErrors) {
  ProcessResult r = Agent({"DEBUG", "-o", "agent_id=abc"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "ERROR: agent_id must be an integer between 0 and 2147483647\n");

  r = Agent({"DEBUG", "-o", "varo_port=65536"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "ERROR: varo_port must be an integer between 0 and 65535\n");

  std::ofstream(dir_ / "a.ini") << "[VARO/agent]\nlog_levle=debug1\n";
  r = Agent({"DEBUG", "-c", (dir_ / "a.ini").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "ERROR: invalid configuration parameter: log_levle\n");

  r = Agent({"DEBUG", "-c"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "ERROR: Invalid command line argument\n");

  std::ofstream(dir_ / "b.ini", std::ios::binary) << "[VARO/agent]\nvaro_host=\xFF\n";
  r = Agent({"DEBUG", "-c", (dir_ / "b.ini").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "ERROR: unable to read configuration entry for varo_host\n");

  // A missing file is only a warning, shown at log level warning; an error
  // after it still ends the agent.
  r = Agent({"DEBUG", "-lwarning", "-c", (dir_ / "none.ini").string(), "-o", "x=1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "WARNING: unable to read configuration file " + (dir_ / "none.ini").string() +
                          "\nERROR: invalid configuration parameter: x\n");
}

TEST_F(CommandLine, InstallWritesTheUnitFile) {
  ProcessResult r = Agent({"INSTALL", "svc", "-c", "/etc/varo/agent.ini", "-l", "debug1"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "");  // nothing printed on success
  EXPECT_EQ(Unit("svc"),
            "[Unit]\n"
            "Description=Corvane - svc\n"
            "\n[Service]\n"
            "Type=notify\n"
            "ExecStart=" + kAgent + " RUN svc -c /etc/varo/agent.ini -l debug1\n"
            "\n[Install]\n"
            "WantedBy=multi-user.target\n");

  // -d, -u and -p are taken out wherever they stand; everything else is
  // appended in order.
  r = Agent({"INSTALL", "svc2", "-lDEBUG2", "-dVaro agent", "-u", "monitor", "x", "-p", "secret"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::string unit = Unit("svc2");
  EXPECT_NE(unit.find("Description=Varo agent\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("User=monitor\n"), std::string::npos) << unit;
  EXPECT_EQ(unit.find("secret"), std::string::npos) << unit;
  EXPECT_EQ(ExecStart(unit), kAgent + " RUN svc2 -lDEBUG2 x");

  // ".\name" and a domain account both name the local user after the backslash.
  Agent({"INSTALL", "svc3", "-u", ".\\postgres"});
  EXPECT_NE(Unit("svc3").find("User=postgres\n"), std::string::npos);
  Agent({"INSTALL", "svc4", "-uCORP\\varo"});
  EXPECT_NE(Unit("svc4").find("User=varo\n"), std::string::npos);
  EXPECT_EQ(Unit("svc").find("User="), std::string::npos);  // no -u: root
}

TEST_F(CommandLine, InstallQuotesWhatSystemdWouldSplitOrExpand) {
  fs::create_directories(dir_ / "with blank");
  const std::string program = (dir_ / "with blank" / "varo-agent").string();
  fs::copy_file(kAgent, program);
  const std::vector<std::string> args = {"-c", "/etc/my configs/agent.ini", "-o", "varo_host=a\"b\\c",
                                         "-o", "agent_flag_dir=/var/%i/$HOME", ";"};
  std::vector<std::string> command = {"INSTALL", "svc", "-d", "50% of\nagents\\"};
  command.insert(command.end(), args.begin(), args.end());
  ProcessResult r = Agent(command, program);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::string unit = Unit("svc");
  std::vector<std::string> expected = {program, "RUN", "svc"};
  expected.insert(expected.end(), args.begin(), args.end());
  EXPECT_EQ(SplitExecStart(ExecStart(unit)), expected) << unit;
  EXPECT_EQ(ExecStart(unit).rfind("\"" + program + "\" RUN svc ", 0), 0u) << unit;
  // The display name stays on its line and cannot start a new one.
  EXPECT_NE(unit.find("Description=50%% of agents\n"), std::string::npos) << unit;
}

TEST_F(CommandLine, InstallRefusesUnsafeNamesAndReportsWriteFailures) {
  ProcessResult r = Agent({"INSTALL", "../escape"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("ERROR: invalid service name ../escape"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(dir_ / "escape.service"));

  r = Agent({"INSTALL", "svc", "-u", "bad\nuser"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(fs::exists(dir_ / "units" / "svc.service"));

  r = Agent({"INSTALL", "svc", "-d"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "ERROR: Invalid command line argument\n");

  env_[0] = "VARO_SYSTEMD_DIR=" + (dir_ / "no-such-dir").string();
  r = Agent({"INSTALL", "svc"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "ERROR: " + (dir_ / "no-such-dir" / "svc.service").string() +
                          ": No such file or directory\n");
}

TEST_F(CommandLine, RemoveDeletesTheUnitFile) {
  ASSERT_EQ(Agent({"INSTALL", "svc"}).exitCode, 0);
  ASSERT_TRUE(fs::exists(dir_ / "units" / "svc.service"));
  ProcessResult r = Agent({"REMOVE", "svc"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_FALSE(fs::exists(dir_ / "units" / "svc.service"));
  // Removing what is not installed is quiet as well.
  r = Agent({"REMOVE", "svc"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "");
}

}  // namespace
