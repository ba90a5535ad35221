// Coordination between the service host and every thread that sleeps between
// passes: the run token and agent-busy flag behind the pause point, the
// initialised flag that ends the start-up wait, and the shared sleep. Any thread
// may call these.
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
