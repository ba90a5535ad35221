#include "platform/protected_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "platform/text.h"

namespace {

// Reads what `fd` holds, up to `maxBytes`.
bool ReadAll(int fd, size_t maxBytes, std::string& content, std::string& error) {
  content.clear();
  char buffer[65536];
  while (content.size() < maxBytes) {
    const size_t want = std::min(sizeof(buffer), maxBytes - content.size());
    const ssize_t got = ::read(fd, buffer, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = ErrnoText(errno);
      return false;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

bool WriteAll(int fd, std::string_view data, std::string& error) {
  while (!data.empty()) {
    const ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      error = ErrnoText(errno);
      return false;
    }
    data.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

bool WritableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

}  // namespace

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& content,
                     std::string& error, std::optional<uid_t> readableBy) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) {
    error = ErrnoText(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    error = ErrnoText(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
    return false;
  }
  if (readableBy && *readableBy != 0 &&
      !((st.st_uid == *readableBy && (st.st_mode & S_IRUSR) != 0) || (st.st_mode & S_IROTH) != 0)) {
    error = "the server's own account cannot read it";
    return false;
  }
  return ReadAll(fd.get(), maxBytes, content, error);
}

std::optional<uid_t> SocketPeerUid(int fd) {
  struct ucred peer {};
  socklen_t length = sizeof(peer);
  if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      length != sizeof(peer) || peer.pid == 0) {
    return std::nullopt;
  }
  return peer.uid;
}

bool ProtectedFile::Open(const std::string& path, size_t maxBytes, std::string& error) {
  if (path.empty() || path[0] != '/') {
    error = "not an absolute path";
    return false;
  }
  const size_t slash = path.rfind('/');
  name_ = path.substr(slash + 1);
  if (name_.empty() || name_ == "." || name_ == "..") {
    error = "not a file name";
    return false;
  }
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  char resolved[PATH_MAX];
  if (::realpath(directory.c_str(), resolved) == nullptr) {
    error = ErrnoText(errno);
    return false;
  }

  // Walk the resolved directory from the root, each step opened relative to
  // the one before without following links, so the checks hold for what is
  // used and not for a path that could change meanwhile.
  std::vector<std::string> parts;
  for (const char* at = resolved; *at != '\0';) {
    while (*at == '/') ++at;
    const char* end = at;
    while (*end != '\0' && *end != '/') ++end;
    if (end > at) parts.emplace_back(at, end);
    at = end;
  }
  UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) {
    error = ErrnoText(errno);
    return false;
  }
  std::vector<struct stat> chain;
  struct stat st {};
  if (::fstat(current.get(), &st) != 0) {
    error = ErrnoText(errno);
    return false;
  }
  chain.push_back(st);
  for (const std::string& part : parts) {
    UniqueFd next(
        ::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      error = "directory " + part + ": " + ErrnoText(errno);
      return false;
    }
    if (::fstat(next.get(), &st) != 0) {
      error = ErrnoText(errno);
      return false;
    }
    chain.push_back(st);
    current = std::move(next);
  }
  directory_ = std::move(current);

  UniqueFd file(::openat(directory_.get(), name_.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    error = ErrnoText(errno);
    return false;
  }
  if (::fstat(file.get(), &fileStat_) != 0) {
    error = ErrnoText(errno);
    return false;
  }
  if (!S_ISREG(fileStat_.st_mode)) {
    error = "not a regular file";
    return false;
  }
  if (fileStat_.st_nlink != 1) {
    error = "the file has more than one link";
    return false;
  }
  const struct stat& own = chain.back();
  const uid_t owner = own.st_uid;
  if (fileStat_.st_uid != 0 && fileStat_.st_uid != owner) {
    error = "the file's owner does not own its directory";
    return false;
  }
  if (WritableByOthers(own)) {
    error = "its directory " + std::string(resolved) + " is writable by group or others";
    return false;
  }
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    const struct stat& dir = chain[i];
    if (dir.st_uid != 0 && dir.st_uid != owner) {
      error = "a directory above it belongs to another user";
      return false;
    }
    // In a sticky directory (/tmp) only an entry's owner can move it, and
    // every directory here belongs to root or the file's owner.
    if (WritableByOthers(dir) && (dir.st_mode & S_ISVTX) == 0) {
      error = "a directory above it is writable by group or others";
      return false;
    }
  }
  // One byte more than allowed tells a file that is too long: a rewrite of
  // only its first part would lose the rest.
  if (!ReadAll(file.get(), maxBytes + 1, content_, error)) return false;
  if (content_.size() > maxBytes) {
    content_.clear();
    error = StrFormat("the file is longer than %zu bytes", maxBytes);
    return false;
  }
  return true;
}

bool ProtectedFile::Replace(std::string_view newContent, std::string& error) {
  if (!directory_.valid()) {
    error = "the file is not open";
    return false;
  }
  std::random_device random;
  std::string temporary;
  UniqueFd out;
  for (int attempt = 0; attempt < 100 && !out.valid(); ++attempt) {
    temporary = StrFormat(".%s.varo-%08x", name_.c_str(), static_cast<unsigned>(random()));
    out = UniqueFd(::openat(directory_.get(), temporary.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid() && errno != EEXIST) break;
  }
  if (!out.valid()) {
    error = "cannot create a temporary file: " + ErrnoText(errno);
    return false;
  }
  auto fail = [&](const std::string& what) {
    error = what;
    out.Reset();
    ::unlinkat(directory_.get(), temporary.c_str(), 0);
    return false;
  };
  if (!WriteAll(out.get(), newContent, error)) return fail(error);
  if (::fchown(out.get(), fileStat_.st_uid, fileStat_.st_gid) != 0) {
    return fail("cannot give the new file its owner: " + ErrnoText(errno));
  }
  if (::fchmod(out.get(), fileStat_.st_mode & 07777) != 0) {
    return fail("cannot give the new file its mode: " + ErrnoText(errno));
  }
  if (::fsync(out.get()) != 0) return fail(ErrnoText(errno));
  const int closed = ::close(out.Release());
  if (closed != 0) return fail(ErrnoText(errno));

  // The file must still be the one that was read.
  struct stat now {};
  if (::fstatat(directory_.get(), name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
      now.st_ino != fileStat_.st_ino || now.st_dev != fileStat_.st_dev) {
    return fail("the file was replaced while it was being edited");
  }
  if (::renameat(directory_.get(), temporary.c_str(), directory_.get(), name_.c_str()) != 0) {
    return fail(ErrnoText(errno));
  }
  // The rename itself reaches the disk with the directory.
  ::fsync(directory_.get());
  return true;
}
