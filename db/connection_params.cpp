#include "db/connection_params.h"

#include "platform/text.h"

const std::string* ConnectionParams::Find(const std::string& keyword) const {
  for (size_t i = 0; i < keywords.size(); ++i) {
    if (keywords[i] == keyword) return &values[i];
  }
  return nullptr;
}

ConnectionParams BuildCentralConnectionParams(const DBSettings& settings) {
  ConnectionParams params;
  params.Add("host", settings.varo_host);
  params.Add("port", StrFormat("%u", static_cast<unsigned>(settings.varo_port)));
  params.Add("user", StrFormat("agent%ld", static_cast<long>(settings.agent_id)));
  params.Add("dbname", "varo");
  params.Add("options", kClientEncodingOptions);
  if (!settings.agent_ssl_key.empty() || !settings.agent_ssl_crt.empty()) {
    params.Add("sslmode", "require");
    params.Add("sslkey", settings.agent_ssl_key);
    params.Add("sslcert", settings.agent_ssl_crt);
  }
  params.Add("application_name", kCentralApplicationName);
  AppendDeadLinkParams(params);
  return params;
}

ConnectionParams BuildServerConnectionParams(const ServerBinding& binding,
                                             const std::string& databaseName,
                                             const std::string& password, int32_t connectTimeout) {
  ConnectionParams params;
  params.Add("host", binding.server);
  params.Add("port", binding.port);
  params.Add("user", binding.username);
  params.Add("dbname", databaseName);
  params.Add("sslmode", binding.sslmode.empty() ? std::string("prefer") : binding.sslmode);
  params.Add("options", kClientEncodingOptions);
  if (!password.empty()) params.Add("password", password);
  params.Add(
      "connect_timeout",
      StrFormat("%d", connectTimeout >= 1 ? connectTimeout : kDefaultServerConnectTimeoutSeconds));
  params.Add("application_name", kMonitoringApplicationName);
  AppendDeadLinkParams(params);
  return params;
}

void AppendDeadLinkParams(ConnectionParams& params) {
  params.Add("keepalives", "1");
  params.Add("keepalives_idle", StrFormat("%d", kKeepalivesIdleSeconds));
  params.Add("keepalives_interval", StrFormat("%d", kKeepalivesIntervalSeconds));
  params.Add("keepalives_count", StrFormat("%d", kKeepalivesCount));
  params.Add("tcp_user_timeout", StrFormat("%d", kTcpUserTimeoutMs));
}

PGconnPtr ConnectWithParams(const ConnectionParams& params) {
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  keywords.reserve(params.keywords.size() + 1);
  values.reserve(params.values.size() + 1);
  for (size_t i = 0; i < params.keywords.size(); ++i) {
    keywords.push_back(params.keywords[i].c_str());
    values.push_back(params.values[i].c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  return PGconnPtr(PQconnectdbParams(keywords.data(), values.data(), 0));
}
