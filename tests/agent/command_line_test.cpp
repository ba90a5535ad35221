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
  std::string Unit(const std::string& name) {
    return ReadFile(dir_ / "units" / (name + ".service"));
  }
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
      {{}, 0},                         // no verb
      {{"debug"}, 0},                  // verbs are case-sensitive
      {{"START", "svc"}, 0},           // unknown verb
      {{"DEBUG", "-x"}, 1},            // bad option letter
      {{"DEBUG", "stray"}, 1},         // non-option argument
      {{"DEBUG", "-l", "chatty"}, 1},  // bad -l value
      {{"INSTALL"}, 1},                // no service name
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
            "ExecStart=" +
                kAgent +
                " RUN svc -c /etc/varo/agent.ini -l debug1\n"
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

// The unit starts the program that ran INSTALL, whatever its first argument
// claimed; a path through a symbolic link stays as given.
TEST_F(CommandLine, InstallNamesTheRunningProgram) {
  fs::create_directories(dir_ / "sbin");
  const std::string program = (dir_ / "sbin" / "varo-agent").string();
  fs::copy_file(kAgent, program);
  fs::create_symlink(program, dir_ / "varo-link");
  struct Case {
    std::string argv0;
    std::string execStart;
  };
  const Case cases[] = {
      {"build/varo-agent", program},  // relative, names no file from here
      {"/bin/sh", program},           // names another file
      {"varo-agent", program},        // not on PATH
      {program, program},
      {(dir_ / "varo-link").string(), (dir_ / "varo-link").string()},
  };
  for (const Case& c : cases) {
    ProcessResult r = RunProcess(
        {"bash", "-c", "cd / && exec -a \"$0\" \"$1\" INSTALL svc", c.argv0, program}, env_);
    ASSERT_EQ(r.exitCode, 0) << c.argv0 << ": " << r.output;
    EXPECT_EQ(SplitExecStart(ExecStart(Unit("svc"))),
              (std::vector<std::string>{c.execStart, "RUN", "svc"}))
        << c.argv0;
  }
}

