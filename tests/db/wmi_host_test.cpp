// The host classes against two recorded hosts (tests/data/host_plain: one disk
// with two partitions, a loop device, a network and a bind mount;
// tests/data/host_lvm: md RAID 1, LVM, dm-crypt and a whole-disk volume under
// btrfs), with values worked out by hand from the recorded files; the query
// semantics (selection, conditions, case, NULL) and every error path's text.
#include "db/wmi_host.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "db/db_connection_to_wmi.h"
#include "db/result_set_from_wmi.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string DataDir(const std::string& name) {
  return std::string(VARO_SOURCE_DIR) + "/tests/data/" + name;
}

// Dates are written in local time; the expectations are in UTC.
void UseUtc() {
  setenv("TZ", "UTC0", 1);
  tzset();
}

// A recorded host: the tree under `root` plus its statvfs figures (the file
// "statvfs": mount point, f_frsize, f_blocks, f_bfree, f_bavail per line), and
// a clock the test moves.
struct RecordedHost {
  explicit RecordedHost(const std::string& root, int64_t wall) {
    std::ifstream in(root + "/statvfs");
    std::string point;
    FileSystemSpace s;
    while (in >> point >> s.fragmentSize >> s.blocks >> s.freeBlocks >> s.availableBlocks) {
      space[root + (point == "/" ? "/" : point)] = s;
    }
    options.root = root;
    options.readSpace = [this](const std::string& path, FileSystemSpace& out) {
      asked.push_back(path.substr(options.root.size()));
      auto it = space.find(path);
      if (it == space.end()) return "statvfs " + path + ": " + spaceError;
      out = it->second;
      return std::string();
    };
    options.monotonicSeconds = [this] { return monotonic; };
    options.sleep = [this](double seconds) {
      monotonic += seconds;
      if (onSleep) onSleep();
    };
    options.wallSeconds = [this] { return this->wall; };
    this->wall = wall;
  }

  std::map<std::string, FileSystemSpace> space;
  std::string spaceError = "Permission denied";
  std::vector<std::string> asked;  // mount points given to statvfs
  double monotonic = 100;
  std::function<void()> onSleep;  // runs in the wait between two disk readings
  int64_t wall = 0;
  WmiHostOptions options;
};

