// Connection keyword lists of the central and monitored-server connections, the
// version text scan, and the fatal SSL configuration check.
#include "db/central_connection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/connection_params.h"
#include "db/db_settings.h"
#include "support/global_state.h"

namespace {

TEST(CentralConnectionParams, PlainConnectionHasNoSslKeywords) {
  DBSettings settings;
  settings.varo_host = "central.example";
  settings.varo_port = 5434;
  settings.agent_id = 12;
  ConnectionParams params = BuildCentralConnectionParams(settings);
  EXPECT_EQ(params.keywords,
            (std::vector<std::string>{
                "host", "port", "user", "dbname", "options", "application_name", "keepalives",
                "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout"}));
  EXPECT_EQ(params.values,
            (std::vector<std::string>{"central.example", "5434", "agent12", "varo",
                                      "-c client_encoding=utf8", "Corvane - Agent Control", "1",
                                      "30", "10", "3", "60000"}));
}

TEST(CentralConnectionParams, EitherCertificateFileSwitchesSslOn) {
  DBSettings settings;
  settings.agent_id = 7;
  settings.agent_ssl_key = "/etc/varo/agent.key";
  ConnectionParams params = BuildCentralConnectionParams(settings);
  EXPECT_EQ(params.keywords, (std::vector<std::string>{
                                 "host", "port", "user", "dbname", "options", "sslmode", "sslkey",
                                 "sslcert", "application_name", "keepalives", "keepalives_idle",
                                 "keepalives_interval", "keepalives_count", "tcp_user_timeout"}));
  EXPECT_EQ(*params.Find("sslmode"), "require");
  EXPECT_EQ(*params.Find("sslkey"), "/etc/varo/agent.key");
  EXPECT_EQ(*params.Find("sslcert"), "");
  EXPECT_EQ(*params.Find("user"), "agent7");

  settings.agent_ssl_key.clear();
  settings.agent_ssl_crt = "/etc/varo/agent.crt";
  params = BuildCentralConnectionParams(settings);
  EXPECT_EQ(*params.Find("sslmode"), "require");
  EXPECT_EQ(*params.Find("sslcert"), "/etc/varo/agent.crt");
  EXPECT_EQ(params.Find("password"), nullptr);
  EXPECT_EQ(params.Find("connect_timeout"), nullptr);
}

TEST(CentralConnectionDeathTest, MissingCertificateFileIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  RestoreOnExit<DBSettings> restore(GetDBSettings());
  DBSettings& settings = GetDBSettings();
  settings.varo_host = "/nonexistent-socket-dir";
  settings.agent_id = 3;
  settings.agent_ssl_key = "/etc/varo/agent.key";
  settings.agent_ssl_crt.clear();
  std::unique_ptr<DBConnection> target;
  EXPECT_EXIT(ConnectToVARO(target, false), testing::ExitedWithCode(1), "");
  settings.agent_ssl_key.clear();
  settings.agent_ssl_crt = "/etc/varo/agent.crt";
  EXPECT_EXIT(ConnectToVARO(target, false), testing::ExitedWithCode(1), "");
}

TEST(ServerConnectionParams, KeywordOrderAndDefaults) {
  ServerBinding binding{"db1.example", "5432", "monitor", ""};
  ConnectionParams params = BuildServerConnectionParams(binding, "sales", "", 0);
  // A connect_timeout setting of 0 gets the default bound, not an endless wait.
  EXPECT_EQ(params.keywords,
            (std::vector<std::string>{"host", "port", "user", "dbname", "sslmode", "options",
                                      "connect_timeout", "application_name", "keepalives",
                                      "keepalives_idle", "keepalives_interval", "keepalives_count",
                                      "tcp_user_timeout"}));
  EXPECT_EQ(params.values,
            (std::vector<std::string>{"db1.example", "5432", "monitor", "sales", "prefer",
                                      "-c client_encoding=utf8", "10", "Corvane - Agent Monitoring",
                                      "1", "30", "10", "3", "60000"}));
}

TEST(ServerConnectionParams, PasswordAndTimeoutOnlyWhenGiven) {
  ServerBinding binding{"/run/postgresql", "5432", "monitor", "verify-full"};
  ConnectionParams params = BuildServerConnectionParams(binding, "sales", "s3cret", 15);
  EXPECT_EQ(params.keywords,
            (std::vector<std::string>{"host", "port", "user", "dbname", "sslmode", "options",
                                      "password", "connect_timeout", "application_name",
                                      "keepalives", "keepalives_idle", "keepalives_interval",
                                      "keepalives_count", "tcp_user_timeout"}));
  EXPECT_EQ(*params.Find("sslmode"), "verify-full");
  EXPECT_EQ(*params.Find("password"), "s3cret");
  EXPECT_EQ(*params.Find("connect_timeout"), "15");

  EXPECT_EQ(*BuildServerConnectionParams(binding, "sales", "", 1).Find("connect_timeout"), "1");
  EXPECT_EQ(*BuildServerConnectionParams(binding, "sales", "", -5).Find("connect_timeout"), "10");
  EXPECT_EQ(BuildServerConnectionParams(binding, "sales", "", 0).Find("password"), nullptr);
}

TEST(ServerVersionText, ScansTheNumbersAfterTheFirstWord) {
  struct Case {
    const char* text;
    int major, minor, patch;
    bool isKelvora;
  };
  const Case cases[] = {
      {"PostgreSQL 9.0.4 on x86_64-unknown-linux-gnu, compiled by GCC", 9, 0, 4, false},
      {"PostgreSQL 9.1.3, compiled by Visual C++ build 1500, 64-bit", 9, 1, 3, false},
      {"PostgreSQL 10.4 on x86_64-pc-linux-gnu", 10, 4, 0, false},
      {"PostgreSQL 15.5 (Debian 15.5-1.pgdg120+1) on x86_64-pc-linux-gnu", 15, 5, 0, false},
      {"PostgreSQL 16devel on x86_64", 16, 0, 0, false},
      {"KELVORA 2.3.1 on x86_64", 2, 3, 1, true},
      {"Kelvora-Server 4.0.2", 4, 0, 2, true},
      {"Postgr\xc3\xa9SQL 9.2.1 build", 9, 2, 1, false},
      {"", 0, 0, 0, false},
      {"garbage", 0, 0, 0, false},
      {"KELVOR 1.2.3", 1, 2, 3, false},
  };
  for (const Case& c : cases) {
    ServerVersion v = ParseServerVersionText(c.text);
    EXPECT_EQ(v.major, c.major) << c.text;
    EXPECT_EQ(v.minor, c.minor) << c.text;
    EXPECT_EQ(v.patch, c.patch) << c.text;
    EXPECT_EQ(v.isKelvora, c.isKelvora) << c.text;
  }
}

}  // namespace
