// Reading and rewriting files of another account on this host: a monitored
// server's pg_hba.conf and postgresql.conf. The agent runs as root, so it
// trusts a file only where no other account than the file's owner (or root)
// could have put it or could swap it while it is being edited. One object per
// edit, used by one thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

// Reads at most `maxBytes` of the regular file at `path` into `content`
// (without waiting on a FIFO or a device). With `readableBy`, only a file
// that account could read itself (it owns the file, or everyone may read it),
// so that the agent's own rights never hand out a file on another's behalf.
// False with the cause in `error`.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& content,
                     std::string& error, std::optional<uid_t> readableBy = std::nullopt);

// The account of the process at the other end of the local (Unix) socket
// `fd`; none for another kind of socket.
std::optional<uid_t> SocketPeerUid(int fd);

// One file opened for a rewrite. Open checks the path: it must be absolute;
// every directory on its resolved path must be owned by root or the file's
// owner and must not be writable by group or others, except a directory with
// the sticky bit (/tmp) above the file's own directory; the file itself must
// be a regular file (not a symbolic link) with a single link, owned by root or
// its directory's owner. Replace writes the new content to a temporary file
// in the same directory, gives it the old file's owner and mode, syncs it and
// renames it over the old file: a failure at any point (a full disk, a crash)
// leaves the old file as it was.
class ProtectedFile {
 public:
  ProtectedFile() = default;
  ProtectedFile(const ProtectedFile&) = delete;
  ProtectedFile& operator=(const ProtectedFile&) = delete;

  // Opens and reads the file. False with the cause in `error`, also when it
  // holds more than `maxBytes`.
  bool Open(const std::string& path, size_t maxBytes, std::string& error);
  const std::string& content() const { return content_; }
  // Replaces the file's content as described above. False with the cause in
  // `error`; the old file is then unchanged. Fails when the file was replaced
  // by another one since Open.
  bool Replace(std::string_view newContent, std::string& error);

 private:
  UniqueFd directory_;
  std::string name_;
  struct stat fileStat_ {};
  std::string content_;
};
