// Coordination between the service host and every thread that sleeps between
// passes: the run token and agent-busy flag behind the pause point, the
// initialised flag that ends the start-up wait, and the shared sleep. Any thread
// may call these.
//
// The run token is held by the service host while a pause or stop is in force.
// Every thread that passes ServicePausePoint while the host holds it waits there
// until the host gives it back (continue); a stopped service never gives it back.
// Threads cannot be suspended from outside, so this is how the agent thread is
// frozen at a safe point.
#pragma once

// Gives the run token back for a moment; when the service host holds it (pause
// or stop requested) the calling thread waits here until it is released.
void ServicePausePoint();

// Sleeps the retry period (afterFailure) or the poll interval, in one-second
// steps, passing the pause point before each step.
void AgentSleep(bool afterFailure);

// Marks the agent as initialised (schema check passed, or a fatal error), which
// ends the service host's start-up wait.
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

// Milliseconds the service host waits for the run token on pause and stop:
// the poll interval minus 30 ms, at least 0.
int RunTokenWaitMs();
