// The captured process against real /bin/sh children: one pipe for both
// output streams, a clean signal state, a process group of its own, the output
// limit, a daemon left holding the pipe, and the end of every script at stop.
#include "platform/captured_process.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/wait.h"

namespace {

std::string RunScript(const std::string& script, size_t limit = 1 << 20,
                      CapturedProcess::Outcome* outcome = nullptr, int* status = nullptr) {
  CapturedProcess process;
  std::string error;
  EXPECT_TRUE(process.Start({"/bin/sh", "-c", script}, &error)) << error;
  std::string out;
  CapturedProcess::Outcome got = process.ReadAll(limit, &out);
  if (outcome) *outcome = got;
  if (status) *status = process.waitStatus();
  EXPECT_EQ(process.pid(), -1) << "the child is reaped";
  return out;
}

TEST(CapturedProcess, BothStreamsOnOnePipeAndStdinEmpty) {
  CapturedProcess::Outcome outcome;
  int status = 0;
  std::string out =
      RunScript("echo out; echo err >&2; cat; echo end; exit 3", 1 << 20, &outcome, &status);
  EXPECT_EQ(outcome, CapturedProcess::Outcome::kExited);
  EXPECT_EQ(out, "out\nerr\nend\n");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST(CapturedProcess, ChildHasCleanSignalsAndOwnGroup) {
  // The agent blocks and ignores signals on its threads; the child must not
  // inherit that.
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &block, &old);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction oldUsr1 {};
  sigaction(SIGUSR1, &ignore, &oldUsr1);

  std::string out = RunScript(
      "grep -E '^Sig(Blk|Ign):' /proc/self/status; "
      "set -- $(cut -d')' -f2 /proc/$$/stat); echo pgid=$3 pid=$$");
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  sigaction(SIGUSR1, &oldUsr1, nullptr);

  EXPECT_NE(out.find("SigBlk:\t0000000000000000"), std::string::npos) << out;
  // Nothing the agent ignores stays ignored (glibc's own signals 32 and 33
  // are out of reach of posix_spawn and are not looked at).
  size_t ign = out.find("SigIgn:\t");
  ASSERT_NE(ign, std::string::npos) << out;
  const unsigned long long ignored = std::stoull(out.substr(ign + 8, 16), nullptr, 16);
  EXPECT_EQ(ignored & 0x7FFFFFFFull, 0u) << out;
  size_t pgid = out.find("pgid=");
  ASSERT_NE(pgid, std::string::npos) << out;
  std::string group = out.substr(pgid + 5, out.find(' ', pgid) - pgid - 5);
  EXPECT_EQ("pgid=" + group + " pid=" + group + "\n", out.substr(pgid)) << out;
  EXPECT_NE(group, std::to_string(getpgrp()));
}

TEST(CapturedProcess, OutputPastTheLimitKillsTheGroup) {
  CapturedProcess::Outcome outcome;
  std::string out = RunScript("sleep 600 & echo $! > /dev/null; head -c 100000000 /dev/zero; wait",
                              1 << 20, &outcome);
  EXPECT_EQ(outcome, CapturedProcess::Outcome::kTooMuch);
  EXPECT_LE(out.size(), 1u << 20);
}

TEST(CapturedProcess, DaemonHoldingThePipeDoesNotHoldTheRead) {
  CapturedProcess process;
  std::string error;
  ASSERT_TRUE(process.Start({"/bin/sh", "-c", "sleep 600 & echo started"}, &error)) << error;
  const pid_t group = process.pid();
  std::string out;
  EXPECT_EQ(process.ReadAll(1 << 20, &out), CapturedProcess::Outcome::kExited);
  EXPECT_EQ(out, "started\n");
  // The sleep lives on in the script's group; clean it up.
  EXPECT_EQ(kill(-group, SIGKILL), 0);
}

TEST(CapturedProcess, MissingProgramFailsToStart) {
  CapturedProcess process;
  std::string error;
  EXPECT_FALSE(process.Start({"/nonexistent/program"}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(process.pid(), -1);
}

TEST(CapturedProcess, DestructorKillsAndReapsARunningChild) {
  pid_t child;
  {
    CapturedProcess process;
    std::string error;
    ASSERT_TRUE(process.Start({"/bin/sh", "-c", "sleep 600"}, &error)) << error;
    child = process.pid();
  }
  EXPECT_EQ(kill(child, 0), -1) << "reaped, so no zombie is left";
}

// Ending every script is final for the process, so it runs in a child process.
TEST(CapturedProcessDeathTest, EndAllEndsRunningScriptsAndRefusesNewOnes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        CapturedProcess::Outcome outcome = CapturedProcess::Outcome::kExited;
        char dir[] = "/tmp/varo_endall_XXXXXX";
        if (mkdtemp(dir) == nullptr) _exit(5);
        const std::string mark = std::string(dir) + "/begun";
        std::thread reader([&outcome, &mark] {
          CapturedProcess process;
          std::string error;
          if (!process.Start({"/bin/sh", "-c", "touch \"$0\"; sleep 600", mark}, &error)) {
            _exit(2);
          }
          std::string out;
          outcome = process.ReadAll(1 << 20, &out);
        });
        // Wait until the script runs, then stop everything.
        WaitUntil([&mark] { return access(mark.c_str(), F_OK) == 0; }, std::chrono::seconds(60));
        unlink(mark.c_str());
        rmdir(dir);
        EndAllCapturedProcesses();
        reader.join();
        if (outcome != CapturedProcess::Outcome::kEnded) _exit(3);
        CapturedProcess late;
        std::string error;
        if (late.Start({"/bin/true"}, &error)) _exit(4);
        _exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