// Every row as "v1|v2|...", NULL shown as <null>, after a header row of the
// column names.
std::vector<std::string> Table(const ResultSet& r) {
  std::vector<std::string> out;
  std::string header;
  for (size_t c = 0; c < r.columnNames.size(); ++c) header += (c ? "|" : "") + r.columnNames[c];
  out.push_back(header);
  for (uint32_t i = 0; i < r.GetRowCount(); ++i) {
    std::string line;
    for (size_t c = 0; c < r.columnNames.size(); ++c) {
      bool isNull = false;
      std::string v = r.GetValueByIndex(static_cast<int32_t>(i), static_cast<int32_t>(c), &isNull);
      line += (c ? "|" : "") + (isNull ? std::string("<null>") : v);
    }
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> Query(DBConnectionToWMI& conn, const std::string& wql) {
  std::unique_ptr<ResultSet> r = conn.ExecuteQuery(wql);
  EXPECT_TRUE(r->IsOk()) << wql << ": " << r->GetErrorMessage();
  return Table(*r);
}

using Rows = std::vector<std::string>;

// A copy of the recorded tree `name` in `dir` whose disk counters read 0, as
// at boot; returns its root. RestoreDiskCounters puts the recorded ones back.
std::string CopyCountingFromBoot(const std::string& name, const TempDir& dir) {
  fs::copy(DataDir(name), dir.path(),
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  std::ifstream in(dir.str() + "/proc/diskstats");
  std::ostringstream zeroed;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string major, minor, device, counter;
    words >> major >> minor >> device;
    zeroed << major << ' ' << minor << ' ' << device;
    while (words >> counter) zeroed << " 0";
    zeroed << '\n';
  }
  in.close();
  std::ofstream(dir.str() + "/proc/diskstats", std::ios::trunc) << zeroed.str();
  return dir.str();
}
void RestoreDiskCounters(const std::string& name, const TempDir& dir) {
  fs::copy_file(DataDir(name) + "/proc/diskstats", dir.str() + "/proc/diskstats",
                fs::copy_options::overwrite_existing);
}

TEST(WmiPlainHost, DisksPartitionsAndMountedFileSystems) {
  RecordedHost host(DataDir("host_plain"), 1700001000);
  DBConnectionToWMI conn(host.options);

  EXPECT_EQ(Query(conn, "SELECT * FROM Win32_DiskDrive"),
            (Rows{"deviceid|name|caption|model|index|bytespersector|size|totalsectors|partitions|"
                  "mediatype|medialoaded",
                  "/dev/sda|/dev/sda|VBOX HARDDISK|VBOX HARDDISK|0|512|10737418240|20971520|2|"
                  "Fixed hard disk media|True"}))
      << "the optical drive and the loop device are no disk drives";

  EXPECT_EQ(
      Query(conn,
            "ASSOCIATORS OF {Win32_DiskDrive.DeviceID='/dev/sda'} WHERE AssocClass = "
            "Win32_DiskDriveToDiskPartition"),
      (Rows{"deviceid|name|caption|description|diskindex|index|startingoffset|size|blocksize|"
            "numberofblocks",
            "/dev/sda1|/dev/sda1|/dev/sda1|Partition|0|0|1048576|536870912|512|1048576",
            "/dev/sda2|/dev/sda2|/dev/sda2|Partition|0|1|537919488|10199498752|512|19920896"}));

  const std::string header =
      "deviceid|name|caption|description|drivetype|filesystem|size|freespace|volumename";
  EXPECT_EQ(
      Query(conn,
            "ASSOCIATORS OF {Win32_DiskPartition.DeviceID='/dev/sda1'} WHERE AssocClass = "
            "Win32_LogicalDiskToPartition"),
      (Rows{header, "/boot|/boot|/boot|Local Fixed Disk|3|ext4|536870912|241664000|/dev/sda1"}));
  // 2621440 blocks of 4096 bytes = 10 GiB; 917504 available blocks = 3.5 GiB.
  EXPECT_EQ(Query(conn,
                  "ASSOCIATORS OF {Win32_DiskPartition.DeviceID='/dev/sda2'} WHERE AssocClass = "
                  "Win32_LogicalDiskToPartition"),
            (Rows{header, "/|/|/|Local Fixed Disk|3|ext4|10737418240|3758096384|/dev/sda2"}))
      << "the bind mount of a directory of / is not a second logical disk";

  // Every block-device mount is a logical disk; the network mount, /proc and
  // /tmp are not, and statvfs is never called on them.
  host.asked.clear();
  EXPECT_EQ(Query(conn, "SELECT DeviceID, Size, FreeSpace FROM Win32_LogicalDisk"),
            (Rows{"deviceid|size|freespace", "/|10737418240|3758096384",
                  "/boot|536870912|241664000", "/snap/core|67108864|0"}));
  EXPECT_EQ(host.asked, (Rows{"/", "/boot", "/snap/core"}));

  // The associations in the other direction, and as classes of their own.
  EXPECT_EQ(Query(conn,
                  "ASSOCIATORS OF {Win32_LogicalDisk.DeviceID='/'} WHERE AssocClass = "
                  "Win32_LogicalDiskToPartition")[1],
            "/dev/sda2|/dev/sda2|/dev/sda2|Partition|0|1|537919488|10199498752|512|19920896");
  EXPECT_EQ(Query(conn,
                  "ASSOCIATORS OF {Win32_DiskPartition.DeviceID='/dev/sda1'} WHERE ResultClass = "
                  "Win32_DiskDrive")[1]
                .substr(0, 22),
            "/dev/sda|/dev/sda|VBOX");
  EXPECT_EQ(
      Query(conn, "SELECT * FROM Win32_DiskDriveToDiskPartition"),
      (Rows{"antecedent|dependent",
            "Win32_DiskDrive.DeviceID=\"/dev/sda\"|Win32_DiskPartition.DeviceID=\"/dev/sda1\"",
            "Win32_DiskDrive.DeviceID=\"/dev/sda\"|Win32_DiskPartition.DeviceID=\"/dev/sda2\""}));
  EXPECT_EQ(Query(conn, "ASSOCIATORS OF {Win32_LogicalDisk.DeviceID='/snap/core'}"), Rows{""})
      << "a loop-device file system is on no partition: no objects, no columns";
}

TEST(WmiPlainHost, MemoryProcessorsProcessesAndSystem) {
  UseUtc();
  RecordedHost host(DataDir("host_plain"), 1700001000);
  DBConnectionToWMI conn(host.options);
  ASSERT_EQ(ClockTicksPerSecond(), 100) << "the recorded times are in ticks of 1/100 s";

  // MemTotal 8061292 kB in bytes; two processors.
  EXPECT_EQ(
      Query(conn, "SELECT * FROM Win32_ComputerSystem"),
      (Rows{"name|caption|totalphysicalmemory|numberoflogicalprocessors|systemtype|manufacturer|"
            "model",
            "plainhost|plainhost|8254763008|2|x64-based PC|QEMU|Standard PC (Q35 + ICH9, 2009)"}));

  // Free memory is MemAvailable (5242880 kB), not MemFree; btime 1700000000 is
  // 2023-11-14 22:13:20 UTC; the clock stands 1000 s later.
  EXPECT_EQ(
      Query(conn, "SELECT * FROM Win32_OperatingSystem"),
      (Rows{"name|caption|version|osarchitecture|csdversion|othertypedescription|ostype|csname|"
            "lastbootuptime|localdatetime|freephysicalmemory|totalvisiblememorysize|"
            "sizestoredinpagingfiles|freespaceinpagingfiles|totalvirtualmemorysize|"
            "freevirtualmemory|primary",
            "Debian GNU/Linux 12 (bookworm)|Debian GNU/Linux 12 (bookworm)|6.1.0-13-amd64|64-bit|"
            "<null>|<null>|36|plainhost|20231114221320.000000+000|20231114223000.000000+000|"
            "5242880|8061292|2097148|1048576|10158440|6291456|True"}));

  // Idle time is idle + iowait; the time stamp is the line's total; both in
  // 100 ns units (1 tick = 100000).
  const std::string header =
      "name|percentprocessortime|percentidletime|percentusertime|percentprivilegedtime|"
      "percentinterrupttime|timestamp_sys100ns|frequency_sys100ns";
  const std::string cpu0 = "0|400000000|400000000|65000000|25000000|1500000|491500000|10000000";
  const std::string cpu1 = "1|420000000|420000000|45000000|25000000|1500000|491500000|10000000";
  EXPECT_EQ(Query(conn, "SELECT * FROM Win32_PerfRawData_PerfOS_Processor WHERE Name != '_Total' "),
            (Rows{header, cpu0, cpu1}));
  EXPECT_EQ(Query(conn, "SELECT * FROM Win32_PerfRawData_PerfOS_Processor"),
            (Rows{header, cpu0, cpu1,
                  "_Total|820000000|820000000|110000000|50000000|3000000|983000000|10000000"}));

  // Three processes (77 has no stat file and 78 an empty one: both ended while
  // listed); a command name with blanks and parentheses stays whole.
  EXPECT_EQ(Query(conn, "SELECT * FROM Win32_Process"),
            (Rows{"handle|processid|parentprocessid|name|caption|description|threadcount|"
                  "kernelmodetime|usermodetime|workingsetsize|virtualsize|pagefaults|creationdate",
                  "1|1|0|systemd|systemd|systemd|1|15000000|25000000|12288000|170000000|5030|"
                  "20231114221320.120000+000",
                  "42|42|1|(sd-pam) x|(sd-pam) x|(sd-pam) x|1|200000|100000|2048000|105000000|60|"
                  "20231114221323.500000+000",
                  "100|100|1|postgres|postgres|postgres|7|2500000|7500000|16384000|220000000|2004|"
                  "20231114221332.340000+000"}));
}

TEST(WmiPlainHost, DiskBusyRatesOverTheIntervalSinceTheLastReading) {
  TempDir dir;
  RecordedHost host(CopyCountingFromBoot("host_plain", dir), 1700001000);
  // The first query reads the counters twice: at boot, then 1000 s later.
  int waits = 0;
  host.onSleep = [&] {
    ++waits;
    host.monotonic += 999;
    RestoreDiskCounters("host_plain", dir);
  };
  DBConnectionToWMI conn(host.options);
  const std::string query = "SELECT * FROM Win32_PerfFormattedData_PerfDisk_PhysicalDisk";
  const std::string header =
      "name|caption|description|percentidletime|percentdisktime|diskreadbytespersec|"
      "diskwritebytespersec|diskreadspersec|diskwritespersec|currentdiskqueuelength";
  // First query: the change over the 1000 s between its two readings. 250000
  // ms busy = 25 %; 204800 sectors read = 104857.6 bytes/s; 409600 written =
  // 209715.2 bytes/s.
  const Rows sinceBoot{header, "0 /boot /|<null>|<null>|75|25|104857|209715|1|2|0",
                       "_Total|<null>|<null>|75|25|104857|209715|1|2|0"};
  EXPECT_EQ(Query(conn, query), sinceBoot);
  EXPECT_EQ(waits, 1);
  // Within a second of that reading the same rates are given again.
  host.monotonic += 0.5;
  EXPECT_EQ(Query(conn, query), sinceBoot);
  // Two seconds on with unchanged counters the disk was idle.
  host.monotonic += 1.5;
  EXPECT_EQ(Query(conn, query), (Rows{header, "0 /boot /|<null>|<null>|100|0|0|0|0|0|0",
                                      "_Total|<null>|<null>|100|0|0|0|0|0|0"}));
  // The host probe's own query and its mount point rule: the last word.
  EXPECT_EQ(Query(conn,
                  "SELECT Caption, Name, Description, PercentIdleTime FROM "
                  "Win32_PerfFormattedData_PerfDisk_PhysicalDisk")[0],
            "caption|name|description|percentidletime");
}

TEST(WmiLvmHost, FileSystemsOnMdLvmCryptAndWholeDisksBelongToTheirDisks) {
  TempDir dir;
  RecordedHost host(CopyCountingFromBoot("host_lvm", dir), 1600001000);
  int waits = 0;
  host.onSleep = [&] {
    ++waits;
    host.monotonic += 999;
    RestoreDiskCounters("host_lvm", dir);
  };
  DBConnectionToWMI conn(host.options);

  EXPECT_EQ(
      Query(conn,
            "SELECT DeviceID, Caption, Index, BytesPerSector, Size, TotalSectors, "
            "Partitions, Model FROM Win32_DiskDrive"),
      (Rows{"deviceid|caption|index|bytespersector|size|totalsectors|partitions|model",
            "/dev/nvme0n1|Samsung SSD 980 1TB|0|4096|1024209543168|250051158|0|Samsung SSD 980 1TB",
            "/dev/sda|sda|1|512|21474836480|41943040|2|<null>",
            "/dev/sdb|sdb|2|512|21474836480|41943040|2|<null>"}))
      << "md0 and the device-mapper devices are built on disks, not disks";

  // A disk without a partition table is its own single partition.
  EXPECT_EQ(Query(conn,
                  "ASSOCIATORS OF {Win32_DiskDrive.DeviceID='/dev/nvme0n1'} WHERE AssocClass = "
                  "Win32_DiskDriveToDiskPartition")[1],
            "/dev/nvme0n1|/dev/nvme0n1|/dev/nvme0n1|Whole disk|0|0|0|1024209543168|4096|250051158");

  // The host probe's walk: disk -> partitions -> logical disks.
  std::map<std::string, std::string> found;
  for (const char* disk : {"/dev/nvme0n1", "/dev/sda", "/dev/sdb"}) {
    auto parts = conn.ExecuteQuery(std::string("ASSOCIATORS OF {Win32_DiskDrive.DeviceID='") +
                                   disk + "'} WHERE AssocClass = Win32_DiskDriveToDiskPartition");
    for (uint32_t p = 0; p < parts->GetRowCount(); ++p) {
      const std::string part = parts->GetValueByName(p, "DeviceID");
      auto disks = conn.ExecuteQuery("ASSOCIATORS OF {Win32_DiskPartition.DeviceID='" + part +
                                     "'} WHERE AssocClass = Win32_LogicalDiskToPartition");
      ASSERT_TRUE(disks->IsOk()) << part;
      std::string& mounts = found[part];
      for (uint32_t l = 0; l < disks->GetRowCount(); ++l) {
        mounts += (l ? " " : "") + disks->GetValueByName(l, "Caption") + ":" +
                  disks->GetValueByName(l, "FileSystem") + ":" + disks->GetValueByName(l, "Size") +
                  ":" + disks->GetValueByName(l, "FreeSpace");
      }
    }
  }
  // RAID 1 members both carry the LVM volumes on the array; dm-crypt sits on
  // sdb2; the btrfs volume (anonymous device number) is found by its source.
  const std::string root = "/:ext4:10567680000:5607129088";
  const std::string data = "/data:xfs:9663676416:9662464000";
  EXPECT_EQ(found, (std::map<std::string, std::string>{
                       {"/dev/nvme0n1", "/scratch:btrfs:1024204800000:1024000000000"},
                       {"/dev/sda1", root + " " + data},
                       {"/dev/sda2", "/boot:ext4:991232000:769654784"},
                       {"/dev/sdb1", root + " " + data},
                       {"/dev/sdb2", "/secure:ext4:972800000:870400000"}}));

  // Busy time: nvme 100 ms, sda 400 s, sdb 600 s in the 1000 s between the two
  // readings; the total is their average.
  EXPECT_EQ(
      Query(conn,
            "SELECT Name, PercentIdleTime, DiskReadBytesPersec, DiskWriteBytesPersec, "
            "CurrentDiskQueueLength FROM Win32_PerfFormattedData_PerfDisk_PhysicalDisk"),
      (Rows{"name|percentidletime|diskreadbytespersec|diskwritebytespersec|currentdiskqueuelength",
            "0 /scratch|100|40|81|0", "1 / /data /boot|60|512|1024|2",
            "2 / /data /secure|40|512|1024|1", "_Total|67|1064|2129|3"}));
  EXPECT_EQ(waits, 1) << "later queries use the kept reading";

  // No PRETTY_NAME, /usr/lib/os-release only; no DMI files.
  EXPECT_EQ(Query(conn, "SELECT Caption, Version FROM Win32_OperatingSystem"),
            (Rows{"caption|version", "Rocky Linux|5.14.0-362.el9.x86_64"}));
  EXPECT_EQ(Query(conn,
                  "SELECT TotalPhysicalMemory, NumberOfLogicalProcessors, Manufacturer, Model "
                  "FROM Win32_ComputerSystem"),
            (Rows{"totalphysicalmemory|numberoflogicalprocessors|manufacturer|model",
                  "67422416896|4|<null>|<null>"}));
}

TEST(WmiQuery, SelectionConditionsCaseAndNull) {
  RecordedHost host(DataDir("host_plain"), 1700001000);
  DBConnectionToWMI conn(host.options);
  struct Case {
    const char* wql;
    Rows rows;
  };
  const Case cases[] = {
      // Only the selected properties, once each, in query order, lower-cased.
      {"select NAME, threadCount, Name from win32_PROCESS",
       {"name|threadcount", "systemd|1", "(sd-pam) x|1", "postgres|7"}},
      // Numbers compare as numbers, texts without regard to case.
      {"SELECT ProcessId FROM Win32_Process WHERE ThreadCount > 1", {"processid", "100"}},
      {"SELECT ProcessId FROM Win32_Process WHERE ProcessId >= 42 AND ProcessId < 100",
       {"processid", "42"}},
      {"SELECT ProcessId FROM Win32_Process WHERE ProcessId <= 9", {"processid", "1"}},
      {"SELECT ProcessId FROM Win32_Process WHERE Name = 'POSTGRES'", {"processid", "100"}},
      {"SELECT ProcessId FROM Win32_Process WHERE Name <> 'postgres' AND Name < 'T'",
       {"processid", "1", "42"}},
      {"SELECT ProcessId FROM Win32_Process WHERE ThreadCount = 7.0", {"processid", "100"}},
      {"SELECT MediaLoaded FROM Win32_DiskDrive WHERE MediaLoaded = TRUE", {"medialoaded", "True"}},
      // NULL satisfies no condition, not even !=.
      {"SELECT Name FROM Win32_OperatingSystem WHERE CSDVersion != 'x'", {""}},
      // Nothing matches: no objects and no columns.
      {"SELECT * FROM Win32_Process WHERE Name = 'nothing'", {""}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Query(conn, c.wql), c.rows) << c.wql;
  }

  auto r = conn.ExecuteQuery("SELECT Name, Model, MediaLoaded FROM Win32_DiskDrive");
  bool isNull = true;
  EXPECT_EQ(r->GetValueByName(0, "medialoaded", &isNull), "True");
  EXPECT_FALSE(isNull);
  EXPECT_EQ(r->GetValueByName(0, "MODEL", &isNull), "VBOX HARDDISK");
  isNull = false;
  EXPECT_EQ(r->GetValueByName(0, "Size", &isNull), "") << "not selected";
  EXPECT_TRUE(isNull);
  for (auto [row, column] : {std::pair{-1, 0}, {1, 0}, {0, 3}, {0, -1}}) {
    isNull = false;
    EXPECT_EQ(r->GetValueByIndex(row, column, &isNull), "") << row << "," << column;
    EXPECT_TRUE(isNull);
  }
  isNull = false;
  EXPECT_EQ(r->GetValueByName(5, "Name", &isNull), "");
  EXPECT_TRUE(isNull);
}

TEST(WmiQuery, RejectedQueriesCarryTheirCodeAndReason) {
  RecordedHost host(DataDir("host_plain"), 1700001000);
  WmiHost engine(host.options);
  DBConnectionToWMI conn(host.options);
  struct Case {
    const char* wql;
    int32_t code;
    const char* message;
    const char* detail;
  };
  const Case cases[] = {
      {"SELEC * FROM Win32_Process", WBEM_E_INVALID_QUERY,
       "Query failed. Error code = 0x-2147217385",
       "the query must begin with SELECT or ASSOCIATORS OF (at offset 0)"},
      {"SELECT * FROM Win32_Foo", WBEM_E_INVALID_CLASS, "Query failed. Error code = 0x-2147217392",
       "no class named Win32_Foo"},
      {"SELECT Foo FROM Win32_Process", WBEM_E_INVALID_QUERY,
       "Query failed. Error code = 0x-2147217385", "Win32_Process has no property Foo"},
      {"SELECT Name FROM Win32_Process WHERE Foo = '1'", WBEM_E_INVALID_QUERY,
       "Query failed. Error code = 0x-2147217385", "Win32_Process has no property Foo"},
      {"SELECT Name FROM Win32_Process WHERE ThreadCount > 'many'", WBEM_E_INVALID_QUERY,
       "Query failed. Error code = 0x-2147217385",
       "the value 'many' of ThreadCount is not a number"},
      {"ASSOCIATORS OF {Win32_Foo.DeviceID='x'}", WBEM_E_INVALID_CLASS,
       "Query failed. Error code = 0x-2147217392", "no class named Win32_Foo"},
      {"ASSOCIATORS OF {Win32_DiskDrive.Name='/dev/sda'}", WBEM_E_INVALID_OBJECT_PATH,
       "Query failed. Error code = 0x-2147217350",
       "Win32_DiskDrive is keyed by DeviceID, not Name"},
      {"ASSOCIATORS OF {Win32_DiskDrive.DeviceID='/dev/sda'} WHERE AssocClass = Win32_Foo",
       WBEM_E_INVALID_CLASS, "Query failed. Error code = 0x-2147217392",
       "no association class named Win32_Foo"},
      {"ASSOCIATORS OF {Win32_DiskDrive.DeviceID='/dev/sda'} WHERE ResultClass = Win32_Foo",
       WBEM_E_INVALID_CLASS, "Query failed. Error code = 0x-2147217392",
       "no class named Win32_Foo"},
      {"ASSOCIATORS OF {Win32_DiskDrive.DeviceID='/dev/sdz'} WHERE AssocClass = "
       "Win32_DiskDriveToDiskPartition",
       WBEM_E_NOT_FOUND, "Query failed. Error code = 0x-2147217406",
       "Win32_DiskDrive has no object with DeviceID '/dev/sdz'"},
  };
  for (const Case& c : cases) {
    WmiQueryResult result;
    const WmiStatus s = engine.Query(c.wql, result);
    EXPECT_EQ(s.code, c.code) << c.wql;
    EXPECT_EQ(s.detail, c.detail) << c.wql;
    EXPECT_TRUE(result.rows.empty() && result.columnNames.empty()) << c.wql;
    auto r = conn.ExecuteQuery(c.wql);
    EXPECT_FALSE(r->IsOk()) << c.wql;
    EXPECT_EQ(r->GetErrorMessage(), c.message) << c.wql;
    EXPECT_EQ(r->GetRowCount(), 0u);
    EXPECT_TRUE(r->columnNames.empty());
  }
  // The connection stays usable after a failed query.
  EXPECT_TRUE(conn.ExecuteQuery("SELECT Name FROM Win32_Process")->IsOk());

  // A result set made with a failure status reports it in its own form.
  ResultSetFromWMI failed(WmiQueryResult(), WBEM_E_FAILED);
  EXPECT_FALSE(failed.IsOk());
  EXPECT_EQ(failed.GetErrorMessage(), "Operation Failed. Error code := 0x-2147217407");

  // SyncToDB is not supported on the WMI connection: nothing is stored, and the
  // caller gets an error rather than a success.
  ResultSetFromWMI empty(WmiQueryResult(), 0);
  EXPECT_EQ(conn.SyncToDB(empty, "varodata.t", {"name"}, {}, {}),
            "WMI does not support SyncToDB function call.");
}

// A copy of a recorded tree that a test may break.
class BrokenHost : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "varo-wmi-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root = tmpl;
    fs::copy(DataDir("host_plain"), root, fs::copy_options::recursive);
  }
  void TearDown() override { fs::remove_all(root); }

  void Write(const std::string& path, const std::string& text) {
    std::ofstream(root + path, std::ios::trunc) << text;
  }

  // The detail of a failing query; the connection's text is checked too.
  std::string Failure(const std::string& wql) {
    RecordedHost host(root, 1700001000);
    WmiHost engine(host.options);
    WmiQueryResult result;
    const WmiStatus s = engine.Query(wql, result);
    EXPECT_EQ(s.code, WBEM_E_PROVIDER_FAILURE) << wql << ": " << s.detail;
    EXPECT_TRUE(result.rows.empty()) << "a failed read is never a shorter list";
    DBConnectionToWMI conn(host.options);
    EXPECT_EQ(conn.ExecuteQuery(wql)->GetErrorMessage(),
              "Query failed. Error code = 0x-2147217404");
    std::string detail = s.detail;
    if (size_t at = detail.find(root); at != std::string::npos)
      detail.replace(at, root.size(), "<root>");
    return detail;
  }

  std::string root;
};

