// Shared set-up of the spooler tests: the test cluster's central database as
// agent 12, the process-wide state the spoolers read (settings, log level,
// log sink), free loopback ports, and a spooler thread that is asked to end
// and waited for when the test ends.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "db/db_settings.h"
#include "platform/detached_thread.h"
#include "platform/log.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/pg_cluster.h"
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

// The central database as agent 12, at log level debug2 with the log captured.
class SpoolerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    central_test::EnsureAgent12();
    central_test::UseClusterSettings();
    SetLogLevel(LOG_DEBUG2);
  }

  // Waits until the log holds `text` at least `times` times.
  bool WaitForLog(const std::string& text, int times = 1,
                  std::chrono::milliseconds limit = 60s) {
    return WaitUntil([&] { return CountOf(log_.Text(), text) >= times; }, limit);
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
  LogLevelGuard level_;
  LogCapture log_;
};

}  // namespace notify_test
