// A WMI result stored by SyncToDB of a PostgreSQL connection, the same path as
// an SQL result: the rows of a recorded host go in, a changed figure becomes an
// UPDATE, and an empty or failed query leaves the stored rows alone.
#include <gtest/gtest.h>

#include "db/db_connection_to_wmi.h"
#include "support/pg_cluster.h"

namespace {

TEST(WmiSyncToDB, StoresWmiRowsLikeSqlRows) {
  auto conn = PgCluster::Get().ConnectDB("monitored");
  ASSERT_TRUE(conn);
  const std::string t = "wmisync.disks";
  for (const char* sql :
       {"CREATE SCHEMA IF NOT EXISTS wmisync", "DROP TABLE IF EXISTS wmisync.disks",
        "CREATE TABLE wmisync.disks (server_id int, deviceid text, filesystem text, "
        "size text, freespace text, recorded_time timestamptz NOT NULL DEFAULT now())"}) {
    ASSERT_TRUE(conn->ExecuteQuery(sql)->IsOk()) << sql;
  }
  auto rows = [&] {
    auto r = conn->ExecuteQuery(
        "SELECT deviceid || ' ' || filesystem || ' ' || size || ' ' || freespace "
        "FROM wmisync.disks WHERE server_id = 7 ORDER BY deviceid");
    std::vector<std::string> out;
    for (uint32_t i = 0; i < r->GetRowCount(); ++i) out.push_back(r->GetValueByIndex(i, 0));
    return out;
  };

  WmiHostOptions options;
  options.root = std::string(VARO_SOURCE_DIR) + "/tests/data/host_plain";
  uint64_t freeBlocks = 917504;
  options.readSpace = [&](const std::string&, FileSystemSpace& out) {
    out = {4096, 2621440, 1048576, freeBlocks};
    return std::string();
  };
  DBConnectionToWMI wmi(options);
  const std::string query = "SELECT DeviceID, FileSystem, Size, FreeSpace FROM Win32_LogicalDisk";
  auto result = wmi.ExecuteQuery(query);
  ASSERT_TRUE(result->IsOk());
  EXPECT_EQ(conn->SyncToDB(*result, t, {"deviceid"}, {"server_id"}, {"7"}), "");
  EXPECT_EQ(rows(), (std::vector<std::string>{"/ ext4 10737418240 3758096384",
                                              "/boot ext4 10737418240 3758096384",
                                              "/snap/core squashfs 10737418240 3758096384"}));

  freeBlocks = 1;
  result = wmi.ExecuteQuery(query);
  EXPECT_EQ(conn->SyncToDB(*result, t, {"deviceid"}, {"server_id"}, {"7"}), "");
  EXPECT_EQ(rows()[0], "/ ext4 10737418240 4096");

  // No objects: no columns, so nothing stored is touched; a failed query the same.
  for (const char* wql : {"SELECT DeviceID FROM Win32_LogicalDisk WHERE DeviceID = '/nothing'",
                          "SELECT Nothing FROM Win32_LogicalDisk"}) {
    result = wmi.ExecuteQuery(wql);
    EXPECT_EQ(conn->SyncToDB(*result, t, {"deviceid"}, {"server_id"}, {"7"}),
              "query returned no result columns");
    EXPECT_EQ(rows().size(), 3u) << wql;
  }
  conn->ExecuteQuery("DROP SCHEMA wmisync CASCADE");
}

}  // namespace
