// Coordination between the service host and every thread that sleeps between
// passes: the run token and agent-busy flag behind the pause point, the
// initialised flag that ends the start-up wait, and the sleep with pause points.
// Any thread may call these.
//
// The run token is held by the service host while a pause or stop is in force.
// Every thread that passes ServicePausePoint while the host holds it waits there
// until the host gives it back (continue); a stopped service never gives it back.
// Threads cannot be suspended from outside, so this is how the agent thread is
// frozen at a safe point.
#pragma once

#include <cstdint>

// Gives the run token back for a moment; when the service host holds it (pause
// or stop requested) the calling thread waits here until it is released.
void ServicePausePoint();

// Sleeps `seconds` in one-second steps, passing the pause point before each
// step. Nothing when `seconds` is 0 or less.
void SleepWithPausePoints(int32_t seconds);

// Marks the agent as initialised, which ends the service host's start-up wait.
// The agent sets it once its schema check passed, and on a fatal error.
void SetAgentInitialised();
bool IsAgentInitialised();

// --- For the service host ---------------------------------------------------

// Clears the initialised flag before a new agent thread starts.
void ClearAgentInitialised();

// Waits at most timeoutMs for the initialised flag; returns whether it is set.
bool WaitForAgentInitialised(int timeoutMs);

// Takes the run token for a pause or stop request. Waits at most timeoutMs for
// the token (it is not available while an earlier pause still holds it); once
// taken, waits in the rest of that time for a thread to arrive at its pause
// point, so that the agent thread is normally frozen at a safe point when this
// returns. Returns whether the token was taken by this call.
bool TakeRunToken(int timeoutMs);

// Gives the run token back (continue); threads waiting at their pause point go
// on. Returns false when the host did not hold it.
bool ReleaseRunToken();

// True while the agent thread is outside its pause point (false while any
// thread waits at the pause point, and before the first pass).
bool IsAgentBusy();

// Milliseconds the service host waits for the run token on pause and stop with
// a poll interval of `pollIntervalSeconds`: the interval minus 30 ms, at least
// 0 and at most INT32_MAX.
int RunTokenWaitMs(int32_t pollIntervalSeconds);
