#include "agent/service_host.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "agent/agent_sleep.h"
#include "agent/run_agent.h"
#include "platform/captured_process.h"
#include "platform/log.h"
#include "platform/service_control.h"
#include "platform/service_notifier.h"
#include "platform/text.h"

namespace {

// The agent thread. Guarded by threadMutex.
std::mutex threadMutex;
std::thread agentThread;
std::thread::id agentThreadId;

std::atomic<bool> agentEnded{false};

// Set once in AgentServiceMain before the control thread starts.
bool serviceProcess = false;
ServiceNotifier* notifier = nullptr;

// Start-up progress: the wait hint grows by a second for every second waited.
// The wait hint is used on the main thread only; the check point is also moved
// by the control thread and by a fatal message on any thread.
int64_t waitHintMs = kStartWaitHintMs;
std::atomic<int> checkPoint{0};

// The first of a stop request and a fatal message ends the process; the other
// must not report or exit a second time.
std::atomic<bool> ending{false};

// Where the start stands, guarded by startMutex. A fatal message sets `failed`
// under the mutex before anything else, and the main thread reports READY=1
// only under the mutex when nothing failed, so systemd never hears that a
// service runs once a fatal error has begun to end it. A pause requested while
// the service still starts is remembered and carried out once it runs.
std::mutex startMutex;
bool started = false;
bool failed = false;
bool pausePending = false;

void Report(const std::string& state) {
  if (notifier != nullptr) notifier->Notify(state);
}

void ReportStartPending() {
  Report(StrFormat("EXTEND_TIMEOUT_USEC=%lld\nSTATUS=Start pending",
                   static_cast<long long>(waitHintMs) * 1000));
}

void Pause() {
  TakeRunToken(AgentRunTokenWaitMs());
  Report("STATUS=Paused");
}

[[noreturn]] void WaitForProcessEnd() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  return set;
}

// The control thread: signals arrive here as control requests, one at a time.
void ControlThreadMain() {
  const sigset_t set = ControlSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    switch (signal) {
      case SIGTERM:
      case SIGINT:
        ServiceControlHandler(kServiceControlStop);
        break;
      case SIGUSR1:
        ServiceControlHandler(kServiceControlPause);
        break;
      case SIGUSR2:
        ServiceControlHandler(kServiceControlContinue);
        break;
      default:
        break;
    }
  }
}

// A fatal message in a running service: stop the agent, report the service
// stopped and end the process. The exit code is 1 so that systemd records the
// failure.
void OnFatalMessage(const std::string& /*text*/) {
  {
    std::lock_guard<std::mutex> lock(startMutex);
    failed = true;
  }
  if (ending.exchange(true)) WaitForProcessEnd();
  StopAgentThread();
  SetAgentInitialised();
  checkPoint = 0;
  Report("STATUS=Stopped");
  EndProcess(1);
}

// A fatal message in the foreground (DEBUG): the line is written; mark the
// start as over, so that nothing waits for it any more, and end the process.
void OnForegroundFatalMessage(const std::string& /*text*/) {
  SetAgentInitialised();
  EndProcess(1);
}

void AgentThreadMain() {
  RunAgent();
  agentEnded = true;
}

}  // namespace

void BlockControlSignals() {
  const sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int64_t NextStartWaitHintMs(int64_t currentMs) {
  return currentMs >= kMaxStartWaitHintMs - 1000 ? kMaxStartWaitHintMs : currentMs + 1000;
}

bool StartAgentThread() {
  // A service set its own handler before it got here.
  if (!serviceProcess) SetFatalLogHandler(OnForegroundFatalMessage);
  std::string threadError;
  ClearAgentInitialised();
  agentEnded = false;
  {
    std::lock_guard<std::mutex> lock(threadMutex);
    try {
      agentThread = std::thread(AgentThreadMain);
    } catch (const std::system_error& error) {
      threadError = error.what();
    }
    if (threadError.empty()) agentThreadId = agentThread.get_id();
  }
  if (!threadError.empty()) {
    // Without the agent thread there is no agent: the error ends the process,
    // and is seen at every log level.
    LogMessage(StrFormat(_("unable to start the agent thread: %s"), threadError.c_str()),
               LOG_ERROR);
    return false;
  }
  while (!IsAgentInitialised() && !agentEnded) {
    if (serviceProcess) {
      waitHintMs = NextStartWaitHintMs(waitHintMs);
      ++checkPoint;
      ReportStartPending();
    }
    WaitForAgentInitialised(1000);
  }
  std::lock_guard<std::mutex> lock(startMutex);
  return IsAgentInitialised() && !agentEnded && !failed;
}

void JoinAgentThread() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(threadMutex);
    thread = std::move(agentThread);
  }
  if (thread.joinable()) thread.join();
}

bool StopAgentThread() {
  // Scripts run in process groups of their own, which the end of the process
  // would leave behind.
  EndAllCapturedProcesses();
  bool onAgentThread;
  {
    std::lock_guard<std::mutex> lock(threadMutex);
    onAgentThread = std::this_thread::get_id() == agentThreadId;
  }
  // The agent thread cannot wait for itself to reach its pause point.
  TakeRunToken(onAgentThread ? 0 : AgentRunTokenWaitMs());
  std::lock_guard<std::mutex> lock(threadMutex);
  if (agentThread.joinable()) agentThread.detach();
  return true;
}

void ServiceControlHandler(int code) {
  switch (code) {
    case kServiceControlStop:
      if (ending.exchange(true)) WaitForProcessEnd();
      ++checkPoint;
      Report("STOPPING=1");
      StopAgentThread();
      checkPoint = 0;
      Report("STATUS=Stopped");
      EndProcess(0);
    case kServiceControlPause: {
      std::lock_guard<std::mutex> lock(startMutex);
      if (!started) {
        // The agent thread may be waiting for the central database; freezing
        // it now would keep the start pending for ever. Pause once it runs.
        pausePending = true;
        Report("STATUS=Start pending, pause requested");
        break;
      }
      Pause();
      break;
    }
    case kServiceControlContinue: {
      std::lock_guard<std::mutex> lock(startMutex);
      if (!started) {
        pausePending = false;
        Report("STATUS=Start pending");
        break;
      }
      ReleaseRunToken();
      Report("READY=1\nSTATUS=Running");
      break;
    }
    default:
      break;
  }
}

void AgentServiceMain(const std::string& serviceName) {
  (void)serviceName;  // systemd knows its unit; syslog already carries the name
  serviceProcess = true;
  notifier = new ServiceNotifier;  // lives as long as the process
  waitHintMs = kStartWaitHintMs;
  checkPoint = 0;
  SetFatalLogHandler(OnFatalMessage);
  std::thread control;
  try {
    control = std::thread(ControlThreadMain);
  } catch (const std::system_error& error) {
    LogFatal(StrFormat(_("unable to start the service control thread: %s"), error.what()));
  }
  ReportStartPending();
  if (StartAgentThread()) {
    std::lock_guard<std::mutex> lock(startMutex);
    if (failed) WaitForProcessEnd();  // a fatal message is ending the process
    started = true;
    waitHintMs = 1000;
    Report("READY=1\nSTATUS=Running");
    if (pausePending) Pause();
  } else {
    if (ending.exchange(true)) WaitForProcessEnd();
    checkPoint = 0;
    Report("STATUS=Stopped");
    EndProcess(1);
  }
  control.join();  // the control thread never ends; the process ends from there
  WaitForProcessEnd();
}
