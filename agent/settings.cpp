#include "agent/settings.h"

Settings& GetSettings() {
  static Settings settings;
  return settings;
}

void PublishSettings() {
  const Settings& settings = GetSettings();
  SetLogLevel(settings.log_level);
  GetDBSettings() = static_cast<const DBSettings&>(settings);
}
