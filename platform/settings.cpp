#include "platform/settings.h"

Settings& GetSettings() {
  static Settings settings;
  return settings;
}
