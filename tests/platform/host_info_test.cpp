// The host readers' parsers and the less common shapes of their files: process
// names with blanks and parentheses, os-release quoting, mountinfo escapes and
// optional fields.
#include "platform/host_info.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(HostPath, JoinsRootAndPath) {
  EXPECT_EQ(HostPath("/", "/proc/stat"), "/proc/stat");
  EXPECT_EQ(HostPath("", "/proc/stat"), "/proc/stat");
  EXPECT_EQ(HostPath("/tmp/x", "/proc/stat"), "/tmp/x/proc/stat");
  EXPECT_EQ(HostPath("/tmp/x/", "/proc/stat"), "/tmp/x/proc/stat");
}

TEST(ParseProcessStat, NamesWithBlanksAndParenthesesAndMalformedLines) {
  const std::string tail = " S 1 2 3 0 -1 0 11 0 22 0 33 44 0 0 20 0 5 0 66 77 88 0 0\n";
  struct Case {
    std::string text;
    bool ok;
    std::string comm;
  };
  const Case cases[] = {
      {"10 (bash)" + tail, true, "bash"},
      {"10 (a b) c)" + tail, true, "a b) c"},
      {"10 ()" + tail, true, ""},
      {"10 ((x)" + tail, true, "(x"},
      {"10 bash" + tail, false, ""},
      {"x (bash)" + tail, false, ""},
      {"10 (bash) S 1 2 3", false, ""},
      {"10 (bash) S 1 2 3 0 -1 0 11 0 22 0 33 44 0 0 20 0 5 0 66 77 x", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    ProcessStat p;
    ASSERT_EQ(ParseProcessStat(c.text, p), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(p.pid, 10) << c.text;
    EXPECT_EQ(p.comm, c.comm) << c.text;
    EXPECT_EQ(p.ppid, 1);
    EXPECT_EQ(p.minorFaults, 11u);
    EXPECT_EQ(p.majorFaults, 22u);
    EXPECT_EQ(p.userTicks, 33u);
    EXPECT_EQ(p.systemTicks, 44u);
    EXPECT_EQ(p.threads, 5);
    EXPECT_EQ(p.startTicks, 66u);
    EXPECT_EQ(p.virtualBytes, 77u);
    EXPECT_EQ(p.residentPages, 88);
  }
}

TEST(ParseOsRelease, QuotingCommentsAndMissingKeys) {
  OsRelease r = ParseOsRelease(
      "# comment\n"
      "NAME='Plain Linux'\n"
      "PRETTY_NAME=\"Say \\\"hi\\\" \\$x\"\n"
      "  VERSION_ID = 1.2  \n"
      "BROKEN\n");
  EXPECT_TRUE(r.found);
  EXPECT_EQ(r.name, "Plain Linux");
  EXPECT_EQ(r.prettyName, "Say \"hi\" $x");
  EXPECT_EQ(r.versionId, "1.2");
  OsRelease none = ParseOsRelease("");
  EXPECT_EQ(none.prettyName, "");
}

class HostTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    root = dir_.str();
  }
  void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(root + path).parent_path());
    std::ofstream(root + path) << text;
  }
  TempDir dir_{"varo-host-"};
  std::string root;
};

TEST_F(HostTree, MountinfoEscapesAndOptionalFields) {
  Write(
      "/proc/self/mountinfo",
      "36 35 98:0 /mnt1 /mnt/my\\040disk rw,noatime master:1 shared:7 - ext3 /dev/my\\134root rw\n"
      "\n"
      "37 35 0:50 / /net rw - nfs4 srv:/x rw\n");
  std::vector<MountEntry> mounts;
  ASSERT_EQ(ReadMounts(root, mounts), "");
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].major, 98u);
  EXPECT_EQ(mounts[0].minor, 0u);
  EXPECT_EQ(mounts[0].root, "/mnt1");
  EXPECT_EQ(mounts[0].mountPoint, "/mnt/my disk");
  EXPECT_EQ(mounts[0].fsType, "ext3");
  EXPECT_EQ(mounts[0].source, "/dev/my\\root");
  EXPECT_EQ(mounts[1].major, 0u);
  EXPECT_EQ(mounts[1].source, "srv:/x");
}

