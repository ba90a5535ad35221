#include "agent/run_agent.h"

#include "platform/service_control.h"

// Until the main loop exists the agent thread only reports itself ready and
// sleeps through the poll interval, passing its pause point every second.
void RunAgent() {
  SetAgentInitialised();
  for (;;) AgentSleep(false);
}
