// Saves the agent's settings and puts them back, publishing them again to the
// log and database layers, so that a test's changes end with the test even
// when an assertion fails. Hold it as a fixture member (or a local).
#pragma once

#include "agent/settings.h"

class SettingsGuard {
 public:
  SettingsGuard() : saved_(GetSettings()) {}
  ~SettingsGuard() {
    GetSettings() = saved_;
    PublishSettings();
  }
  SettingsGuard(const SettingsGuard&) = delete;
  SettingsGuard& operator=(const SettingsGuard&) = delete;

 private:
  Settings saved_;
};
