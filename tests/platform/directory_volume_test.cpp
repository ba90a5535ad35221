// Directory listings and volume ids on the real file system: /tmp and
// /dev/shm stand for two volumes when they are different file systems.
#include "platform/directory_volume.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

uint64_t DeviceOf(const fs::path& path, bool followLinks) {
  struct stat info {};
  const int rc = followLinks ? stat(path.c_str(), &info) : lstat(path.c_str(), &info);
  EXPECT_EQ(rc, 0) << path;
  return static_cast<uint64_t>(info.st_dev);
}

TEST(GetVolumeId, FollowsALinkToTheVolumeOfItsTarget) {
  TempDir dir;
  uint64_t volume = 0;
  EXPECT_EQ(GetVolumeId(dir.str(), volume), "");
  EXPECT_EQ(volume, DeviceOf(dir.path(), true));

  if (DeviceOf("/dev/shm", true) == DeviceOf(dir.path(), true)) {
    GTEST_SKIP() << "/dev/shm is on the same file system as /tmp here";
  }
  const fs::path link = dir.path() / "pg_wal";
  fs::create_directory_symlink("/dev/shm", link);
  volume = 0;
  EXPECT_EQ(GetVolumeId(link.string(), volume), "");
  EXPECT_EQ(volume, DeviceOf("/dev/shm", true));
  EXPECT_NE(volume, DeviceOf(link, false));
}

TEST(GetVolumeId, MissingPathsAndDanglingLinksGiveTheSystemText) {
  TempDir dir;
  uint64_t volume = 7;
  EXPECT_EQ(GetVolumeId((dir.path() / "none").string(), volume), "No such file or directory");
  fs::create_symlink(dir.path() / "gone", dir.path() / "dangling");
  EXPECT_EQ(GetVolumeId((dir.path() / "dangling").string(), volume), "No such file or directory");
  EXPECT_EQ(volume, 7u) << "a failure leaves the volume alone";
}

TEST(ListDirectoryNames, ListsEveryEntryButDotAndDotDot) {
  TempDir dir;
  std::vector<std::string> names;
  EXPECT_EQ(ListDirectoryNames(dir.str(), names), "");
  EXPECT_TRUE(names.empty());

  fs::create_directory(dir.path() / "16384");
  std::ofstream(dir.path() / "1;DROP DATABASE x").put('x');
  fs::create_symlink(dir.path() / "gone", dir.path() / "16385");
  EXPECT_EQ(ListDirectoryNames(dir.str(), names), "");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"16384", "16385", "1;DROP DATABASE x"}));

  names.clear();
  EXPECT_EQ(ListDirectoryNames((dir.path() / "none").string(), names), "No such file or directory");
  EXPECT_EQ(ListDirectoryNames((dir.path() / "1;DROP DATABASE x").string(), names),
            "Not a directory");
  EXPECT_TRUE(names.empty());
}

}  // namespace
