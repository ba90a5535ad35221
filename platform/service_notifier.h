// Status reports to the service manager with the sd_notify protocol: one
// datagram of NAME=value lines to the socket named by $NOTIFY_SOCKET. Without
// that variable every report does nothing. Any thread may call Notify.
#pragma once

#include <string>

class ServiceNotifier {
 public:
  // Reads $NOTIFY_SOCKET once.
  ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Sends `state` (for example "READY=1" or "STATUS=Paused"; several
  // assignments separated by newlines). Returns false when there is no socket
  // or the datagram could not be sent; the service goes on either way.
  bool Notify(const std::string& state) const;

  bool enabled() const { return !socketPath_.empty(); }

 private:
  std::string socketPath_;
};
