// The host probes through the probe step end to end: the built-in probe rows
// of method 'i', scheduled for agent 12, run on worker threads against a host
// tree the test writes, and land in their varodata tables; a second pass over
// the unchanged host rewrites no row.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "db/central_connection.h"
#include "db/db_connection_to_wmi.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/host_tree.h"
#include "support/wait.h"
#include "work/probe_step.h"
#include "work/worker_thread.h"

namespace {

std::string Central(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

// The host probes as the central schema defines them: internal name = probe
// code, and the key columns of each table.
const char* const kHostProbes[][2] = {
    {"disk_space", "{mount_point}"}, {"memory_usage", "{}"},
    {"cpu_usage", "{core_id}"},      {"network_statistics", "{interface_name,ip_address}"},
    {"io_analysis", "{disk_drive}"}, {"disk_busy_info", "{mount_point}"},
    {"os_statistics", "{}"},         {"os_info", "{}"},
};

class HostProbesThroughProbeStep : public testing::Test {
 protected:
  void SetUp() override {
    central_test::EnsureAgent12();
    central_test::UseClusterSettings();
    ASSERT_FALSE(central_test::ConnectCentral().empty());
    Central("DELETE FROM varo.probe");
    Central("DELETE FROM varo.probe_log");
    for (const auto& [code, keys] : kHostProbes) {
      Central(std::string("DELETE FROM varodata.") + code);
      Central(std::string("INSERT INTO varo.probe (probe_name, probe_internal_name, "
                          "collection_method, probe_code, probe_key_list, probe_scope) VALUES ('") +
              code + "', '" + code + "', 'i', '" + code + "', '" + keys + "', 'agent')");
    }
    Central("INSERT INTO varo.probe_schedule (probe_id, agent_id) SELECT probe_id, " +
            std::to_string(central_test::kAgentId) + " FROM varo.probe");
    // Only the loopback, which has index 1 on every Linux host, so that the
    // live address table meets exactly one interface of the tree.
    host.Write("/proc/net/dev",
               "Inter-| Receive | Transmit\n face |bytes packets errs drop fifo frame compressed "
               "multicast|bytes packets errs drop fifo colls carrier compressed\n"
               "    lo: 1048576 100 0 0 0 0 0 0 2097152 200 0 0 0 0 0 0\n");
    UseWMIHost(host.options);
  }

  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(120)));
    // Back to the live host before the tree goes away.
    UseWMIHost(WmiHostOptions());
    EXPECT_TRUE(ConnectToWMI());
    central_test::DisconnectCentral();
  }

  void Pass() {
    ASSERT_TRUE(RunProbeStep(*GetCentralConnection(), central_test::kAgentId));
    ASSERT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(120)));
    EXPECT_EQ(Central("SELECT count(*) FROM varo.probe_schedule WHERE current_backend_pid IS NOT "
                      "NULL OR last_execution_time IS NULL"),
              "0");
  }

  // Every stored row of the host probes with its row version.
  std::string StoredRows() {
    std::string out;
    for (const auto& [code, keys] : kHostProbes) {
      out += std::string(code) + ": " +
             Central(std::string("SELECT coalesce(string_agg(t::text || ' xmin ' || t.xmin, ' / ' "
                                 "ORDER BY t::text), '') FROM varodata.") +
                     code + " t") +
             "\n";
    }
    return out;
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
  HostTree host;
};

TEST_F(HostProbesThroughProbeStep, OnePassStoresEveryProbeAndASecondChangesNothing) {
  Pass();
  EXPECT_EQ(Central("SELECT coalesce(string_agg(message, ' | '), '') FROM varo.probe_log"), "");
  const std::string agent = std::to_string(central_test::kAgentId);
  auto rows = [&](const std::string& table, const std::string& columns) {
    return Central("SELECT string_agg(" + columns + ", ' / ' ORDER BY " + columns +
                   ") FROM varodata." + table + " WHERE agent_id = " + agent);
  };
  EXPECT_EQ(rows("disk_space",
                 "concat_ws('|', mount_point, file_system, size_mb, space_used_mb, "
                 "space_available_mb)"),
            "/mnt/it's x|xfs|2048|1024|1024 / /|ext4|10240|6144|4096");
  EXPECT_EQ(rows("memory_usage",
                 "concat_ws('|', total_ram_memory_mb, free_ram_memory_mb, "
                 "total_swap_memory_mb, free_swap_memory_mb)"),
            "8192|1023|2048|1023");
  EXPECT_EQ(rows("cpu_usage", "core_id || '|' || load_percentage"),
            "CPU0|0.000000 / CPU1|0.000000");
  EXPECT_EQ(rows("network_statistics",
                 "concat_ws('|', interface_name, ip_address, packets_sent, packets_received, "
                 "sent_bytes_kb, receive_bytes_kb, link_speed_mbps)"),
            "lo0|127.0.0.1|200|100|2048|1024|0");
  EXPECT_EQ(rows("io_analysis", "concat_ws('|', disk_drive, blks_read, blks_wrtn)"),
            "/mnt/it's x|256|512 / /|256|512");
  EXPECT_EQ(rows("disk_busy_info", "mount_point || '|' || disk_busy"),
            "/mnt/it's\\040x|0 / _Total|0");
  EXPECT_EQ(rows("os_statistics", "total_process_count || '|' || total_thread_count"), "3|11");
  EXPECT_EQ(rows("os_info", "os_details"),
            "Rocky Linux 8.9 (Green Obsidian) 64-bit (4.18.0-513.el8.x86_64)");

  // Nothing changed on the host: the second pass writes no row.
  const std::string before = StoredRows();
  Central("UPDATE varo.probe_schedule SET last_execution_time = NULL");
  Pass();
  EXPECT_EQ(Central("SELECT coalesce(string_agg(message, ' | '), '') FROM varo.probe_log"), "");
  EXPECT_EQ(StoredRows(), before);

  // A probe whose collector fails keeps its stored rows and is reported.
  std::filesystem::remove(host.root() + "/proc/meminfo");
  Central("UPDATE varo.probe_schedule SET last_execution_time = NULL");
  Pass();
  EXPECT_EQ(rows("memory_usage", "total_ram_memory_mb::text"), "8192");
  EXPECT_NE(Central("SELECT string_agg(message, ' | ') FROM varo.probe_log"), "");
}

}  // namespace
