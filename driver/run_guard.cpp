#include "driver/run_guard.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace qx::upgrader::driver {
namespace {

// The abstract name (no file behind it), without the leading NUL byte.
constexpr const char kClaimName[] = "qx-upgrader";

extern "C" void CaughtAndIgnored(int) {}

}  // namespace

RunClaim ClaimTheDevice() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return RunClaim::kUnavailable;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, kClaimName, sizeof kClaimName - 1);  // sun_path[0] stays 0
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kClaimName);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    return RunClaim::kTaken;  // fd stays open until the process ends
  }
  const int error = errno;
  ::close(fd);
  return error == EADDRINUSE ? RunClaim::kHeldByOther : RunClaim::kUnavailable;
}

void KeepRunningThroughSignals() {
  struct sigaction action {};
  action.sa_handler = CaughtAndIgnored;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int caught : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) {
    (void)::sigaction(caught, &action, nullptr);
  }
}

void SleepThroughSignals(unsigned int seconds) {
  timespec left{static_cast<std::time_t>(seconds), 0};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace qx::upgrader::driver
