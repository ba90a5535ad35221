// Hosting the agent: starting the agent thread (DEBUG and service), and for a
// service (RUN) the control requests taken as signals on a dedicated thread,
// the status reports to systemd and the stop sequence. The functions run on the
// main thread, except ServiceControlHandler (control thread) and
// StopAgentThread (control thread, or any thread through a fatal message), which
// first ends the process groups of running scripts.
#pragma once

#include <cstdint>
#include <string>

// Control codes, as the service manager sends them.
enum ServiceControlCode : int {
  kServiceControlStop = 1,
  kServiceControlPause = 2,
  kServiceControlContinue = 3,
};

// The start-pending wait hint: 15 s at first, one second more for every second
// the start waits, and never more than the largest 32-bit millisecond count.
constexpr int64_t kStartWaitHintMs = 15000;
constexpr int64_t kMaxStartWaitHintMs = INT32_MAX;

// The wait hint after one more second of waiting.
int64_t NextStartWaitHintMs(int64_t currentMs);

// Blocks SIGTERM, SIGINT, SIGUSR1 and SIGUSR2 in the calling thread, so that
// every thread started later inherits the mask and only the control thread
// takes them. Call on the main thread before any other thread starts.
void BlockControlSignals();

// Starts the agent thread on RunAgent and waits until it reports itself
// initialised, reporting progress to systemd every second in a service.
// Returns whether the agent thread is running and initialised; false also when
// a fatal message began to end the process during the wait. Failure to create
// the thread is a fatal error (LOG_ERROR).
bool StartAgentThread();

// Waits without limit for the agent thread to end (DEBUG).
void JoinAgentThread();

// Freezes the agent thread at its next pause point: takes the run token within
// (poll interval x 1000 - 30) ms and lets the thread go. Returns true.
bool StopAgentThread();

// Carries out one control request: stop (reports STOPPING=1, stops the agent
// thread, reports "Stopped" and ends the process with exit code 0), pause
// (takes the run token, reports "Paused") or continue (gives it back, reports
// running). Other codes do nothing. A pause that arrives while the service
// still starts (before READY=1) does not freeze the start: it is remembered
// and carried out as soon as the service runs; a continue before then cancels
// it.
void ServiceControlHandler(int code);

// Runs the service named `serviceName`: starts the control thread, reports
// start-up progress, starts the agent thread and reports it running (READY=1).
// Does not return: the process ends through a stop request (exit code 0) or a
// failure (exit code 1). A fatal message before the service runs ends the
// process with exit code 1 and no READY=1.
[[noreturn]] void AgentServiceMain(const std::string& serviceName);
