// Sends one checked trap with Net-SNMP. Every call opens and closes its own
// single session, so one thread at a time per call is all it needs; the agent
// sends traps from the trap spooler only.
#pragma once

#include <cstdint>
#include <string>

#include "notify/trap_row.h"

// Sends `request` to `receiverAddress` (from TrapReceiverAddress) with
// `community`. A version 2 trap carries sysUpTime.0 (`uptimeTicks`, hundredths
// of a second) and snmpTrapOID.0 first, then the row's bindings and, when the
// row names an enterprise, snmpTrapEnterprise.0; a version 1 trap carries the
// fields of MapToVersion1, `uptimeTicks` as its time stamp and the row's
// bindings. Returns an empty text once the trap was handed to the network
// (UDP: the receiver does not acknowledge it), otherwise the error text.
std::string SendTrap(const std::string& receiverAddress, const std::string& community,
                     const TrapRequest& request, uint32_t uptimeTicks);