TEST_F(BrokenHost, MissingAndMalformedFilesFailTheQuery) {
  fs::remove(root + "/proc/meminfo");
  EXPECT_EQ(Failure("SELECT TotalPhysicalMemory FROM Win32_ComputerSystem"),
            "cannot read <root>/proc/meminfo: No such file or directory");
  Write("/proc/meminfo", "MemTotal: 100 kB\nMemFree: 50 kB\nSwapTotal: 0 kB\nSwapFree: 0 kB\n");
  EXPECT_EQ(Failure("SELECT FreePhysicalMemory FROM Win32_OperatingSystem"),
            "<root>/proc/meminfo: no MemAvailable line");
  Write("/proc/meminfo", "MemTotal: lots kB\n");
  EXPECT_EQ(Failure("SELECT FreePhysicalMemory FROM Win32_OperatingSystem"),
            "<root>/proc/meminfo: malformed MemTotal line");

  Write("/proc/stat", "cpu  1 2 3 4\ncpu0 1 2 3 4\n");
  EXPECT_EQ(Failure("SELECT * FROM Win32_PerfRawData_PerfOS_Processor"),
            "<root>/proc/stat: no btime line");
  Write("/proc/stat", "cpu0 1 2 3 4\nbtime 1\n");
  EXPECT_EQ(Failure("SELECT * FROM Win32_PerfRawData_PerfOS_Processor"),
            "<root>/proc/stat: the summed cpu line is not first");
  Write("/proc/stat", "cpu  1 2 x 4\nbtime 1\n");
  EXPECT_EQ(Failure("SELECT * FROM Win32_PerfRawData_PerfOS_Processor"),
            "<root>/proc/stat: malformed cpu line");
}

