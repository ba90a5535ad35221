// Net-SNMP's headers bring <syslog.h>: no platform/log.h here (see trap_sender.cpp).
#include "notify/notify_init.h"

#include <curl/curl.h>
#include <signal.h>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<Clock::rep> startTicks{0};
std::once_flag initOnce;

}  // namespace

void InitNotifyLibraries() {
  std::call_once(initOnce, [] {
    startTicks.store(Clock::now().time_since_epoch().count());
    signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // Only the session layer is used: no configuration files, no MIBs, and no
    // messages of Net-SNMP's own on standard error; errors come back through
    // snmp_sess_error. snmp_sess_init sets up the library's state on its
    // first call, which must not race with another.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    snmp_disable_log();
    netsnmp_session session;
    snmp_sess_init(&session);
  });
}

uint32_t NotifyUptimeTicks() {
  const Clock::duration since =
      Clock::now().time_since_epoch() - Clock::duration(startTicks.load());
  const auto centis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() / 10;
  return static_cast<uint32_t>(static_cast<uint64_t>(centis));
}
