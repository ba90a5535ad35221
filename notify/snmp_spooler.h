// The trap spooler: a thread that listens on SNMP_SPOOL and sends the unsent
// traps of varo.snmp_spool to the trap receiver of varo.config, marking each
// one sent once it was handed to the network. One per process when
// enable_snmp is on; started by RunAgent. See SpoolerThread for its life.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "notify/spooler_thread.h"

class CSNMPSpooler : public SpoolerThread {
 public:
  explicit CSNMPSpooler(SpoolerTiming timing);

 protected:
  BatchOutcome SendSpooled(const std::vector<int64_t>& ids) override {
    return SendSpooledTraps(ids);
  }

 private:
  // Reads snmp_server, snmp_port and snmp_community of varo.config; rows that
  // are absent, or a failed query, leave them as they were.
  void LoadTrapSettings();
  // Loads the settings, then sends the traps with these ids in order.
  BatchOutcome SendSpooledTraps(const std::vector<int64_t>& ids);

  std::string snmp_server;
  std::string snmp_port;
  std::string snmp_community;
};

inline constexpr char kUnsentTrapQuery[] = "SELECT id FROM varo.snmp_spool WHERE sent_status = 'u'";
inline constexpr char kTrapSettingsQuery[] =
    "SELECT param, value FROM varo.config WHERE param in ('snmp_server', 'snmp_port', "
    "\t\t\t'snmp_enabled', 'snmp_community')";
// Reads one unsent trap and locks it until it is marked sent (or given back).
inline constexpr char kTrapRowQuery[] =
    "SELECT trap_oid, enterprise_oid, trap_version, varbinding_oid, varbinding_value FROM "
    "varo.snmp_spool WHERE id = $1 AND sent_status = 'u' FOR UPDATE SKIP LOCKED";
inline constexpr char kTrapSentCommand[] =
    "UPDATE varo.snmp_spool SET sent_status = 's' WHERE id = $1";
