// Reading files of other accounts: only regular files, never waiting on a
// FIFO, bounded, and on behalf of an account only what it could read itself.
#include "platform/protected_file.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace {

TEST(ReadRegularFile, ReadsBoundedRegularFilesOnly) {
  TempDir dir;
  const std::string file = dir.str() + "/f";
  std::ofstream(file) << "0123456789";
  std::string content;
  std::string error;
  ASSERT_TRUE(ReadRegularFile(file, 4, content, error)) << error;
  EXPECT_EQ(content, "0123");
  ASSERT_TRUE(ReadRegularFile(file, 100, content, error)) << error;
  EXPECT_EQ(content, "0123456789");

  const std::string fifo = dir.str() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(ReadRegularFile(fifo, 100, content, error));  // returns, no writer needed
  EXPECT_EQ(error, "not a regular file");
  EXPECT_FALSE(ReadRegularFile(dir.str(), 100, content, error));
  EXPECT_FALSE(ReadRegularFile(dir.str() + "/missing", 100, content, error));
}

TEST(ProtectedFile, RefusesAFileLongerThanItsLimitInsteadOfRewritingItsStart) {
  TempDir dir;
  const std::string file = dir.str() + "/postgresql.conf";
  std::ofstream(file) << "0123456789";
  ProtectedFile exact;
  std::string error;
  ASSERT_TRUE(exact.Open(file, 10, error)) << error;
  EXPECT_EQ(exact.content(), "0123456789");
  ProtectedFile longer;
  EXPECT_FALSE(longer.Open(file, 4, error));
  EXPECT_EQ(error, "the file is longer than 4 bytes");
  std::string content;
  ASSERT_TRUE(ReadRegularFile(file, 100, content, error)) << error;
  EXPECT_EQ(content, "0123456789");
}

TEST(ReadRegularFile, OnBehalfOfAnAccountOnlyWhatItCouldRead) {
  const passwd* pg = getpwnam("postgres");
  if (geteuid() != 0 || pg == nullptr) GTEST_SKIP() << "needs root and a postgres account";
  TempDir dir;
  const std::string file = dir.str() + "/secret";
  std::ofstream(file) << "root only\n";
  std::string content;
  std::string error;
  struct Case {
    mode_t mode;
    bool postgresOwns;
    bool readable;
  };
  const Case cases[] = {
      {0600, false, false}, {0640, false, false}, {0644, false, true},
      {0600, true, true},   {0200, true, false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(chown(file.c_str(), c.postgresOwns ? pg->pw_uid : 0, 0), 0);
    ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
    EXPECT_EQ(ReadRegularFile(file, 100, content, error, pg->pw_uid), c.readable)
        << std::oct << c.mode << " postgres owns " << c.postgresOwns << ": " << error;
    // Root itself reads every one of them.
    EXPECT_TRUE(ReadRegularFile(file, 100, content, error, 0));
  }
}

TEST(SocketPeerUid, NamesTheAccountAtTheOtherEndOfALocalSocket) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_EQ(SocketPeerUid(pair[0]), geteuid());
  close(pair[0]);
  close(pair[1]);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  EXPECT_EQ(SocketPeerUid(pipeEnds[0]), std::nullopt);
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  EXPECT_EQ(SocketPeerUid(-1), std::nullopt);
}

}  // namespace
