// The agent thread's sleeps between passes, and the service host's wait for it
// to reach a pause point; both take their length from the settings.
#pragma once

// Sleeps the retry period (afterFailure) or the poll interval, in one-second
// steps, passing the pause point before each step (SleepWithPausePoints).
void AgentSleep(bool afterFailure);

// Milliseconds the service host waits for the run token on pause and stop: the
// poll interval minus 30 ms (RunTokenWaitMs).
int AgentRunTokenWaitMs();
