// One row of varo.snmp_spool checked and turned into the trap to send, the
// RFC 3584 mapping of a notification onto an SNMPv1 trap, and the trap
// receiver's address from varo.config. Pure functions over strings; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The sub-identifiers of an object identifier.
using OidArcs = std::vector<uint32_t>;

// Well-known identifiers of the notification bindings.
inline const OidArcs kSysUpTimeOid = {1, 3, 6, 1, 2, 1, 1, 3, 0};
inline const OidArcs kSnmpTrapOid = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
inline const OidArcs kSnmpTrapEnterpriseOid = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
inline const OidArcs kSnmpTrapsOid = {1, 3, 6, 1, 6, 3, 1, 1, 5};

// A dotted numeric identifier ("1.3.6.1.4.1.8072", an optional leading dot):
// at least two and at most 128 sub-identifiers, each below 2^32, the first 0,
// 1 or 2 and, below 2, the second below 40. None for anything else.
std::optional<OidArcs> ParseOid(std::string_view text);
std::string FormatOid(const OidArcs& oid);

// The texts of a spool row as read from the database.
struct TrapRow {
  std::string trapOid;
  std::string enterpriseOid;
  std::string trapVersion;
  std::string bindingOids;    // "|"-separated
  std::string bindingValues;  // "|"-separated, the i-th value for the i-th OID
};

struct TrapBinding {
  OidArcs oid;
  std::string value;  // sent as an OCTET STRING
};

// What a valid row asks to send.
struct TrapRequest {
  int version = 2;  // 1: SNMPv1, 2: SNMPv2c
  OidArcs trapOid;
  OidArcs enterpriseOid;  // empty when the row has none
  std::vector<TrapBinding> bindings;
};

// Checks `row` and fills *out. Returns an empty text when the row can be sent,
// otherwise the reason ("Invalid Oid <text>" for a bad trap, enterprise or
// binding OID; a version other than 1 or 2; fewer or more values than OIDs).
// An empty OID list means no bindings and then needs an empty value list.
std::string ValidateTrapRow(const TrapRow& row, TrapRequest* out);

// The SNMPv1 trap fields of a notification (RFC 3584, section 3.2): for the
// six standard traps of snmpTraps the generic-trap number, specific-trap 0 and
// the row's enterprise (snmpTraps when it has none); for any other trap OID
// generic-trap 6 (enterpriseSpecific), its last sub-identifier as
// specific-trap and the OID without it (and without a 0 before it) as the
// enterprise.
struct Version1Trap {
  OidArcs enterprise;
  int32_t genericTrap = 6;
  int32_t specificTrap = 0;
};
// None when the trap OID cannot be expressed as a version 1 trap (its last
// sub-identifier beyond 2^31 - 1, or too short to leave an enterprise).
std::optional<Version1Trap> MapToVersion1(const TrapRequest& request);

// The Net-SNMP transport address of the trap receiver: "udp:<host>:<port>" or
// "udp6:[<address>]:<port>". Empty with *error set when the server is not a
// host name, IPv4 or IPv6 address ("Invalid Address or DNS Name <text>") or
// the port is not a number from 1 to 65535.
std::string TrapReceiverAddress(const std::string& server, const std::string& port,
                                std::string* error);
