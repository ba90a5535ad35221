#include "db/db_settings.h"

DBSettings& GetDBSettings() {
  static DBSettings settings;
  return settings;
}
