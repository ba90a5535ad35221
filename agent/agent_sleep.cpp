#include "agent/agent_sleep.h"

#include "agent/settings.h"
#include "platform/service_control.h"

void AgentSleep(bool afterFailure) {
  const Settings& settings = GetSettings();
  SleepWithPausePoints(afterFailure ? settings.long_wait : settings.short_wait);
}

int AgentRunTokenWaitMs() { return RunTokenWaitMs(GetSettings().short_wait); }
