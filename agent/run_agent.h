// The body of the single agent thread that the service host (or DEBUG) starts.
// Runs on the agent thread only.
#pragma once

// Never returns while the process lives. Sets the initialised flag
// (SetAgentInitialised) once the agent is ready to work, which ends the service
// host's start-up wait.
void RunAgent();