TEST_F(BrokenHost, AProcessThatCannotBeReadFailsTheScan) {
  // A stat file that exists but cannot be read is not a process that ended.
  fs::remove(root + "/proc/100/stat");
  fs::create_directory(root + "/proc/100/stat");
  EXPECT_EQ(Failure("SELECT * FROM Win32_Process"),
            "cannot read <root>/proc/100/stat: Is a directory");
  fs::remove(root + "/proc/100/stat");
  Write("/proc/100/stat", "100 (postgres) S 1 2 3\n");
  EXPECT_EQ(Failure("SELECT * FROM Win32_Process"), "<root>/proc/100/stat: malformed");
}

TEST_F(BrokenHost, DisksAndFileSystemsThatCannotBeReadFailTheQuery) {
  const std::string walk =
      "ASSOCIATORS OF {Win32_DiskPartition.DeviceID='/dev/sda2'} WHERE AssocClass = "
      "Win32_LogicalDiskToPartition";
  {
    // statvfs refused on a block-device mount.
    RecordedHost host(root, 1700001000);
    host.space.erase(root + "/");
    WmiHost engine(host.options);
    WmiQueryResult result;
    const WmiStatus s = engine.Query(walk, result);
    EXPECT_EQ(s.code, WBEM_E_PROVIDER_FAILURE);
    EXPECT_EQ(s.detail, "statvfs " + root + "/: Permission denied");
    // A file system unmounted since mountinfo was read is gone, not an error.
    host.spaceError = "No such file or directory";
    EXPECT_TRUE(engine.Query(walk, result).ok());
    EXPECT_TRUE(result.rows.empty());
  }
  Write("/sys/block/sda/sda2/size", "big\n");
  EXPECT_EQ(Failure(walk), "<root>/sys/block/sda/sda2/size: not a number");
  Write("/sys/block/sda/sda2/size", "19920896\n");
  Write("/sys/block/sda/dev", "8-0\n");
  EXPECT_EQ(Failure("SELECT DeviceID FROM Win32_DiskDrive"),
            "<root>/sys/block/sda/dev: not a major:minor pair");
  Write("/sys/block/sda/dev", "8:0\n");
  Write("/proc/self/mountinfo", "21 1 8:2 / /\n");
  EXPECT_EQ(Failure("SELECT DeviceID FROM Win32_LogicalDisk"),
            "<root>/proc/self/mountinfo: malformed line");
  fs::remove(root + "/proc/self/mountinfo");
  EXPECT_EQ(Failure("SELECT DeviceID FROM Win32_LogicalDisk"),
            "cannot read <root>/proc/self/mountinfo: No such file or directory");
  fs::remove_all(root + "/sys/block");
  EXPECT_EQ(Failure("SELECT DeviceID FROM Win32_DiskDrive"),
            "cannot read <root>/sys/block: No such file or directory");
}