TEST_F(CommandLine, InstallQuotesWhatSystemdWouldSplitOrExpand) {
  fs::create_directories(dir_ / "with blank");
  const std::string program = (dir_ / "with blank" / "varo-agent").string();
  fs::copy_file(kAgent, program);
  const std::vector<std::string> args = {
      "-c", "/etc/my configs/agent.ini",    "-o", "varo_host=a\"b\\c",
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

TEST_F(CommandLine, AgentThreadThatCannotStartIsAnErrorAtTheDefaultLevel) {
  // A limit of one process for the user leaves no room for the agent thread.
  // root is not held to that limit, so as root the agent runs as nobody.
  std::vector<std::string> command = {"prlimit", "--nproc=1", kAgent, "DEBUG"};
  if (::geteuid() == 0) {
    command.insert(command.begin(),
                   {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  ProcessResult r = RunProcess(command, env_);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output.rfind("ERROR: unable to start the agent thread: ", 0), 0u) << r.output;
}

TEST_F(CommandLine, NamesSystemctlWouldMisreadAreRefused) {
  for (const char* name : {"-svc", "--now", "svc@"}) {
    for (const char* verb : {"INSTALL", "REMOVE"}) {
      ProcessResult r = Agent({verb, name});
      EXPECT_EQ(r.exitCode, 1) << verb << " " << name;
      EXPECT_NE(r.output.find(std::string("ERROR: invalid service name ") + name),
                std::string::npos)
          << r.output;
    }
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "units"));
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

// INSTALL and REMOVE where systemd runs the host. No systemd runs here, so
// the agent runs in a private mount namespace that has /run/systemd/system and
// the test's unit directory at /etc/systemd/system, with a stand-in systemctl
// first on PATH. The stand-in records its arguments; STANDIN_FAIL names the
// commands that fail, STANDIN_IS_ACTIVE is what is-active prints (nothing and
// a failure exit code when empty, as on a bus or permission error).
class CommandLineWithSystemd : public CommandLine {
 protected:
  void SetUp() override {
    CommandLine::SetUp();
    ProcessResult probe = RunProcess({"unshare", "--mount", "--", "/bin/sh", "-c",
                                      "mount -t tmpfs tmpfs /run && test -d /etc/systemd/system"});
    if (probe.exitCode != 0) GTEST_SKIP() << "no private mount namespace here: " << probe.output;
    fs::create_directories(dir_ / "bin");
    const fs::path standIn = dir_ / "bin" / "systemctl";
    std::ofstream(standIn)
        << "#!/bin/sh\n"
           "echo \"$*\" >> \"$STANDIN_LOG\"\n"
           "case \" $STANDIN_FAIL \" in *\" $1 \"*) echo \"stand-in: $1 failed\" >&2; exit 1;; "
           "esac\n"
           "if [ \"$1\" = is-active ]; then\n"
           "  [ -n \"$STANDIN_IS_ACTIVE\" ] || { echo 'Failed to connect to bus' >&2; exit 1; }\n"
           "  echo \"$STANDIN_IS_ACTIVE\"\n"
           "  [ \"$STANDIN_IS_ACTIVE\" = active ] && exit 0 || exit 3\n"
           "fi\n"
           "exit 0\n";
    fs::permissions(standIn, fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    env_ = {"VARO_SYSTEMD_DIR=", "VARO_REGISTRY_FILE=" + (dir_ / "agent.reg").string(),
            "PATH=" + (dir_ / "bin").string() + ":" + (path ? path : "/usr/bin:/bin"),
            "STANDIN_LOG=" + (dir_ / "systemctl.log").string()};
  }

  ProcessResult AgentUnderSystemd(const std::vector<std::string>& args,
                                  const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> argv = {
        "unshare",
        "--mount",
        "--",
        "/bin/sh",
        "-c",
        "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && "
        "mount --bind \"$1\" /etc/systemd/system && shift && exec \"$@\"",
        "sh",
        (dir_ / "units").string(),
        kAgent};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = env_;
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return RunProcess(argv, env);
  }
  std::string SystemctlLog() { return ReadFile(dir_ / "systemctl.log"); }
};

TEST_F(CommandLineWithSystemd, InstallWarningsAreShownAtEveryLogLevel) {
  ProcessResult r = AgentUnderSystemd({"INSTALL", "svc"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(SystemctlLog(), "daemon-reload\nenable svc\n");

  r = AgentUnderSystemd({"INSTALL", "svc"}, {"STANDIN_FAIL=daemon-reload enable"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("WARNING: systemctl daemon-reload failed; the unit is installed but "
                          "not yet loaded\n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("WARNING: systemctl enable svc failed; the service will not start at "
                          "boot\n"),
            std::string::npos)
      << r.output;
  EXPECT_TRUE(fs::exists(dir_ / "units" / "svc.service"));
}

TEST_F(CommandLineWithSystemd, RemoveStopsDisablesDeletesAndReloads) {
  ASSERT_EQ(AgentUnderSystemd({"INSTALL", "svc"}).exitCode, 0);
  fs::remove(dir_ / "systemctl.log");
  ProcessResult r = AgentUnderSystemd({"REMOVE", "svc"}, {"STANDIN_IS_ACTIVE=inactive"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(SystemctlLog(), "stop svc\nis-active svc\ndisable svc\ndaemon-reload\n");
  EXPECT_FALSE(fs::exists(dir_ / "units" / "svc.service"));
}

TEST_F(CommandLineWithSystemd, RemoveFailuresAreErrors) {
  struct Case {
    std::vector<std::string> env;
    std::string message;
    bool unitStays;
  };
  const Case cases[] = {
      // The unit never stops: five queries one second apart, then an error.
      {{"STANDIN_IS_ACTIVE=active", "STANDIN_FAIL=stop"},
       "ERROR: the service svc did not stop (systemctl stop exit status 1); it stays installed\n",
       true},
      // is-active cannot answer (bus or permission error): not "stopped".
      {{"STANDIN_IS_ACTIVE="},
       "ERROR: unable to find out whether the service svc has stopped; it stays installed\n",
       true},
      {{"STANDIN_IS_ACTIVE=failed", "STANDIN_FAIL=disable"},
       "ERROR: systemctl disable svc failed; the service stays installed\n",
       true},
      {{"STANDIN_IS_ACTIVE=inactive", "STANDIN_FAIL=daemon-reload"},
       "ERROR: systemctl daemon-reload failed; the unit file " +
           (fs::path("/etc/systemd/system") / "svc.service").string() +
           " is deleted but systemd still knows the service\n",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ASSERT_EQ(AgentUnderSystemd({"INSTALL", "svc"}).exitCode, 0);
    ProcessResult r = AgentUnderSystemd({"REMOVE", "svc"}, c.env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_EQ(fs::exists(dir_ / "units" / "svc.service"), c.unitStays);
  }
}

}  // namespace