TEST_F(HostTree, KernelFactsOfARecordedTree) {
  KernelInfo k;
  EXPECT_EQ(ReadKernelInfo(root, k),
            "cannot read " + root + "/proc/sys/kernel/hostname: No such file or directory");
  Write("/proc/sys/kernel/hostname", "h\n");
  Write("/proc/sys/kernel/osrelease", "6.1\n");
  Write("/proc/sys/kernel/version", "#1 SMP\n");
  Write("/proc/sys/kernel/arch", "aarch64\n");
  ASSERT_EQ(ReadKernelInfo(root, k), "");
  EXPECT_EQ(k.hostName, "h");
  EXPECT_EQ(k.machine, "aarch64");
  // No os-release at all is no error: the system names itself otherwise.
  OsRelease os;
  EXPECT_EQ(ReadOsRelease(root, os), "");
  EXPECT_FALSE(os.found);
}

TEST(HostReaders, LiveHostIsReadable) {
  MemoryInfo m;
  ProcStat s;
  std::vector<ProcessStat> processes;
  std::vector<BlockDevice> devices;
  std::vector<DiskStats> disks;
  std::vector<MountEntry> mounts;
  EXPECT_EQ(ReadMemoryInfo("/", m), "");
  EXPECT_GT(m.memTotalKb, 0u);
  EXPECT_LE(m.memAvailableKb, m.memTotalKb);
  EXPECT_EQ(ReadProcStat("/", s), "");
  EXPECT_GE(s.cpus.size(), 2u);
  EXPECT_EQ(ReadProcesses("/", processes), "");
  EXPECT_TRUE(
      std::is_sorted(processes.begin(), processes.end(),
                     [](const ProcessStat& a, const ProcessStat& b) { return a.pid < b.pid; }));
  EXPECT_EQ(ReadBlockDevices("/", devices), "");
  EXPECT_EQ(ReadDiskStats("/", disks), "");
  EXPECT_EQ(ReadMounts("/", mounts), "");
  FileSystemSpace space;
  EXPECT_EQ(ReadFileSystemSpace("/", space), "");
  EXPECT_GT(space.blocks, 0u);
  EXPECT_EQ(ReadFileSystemSpace("/no/such/dir", space),
            "statvfs /no/such/dir: No such file or directory");
}

// The cheap counts agree with the sum over every /proc/<pid>/stat. Processes
// start and end between the two readings (other tests run alongside), so the
// closest of a few tries must be within a small margin.
TEST(HostReaders, TaskCountsAgreeWithTheProcessScan) {
  TaskCounts counts;
  if (!CountTasks("/", counts)) GTEST_SKIP() << "not the initial process namespace, or hidepid";
  int64_t processDiff = INT64_MAX, threadDiff = INT64_MAX;
  for (int attempt = 0; attempt < 5; ++attempt) {
    ASSERT_TRUE(CountTasks("/", counts));
    std::vector<ProcessStat> processes;
    ASSERT_EQ(ReadProcesses("/", processes), "");
    int64_t threads = 0;
    for (const ProcessStat& p : processes) threads += p.threads;
    processDiff =
        std::min(processDiff, std::abs(counts.processes - static_cast<int64_t>(processes.size())));
    threadDiff = std::min(threadDiff, std::abs(counts.threads - threads));
    EXPECT_GE(counts.threads, counts.processes);
  }
  EXPECT_LE(processDiff, 3);
  EXPECT_LE(threadDiff, 6);
  // A recorded tree is always counted process by process.
  TempDir tree;
  EXPECT_FALSE(CountTasks(tree.str(), counts));
}

}  // namespace

