#include "platform/service_notifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/unique_fd.h"

ServiceNotifier::ServiceNotifier() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path != nullptr) socketPath_ = path;
}

bool ServiceNotifier::Notify(const std::string& state) const {
  if (socketPath_.empty()) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, socketPath_.data(), socketPath_.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath_.size());
  // A leading '@' names a socket in the abstract namespace.
  if (address.sun_path[0] == '@') {
    address.sun_path[0] = '\0';
  } else {
    length += 1;  // include the terminating NUL of a file system path
  }
  UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return false;
  ssize_t sent = sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
  return sent == static_cast<ssize_t>(state.size());
}
