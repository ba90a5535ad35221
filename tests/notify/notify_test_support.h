// Shared set-up of the spooler tests: the test cluster's central database as
// agent 12, the process-wide state the spoolers read (settings, log level,
// log sink), free loopback ports, a spooler thread that is asked to end and
// waited for when the test ends, and the peers as child processes: an SMTP
// server (aiosmtpd, tests/notify/smtp_sink.py) and a trap receiver (snmptrapd).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "db/db_settings.h"
#include "platform/detached_thread.h"
#include "platform/log.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/pg_cluster.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace notify_test {

using namespace std::chrono_literals;

// A loopback port that was free a moment ago (SOCK_STREAM or SOCK_DGRAM).
inline int FreePort(int type) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ADD_FAILURE() << "no free port";
  }
  close(fd);
  return ntohs(addr.sin_port);
}

// `text` as an SQL literal.
inline std::string Literal(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += '\'';
    quoted += c;
  }
  return quoted + "'";
}

inline std::string Exec(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

inline void SetConfig(const std::string& param, const std::string& value) {
  Exec("INSERT INTO varo.config (param, value) VALUES (" + Literal(param) + ", " + Literal(value) +
       ") ON CONFLICT (param) DO UPDATE SET value = EXCLUDED.value");
}

// Runs a spooler thread for the life of the object; the destructor asks it
// to end and waits until it has (objects are destroyed in the reverse order
// of their making).
template <class T>
class RunningSpooler {
 public:
  explicit RunningSpooler(std::unique_ptr<T> spooler)
      : before_(DetachedThread::LiveCount()), thread_(StartDetachedThread(std::move(spooler))) {
    EXPECT_NE(thread_, nullptr);
  }
  ~RunningSpooler() {
    if (thread_ != nullptr) thread_->Delete();
    EXPECT_TRUE(WaitUntil([this] { return DetachedThread::LiveCount() <= before_; }, 60s))
        << "the spooler did not end";
  }
  RunningSpooler(const RunningSpooler&) = delete;
  RunningSpooler& operator=(const RunningSpooler&) = delete;

 private:
  int before_;
  T* thread_;
};

// The SMTP server as a child process; what it received, one summary per mail.
class SmtpSink {
 public:
  SmtpSink() : port_(FreePort(SOCK_STREAM)) {}

  int port() const { return port_; }
  const TempDir& dir() const { return dir_; }

  bool Start(const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     std::string(VARO_SOURCE_DIR) + "/tests/notify/smtp_sink.py",
                                     std::to_string(port_), dir_.str()};
    argv.insert(argv.end(), options.begin(), options.end());
    return process_.Start(argv) && process_.WaitForOutput("READY", 60s);
  }
  std::string Output() { return process_.Output(); }

  // The summaries (N.txt) of the mails received so far, in order.
  std::vector<std::string> Mails() const {
    std::map<int, std::string> byNumber;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      if (entry.path().extension() != ".txt") continue;
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      byNumber[std::stoi(entry.path().stem().string())] = text.str();
    }
    std::vector<std::string> mails;
    for (auto& [number, text] : byNumber) mails.push_back(text);
    return mails;
  }

 private:
  int port_;
  TempDir dir_{"varo-smtp-"};
  ChildProcess process_;
};

// snmptrapd as a child process on a free UDP port.
class TrapReceiver {
 public:
  TrapReceiver() : port_(FreePort(SOCK_DGRAM)) {}

  int port() const { return port_; }

  bool Start() {
    const std::string conf = dir_.str() + "/snmptrapd.conf";
    std::ofstream(conf) << "authCommunity log varo-test\n";
    return process_.Start({"/usr/sbin/snmptrapd", "-f", "-Lf", log_, "-C", "-c", conf, "-On", "-M",
                           "/dev/null", "-m", "", "udp:127.0.0.1:" + std::to_string(port_)},
                          {"SNMP_PERSISTENT_DIR=" + dir_.str()}) &&
           WaitUntil([this] { return Log().find("NET-SNMP version") != std::string::npos; }, 60s);
  }
  std::string Output() { return process_.Output(); }

  std::string Log() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  int port_;
  TempDir dir_{"varo-traps-"};
  std::string log_ = dir_.str() + "/traps.log";
  ChildProcess process_;
};

// The central database as agent 12, at log level debug2 with the log captured.
class SpoolerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    central_test::EnsureAgent12();
    central_test::UseClusterSettings();
    SetLogLevel(LOG_DEBUG2);
  }

  // Waits until the log holds `text` at least `times` times.
  bool WaitForLog(const std::string& text, int times = 1, std::chrono::milliseconds limit = 60s) {
    return WaitUntil([&] { return CountOf(log_.Text(), text) >= times; }, limit);
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
  LogLevelGuard level_;
  LogCapture log_;
};

}  // namespace notify_test
