#include "probes/host_probe_sources.h"

#include "db/db_connection_to_wmi.h"
#include "platform/text.h"

HostProbeSources LiveHostSources() {
  HostProbeSources sources;
  DBConnectionToWMI* wmi = GetWMIConnection();
  sources.wmi = wmi;
  if (wmi) sources.root = wmi->hostOptions().root;
  return sources;
}

const char* NoWmiConnectionText() {
  return _("no WMI connection: the host's management classes cannot be queried");
}