TEST_F(BrokenHost, DiskCountersMissingForADiskFailTheQuery) {
  Write("/proc/diskstats", "   8       1 sda1 100 0 8000 90 10 0 80 5 0 100 95 0 0 0 0\n");
  EXPECT_EQ(Failure("SELECT Name FROM Win32_PerfFormattedData_PerfDisk_PhysicalDisk"),
            "<root>/proc/diskstats: no line for sda");
  Write("/proc/diskstats", "   8       0 sda 1000 10\n");
  EXPECT_EQ(Failure("SELECT Name FROM Win32_PerfFormattedData_PerfDisk_PhysicalDisk"),
            "<root>/proc/diskstats: malformed line for sda");
}

TEST_F(BrokenHost, VanishedBlockDevicesAreLeftOut) {
  // A device listed in /sys/block whose files are gone was removed meanwhile.
  fs::remove(root + "/sys/block/sda/dev");
  RecordedHost host(root, 1700001000);
  DBConnectionToWMI conn(host.options);
  EXPECT_EQ(Query(conn, "SELECT DeviceID FROM Win32_DiskDrive"), Rows{""});
}

TEST(FormatCimDateTime, LocalTimeWithItsOffsetInMinutes) {
  setenv("TZ", "CET-1", 1);
  tzset();
  EXPECT_EQ(FormatCimDateTime(1383640212, 500000), "20131105093012.500000+060");
  setenv("TZ", "EST+5", 1);
  tzset();
  EXPECT_EQ(FormatCimDateTime(1383640212), "20131105033012.000000-300");
  UseUtc();
  EXPECT_EQ(FormatCimDateTime(0), "19700101000000.000000+000");
}

}  // namespace