namespace {

// The live host's interfaces from the routing socket agree with the files:
// the same interfaces with the same kind and state, and counters that only
// grew between the two readings (the files are read first).
TEST(HostReaders, NetworkInterfacesFromNetlinkAgreeWithTheFiles) {
  std::vector<NetworkInterface> files, netlink;
  for (int attempt = 0; attempt < 5; ++attempt) {
    ASSERT_EQ(ReadNetworkInterfaceFiles("/", files), "");
    ASSERT_EQ(ReadNetworkInterfaces("/", netlink), "");
    if (files.size() == netlink.size()) break;  // else an interface came or went
  }
  ASSERT_FALSE(netlink.empty());
  ASSERT_EQ(files.size(), netlink.size());
  for (const NetworkInterface& f : files) {
    auto n = std::find_if(netlink.begin(), netlink.end(),
                          [&](const NetworkInterface& x) { return x.name == f.name; });
    ASSERT_NE(n, netlink.end()) << f.name;
    EXPECT_EQ(n->index, f.index) << f.name;
    EXPECT_EQ(n->linkType, f.linkType) << f.name;
    EXPECT_EQ(n->wireless, f.wireless) << f.name;
    EXPECT_EQ(n->operState, f.operState) << f.name;
    EXPECT_EQ(n->carrier, f.carrier) << f.name;
    EXPECT_EQ(n->addressLength, f.addressLength) << f.name;
    EXPECT_EQ(n->speedMbps, f.speedMbps) << f.name;
    const uint64_t before[] = {f.rxBytes, f.rxPackets, f.rxErrors, f.rxDropped,
                               f.txBytes, f.txPackets, f.txErrors, f.txDropped};
    const uint64_t after[] = {n->rxBytes, n->rxPackets, n->rxErrors, n->rxDropped,
                              n->txBytes, n->txPackets, n->txErrors, n->txDropped};
    for (size_t i = 0; i < std::size(before); ++i)
      EXPECT_GE(after[i], before[i]) << f.name << " counter " << i;
  }
  std::vector<NetworkInterface> again = netlink;
  ASSERT_EQ(ReadNetworkInterfaces("/", again), "");
  EXPECT_EQ(again.size(), netlink.size()) << "a second reading replaces the first";
  EXPECT_TRUE(std::is_sorted(
      netlink.begin(), netlink.end(),
      [](const NetworkInterface& a, const NetworkInterface& b) { return a.index < b.index; }));
}

}  // namespace

namespace {

// Whether `table` has a mount at `point`.
bool HasMount(const std::vector<MountEntry>& table, const std::string& point) {
  return std::any_of(table.begin(), table.end(),
                     [&](const MountEntry& m) { return m.mountPoint == point; });
}

// The kept mount table is the same object while nothing changes, equals a
// fresh read, and is read again after a mount and an unmount. The mounts are
// made in a child process with a mount namespace of its own (root only).
TEST(HostReaders, MountTableWatchSeesMountsAndUnmounts) {
  MountTableWatch watch;
  std::shared_ptr<const std::vector<MountEntry>> first, second;
  ASSERT_EQ(watch.Read(first), "");
  ASSERT_EQ(watch.Read(second), "");
  EXPECT_EQ(first, second) << "unchanged: the kept table";
  std::vector<MountEntry> fresh;
  ASSERT_EQ(ReadMounts("/", fresh), "");
  EXPECT_EQ(first->size(), fresh.size());

  TempDir dir("varo-mounts-");
  const std::string point = dir.str();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // 77: cannot test here; 1..: which check failed.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      ::_exit(77);
    MountTableWatch inner;
    std::shared_ptr<const std::vector<MountEntry>> before, mounted, again, unmounted;
    if (!inner.Read(before).empty() || HasMount(*before, point)) ::_exit(1);
    if (::mount("none", point.c_str(), "tmpfs", 0, nullptr) != 0) ::_exit(77);
    if (!inner.Read(mounted).empty() || !HasMount(*mounted, point)) ::_exit(2);
    if (!inner.Read(again).empty() || again != mounted) ::_exit(3);
    if (::umount(point.c_str()) != 0) ::_exit(4);
    if (!inner.Read(unmounted).empty() || HasMount(*unmounted, point)) ::_exit(5);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace of its own (not root)";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "check that failed";
}

}  // namespace
