#include "notify/trap_row.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <limits>

#include "platform/number_parser.h"
#include "platform/text.h"

namespace {

constexpr size_t kMaxOidArcs = 128;

// `text` split at every "|"; an empty piece between two separators is an
// empty entry.
std::vector<std::string> SplitBars(std::string_view text) {
  std::vector<std::string> pieces;
  for (;;) {
    const size_t bar = text.find('|');
    pieces.emplace_back(text.substr(0, bar));
    if (bar == std::string_view::npos) break;
    text.remove_prefix(bar + 1);
  }
  return pieces;
}

bool StartsWith(const OidArcs& oid, const OidArcs& prefix) {
  return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

}  // namespace

std::optional<OidArcs> ParseOid(std::string_view text) {
  if (!text.empty() && text.front() == '.') text.remove_prefix(1);
  OidArcs arcs;
  for (;;) {
    const size_t dot = text.find('.');
    const std::optional<uint32_t> arc =
        ParseDecimal<uint32_t>(text.substr(0, dot), DecimalForm::kUnsigned);
    if (!arc || arcs.size() == kMaxOidArcs) return std::nullopt;
    arcs.push_back(*arc);
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return std::nullopt;
  return arcs;
}

std::string FormatOid(const OidArcs& oid) {
  std::string text;
  for (uint32_t arc : oid) {
    if (!text.empty()) text += '.';
    text += std::to_string(arc);
  }
  return text;
}

std::string ValidateTrapRow(const TrapRow& row, TrapRequest* out) {
  TrapRequest request;
  const std::optional<int> version = ParseDecimal<int>(row.trapVersion, DecimalForm::kUnsigned);
  if (!version || (*version != 1 && *version != 2)) {
    return StrFormat(_("Invalid trap version %s (1 or 2 expected)"),
                     ToValidUtf8(row.trapVersion).c_str());
  }
  request.version = *version;

  std::optional<OidArcs> trapOid = ParseOid(row.trapOid);
  if (!trapOid) return StrFormat(_("Invalid Oid %s"), ToValidUtf8(row.trapOid).c_str());
  request.trapOid = std::move(*trapOid);

  if (!row.enterpriseOid.empty()) {
    std::optional<OidArcs> enterprise = ParseOid(row.enterpriseOid);
    if (!enterprise) return StrFormat(_("Invalid Oid %s"), ToValidUtf8(row.enterpriseOid).c_str());
    request.enterpriseOid = std::move(*enterprise);
  }

  std::vector<std::string> oids;
  std::vector<std::string> values;
  if (!row.bindingOids.empty()) {
    oids = SplitBars(row.bindingOids);
    values = SplitBars(row.bindingValues);
  } else if (!row.bindingValues.empty()) {
    values = SplitBars(row.bindingValues);
  }
  if (values.size() != oids.size()) {
    return StrFormat(_("The trap has %zu binding OIDs but %zu values"), oids.size(), values.size());
  }
  for (size_t i = 0; i < oids.size(); ++i) {
    std::optional<OidArcs> oid = ParseOid(oids[i]);
    if (!oid) return StrFormat(_("Invalid Oid %s"), ToValidUtf8(oids[i]).c_str());
    request.bindings.push_back({std::move(*oid), std::move(values[i])});
  }
  if (request.version == 1 && !MapToVersion1(request)) {
    return StrFormat(_("Trap Oid %s cannot be sent as an SNMPv1 trap"),
                     FormatOid(request.trapOid).c_str());
  }
  *out = std::move(request);
  return std::string();
}

std::optional<Version1Trap> MapToVersion1(const TrapRequest& request) {
  const OidArcs& trap = request.trapOid;
  Version1Trap v1;
  // coldStart (1) to egpNeighborLoss (6) under snmpTraps are generic traps 0 to 5.
  if (trap.size() == kSnmpTrapsOid.size() + 1 && StartsWith(trap, kSnmpTrapsOid) &&
      trap.back() >= 1 && trap.back() <= 6) {
    v1.genericTrap = static_cast<int32_t>(trap.back()) - 1;
    v1.specificTrap = 0;
    v1.enterprise = request.enterpriseOid.empty() ? kSnmpTrapsOid : request.enterpriseOid;
    return v1;
  }
  if (trap.back() > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    return std::nullopt;
  }
  v1.genericTrap = 6;
  v1.specificTrap = static_cast<int32_t>(trap.back());
  v1.enterprise.assign(trap.begin(), trap.end() - 1);
  if (v1.enterprise.back() == 0) v1.enterprise.pop_back();
  if (v1.enterprise.size() < 2) return std::nullopt;
  return v1;
}

std::string TrapReceiverAddress(const std::string& server, const std::string& port,
                                std::string* error) {
  in6_addr v6{};
  bool isV6 = inet_pton(AF_INET6, server.c_str(), &v6) == 1;
  bool validServer = isV6;
  if (!isV6 && !server.empty() && server.size() <= 253) {
    validServer = true;
    for (char c : server) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
        validServer = false;
      }
    }
  }
  if (!validServer) {
    *error = StrFormat(_("Invalid Address or DNS Name %s"), ToValidUtf8(server).c_str());
    return std::string();
  }
  const std::optional<uint16_t> number = ParseDecimal<uint16_t>(port, DecimalForm::kUnsigned);
  if (!number || *number == 0) {
    *error = StrFormat(_("Invalid trap receiver port %s (1 to 65535 expected)"),
                       ToValidUtf8(port).c_str());
    return std::string();
  }
  return isV6 ? "udp6:[" + server + "]:" + std::to_string(*number)
              : "udp:" + server + ":" + std::to_string(*number);
}
