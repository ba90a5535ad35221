// Net-SNMP's headers bring <syslog.h>, whose LOG_* macros clash with the
// agent's log levels: this file uses platform/text.h only, never platform/log.h.
#include "notify/trap_sender.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/text.h"

namespace {

struct SessionCloser {
  void operator()(void* session) const { snmp_sess_close(session); }
};
struct PduDeleter {
  void operator()(netsnmp_pdu* pdu) const { snmp_free_pdu(pdu); }
};
using SessionPtr = std::unique_ptr<void, SessionCloser>;
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

std::vector<oid> ToNetSnmp(const OidArcs& arcs) {
  return std::vector<oid>(arcs.begin(), arcs.end());
}

// Net-SNMP's text for the last error of a session (open or not).
std::string SessionError(netsnmp_session* session, void* opened) {
  int systemError = 0;
  int snmpError = 0;
  char* text = nullptr;
  if (opened != nullptr) {
    snmp_sess_error(opened, &systemError, &snmpError, &text);
  } else {
    snmp_error(session, &systemError, &snmpError, &text);
  }
  std::string message = text != nullptr ? text : "unknown error";
  std::free(text);
  return message;
}

bool AddVariable(netsnmp_pdu* pdu, const OidArcs& name, u_char type, const void* value,
                 size_t length) {
  const std::vector<oid> id = ToNetSnmp(name);
  return snmp_pdu_add_variable(pdu, id.data(), id.size(), type, value, length) != nullptr;
}

bool AddBindings(netsnmp_pdu* pdu, const TrapRequest& request) {
  for (const TrapBinding& binding : request.bindings) {
    if (!AddVariable(pdu, binding.oid, ASN_OCTET_STR, binding.value.data(), binding.value.size())) {
      return false;
    }
  }
  return true;
}

PduPtr BuildVersion2(const TrapRequest& request, uint32_t uptimeTicks) {
  PduPtr pdu(snmp_pdu_create(SNMP_MSG_TRAP2));
  if (!pdu) return nullptr;
  const u_long ticks = uptimeTicks;
  const std::vector<oid> trapOid = ToNetSnmp(request.trapOid);
  if (!AddVariable(pdu.get(), kSysUpTimeOid, ASN_TIMETICKS, &ticks, sizeof ticks) ||
      !AddVariable(pdu.get(), kSnmpTrapOid, ASN_OBJECT_ID, trapOid.data(),
                   trapOid.size() * sizeof(oid)) ||
      !AddBindings(pdu.get(), request)) {
    return nullptr;
  }
  if (!request.enterpriseOid.empty()) {
    const std::vector<oid> enterprise = ToNetSnmp(request.enterpriseOid);
    if (!AddVariable(pdu.get(), kSnmpTrapEnterpriseOid, ASN_OBJECT_ID, enterprise.data(),
                     enterprise.size() * sizeof(oid))) {
      return nullptr;
    }
  }
  return pdu;
}

PduPtr BuildVersion1(const TrapRequest& request, uint32_t uptimeTicks) {
  const std::optional<Version1Trap> v1 = MapToVersion1(request);
  if (!v1) return nullptr;
  PduPtr pdu(snmp_pdu_create(SNMP_MSG_TRAP));
  if (!pdu) return nullptr;
  // The PDU frees its enterprise with free().
  const size_t bytes = v1->enterprise.size() * sizeof(oid);
  pdu->enterprise = static_cast<oid*>(std::malloc(bytes));
  if (pdu->enterprise == nullptr) return nullptr;
  const std::vector<oid> enterprise = ToNetSnmp(v1->enterprise);
  std::copy(enterprise.begin(), enterprise.end(), pdu->enterprise);
  pdu->enterprise_length = enterprise.size();
  pdu->trap_type = v1->genericTrap;
  pdu->specific_type = v1->specificTrap;
  pdu->time = uptimeTicks;
  // agent-addr stays 0.0.0.0: Net-SNMP puts in the sending host's address.
  if (!AddBindings(pdu.get(), request)) return nullptr;
  return pdu;
}

}  // namespace

std::string SendTrap(const std::string& receiverAddress, const std::string& community,
                     const TrapRequest& request, uint32_t uptimeTicks) {
  netsnmp_session settings;
  snmp_sess_init(&settings);
  settings.version = request.version == 1 ? SNMP_VERSION_1 : SNMP_VERSION_2c;
  std::string peer = receiverAddress;
  settings.peername = peer.data();
  std::string communityText = community;
  settings.community = reinterpret_cast<u_char*>(communityText.data());
  settings.community_len = communityText.size();
  // Nothing is received on this session: traps are not answered.
  settings.callback = nullptr;

  SessionPtr session(snmp_sess_open(&settings));
  if (!session) {
    return StrFormat(_("SNMP++ Session Create Fail %s"), SessionError(&settings, nullptr).c_str());
  }
  PduPtr pdu = request.version == 1 ? BuildVersion1(request, uptimeTicks)
                                    : BuildVersion2(request, uptimeTicks);
  if (!pdu) return _("Unable to build the trap PDU");
  if (snmp_sess_send(session.get(), pdu.get()) == 0) {
    // On failure the PDU still belongs to the caller.
    return StrFormat(_("Unable to send the trap to %s: %s"), receiverAddress.c_str(),
                     SessionError(&settings, session.get()).c_str());
  }
  pdu.release();  // sent: Net-SNMP has freed it
  return std::string();
}