namespace {

TEST_F(BrokenHost, BlockLayoutIsReadAgainWhenProcPartitionsChanges) {
  RecordedHost host(root, 1700001000);
  DBConnectionToWMI conn(host.options);
  const std::string query = "SELECT Size FROM Win32_DiskDrive";
  EXPECT_EQ(Query(conn, query), (Rows{"size", "10737418240"}));
  // The disk grew, but /proc/partitions does not say so yet: the kept layout stands.
  Write("/sys/block/sda/size", "41943040\n");
  EXPECT_EQ(Query(conn, query), (Rows{"size", "10737418240"}));
  std::ifstream in(root + "/proc/partitions");
  std::stringstream text;
  text << in.rdbuf();
  std::string partitions = text.str();
  partitions.replace(partitions.find("10485760 sda"), 12, "20971520 sda");
  Write("/proc/partitions", partitions);
  EXPECT_EQ(Query(conn, query), (Rows{"size", "21474836480"}));
  // Without /proc/partitions nothing is kept.
  fs::remove(root + "/proc/partitions");
  Write("/sys/block/sda/size", "2048\n");
  EXPECT_EQ(Query(conn, query), (Rows{"size", "1048576"}));
  Write("/proc/partitions", "major minor  #blocks  name\n\n 8 0 x sda\n");
  EXPECT_EQ(Failure(query), "<root>/proc/partitions: malformed line");
}

TEST_F(BrokenHost, AQueryReadsOnlyTheSourcesOfItsProperties) {
  fs::remove(root + "/proc/stat");
  RecordedHost host(root, 1700001000);
  DBConnectionToWMI conn(host.options);
  EXPECT_EQ(Query(conn, "SELECT TotalPhysicalMemory FROM Win32_ComputerSystem"),
            (Rows{"totalphysicalmemory", "8254763008"}));
  EXPECT_EQ(Query(conn, "SELECT ProcessId FROM Win32_Process WHERE ThreadCount = 7"),
            (Rows{"processid", "100"}));
  EXPECT_EQ(Failure("SELECT * FROM Win32_ComputerSystem"),
            "cannot read <root>/proc/stat: No such file or directory");
  EXPECT_EQ(Failure("SELECT CreationDate FROM Win32_Process"),
            "cannot read <root>/proc/stat: No such file or directory");
}

}  // namespace
