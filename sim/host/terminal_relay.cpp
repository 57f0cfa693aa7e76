#include "sim/host/terminal_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "sim/common/wire.h"

namespace qx::sim {
namespace {

void CopyWindowSize(int to) {
  winsize size{};
  if (::ioctl(0, TIOCGWINSZ, &size) == 0) (void)::ioctl(to, TIOCSWINSZ, &size);
}

// Input waiting for the device to read it is held back up to this much; beyond it this
// process stops reading its own input until the device catches up.
constexpr std::size_t kMaxPendingInput = 1 << 16;

// After the end of this process's input, the device's terminal gets its end-of-file character
// this often, as if someone kept typing it: a character that arrives while the shell switches
// its terminal between modes may be lost, and a program that reads its input ends too, as it
// would at the end of a pipe.
constexpr int kEndOfInputRepeatMs = 100;

}  // namespace

TerminalRelay::~TerminalRelay() {
  Restore();
  CloseDeviceEnd();
  if (host_end_ >= 0) ::close(host_end_);
}

bool TerminalRelay::Open(std::string* error) {
  host_end_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (host_end_ < 0 || ::grantpt(host_end_) != 0 || ::unlockpt(host_end_) != 0 ||
      ::ptsname_r(host_end_, name, sizeof name) != 0 ||
      (device_end_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
    *error = std::string("cannot create a terminal for the device: ") + std::strerror(errno);
    return false;
  }
  (void)::fcntl(host_end_, F_SETFL, O_NONBLOCK);
  CopyWindowSize(host_end_);
  return true;
}

void TerminalRelay::CloseDeviceEnd() {
  if (device_end_ >= 0) ::close(device_end_);
  device_end_ = -1;
}

void TerminalRelay::Restore() {
  if (raw_) (void)::tcsetattr(0, TCSAFLUSH, &saved_);
  raw_ = false;
}

bool TerminalRelay::ShowOutput() {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(host_end_, buffer, sizeof buffer);
    if (n > 0) {
      (void)wire::WriteAll(1, buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // EAGAIN: nothing more for now; EIO: the device's end is closed everywhere.
    return n < 0 && errno == EAGAIN;
  }
}

bool TerminalRelay::PassInput() {
  if (pending_.size() < kMaxPendingInput) {
    char buffer[4096];
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
      pending_ += '\x04';  // Ctrl-D, the terminal's end-of-file character
      input_open_ = false;
    } else if (n > 0) {
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }
  return FlushInput();
}

bool TerminalRelay::FlushInput() {
  while (!pending_.empty()) {
    const ssize_t n = ::write(host_end_, pending_.data(), pending_.size());
    if (n > 0) {
      pending_.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 && errno == EAGAIN;  // the device reads on later
    }
  }
  return true;
}

bool TerminalRelay::RelayUntil(int done_fd, long long timeout_ms) {
  if (::isatty(0) == 1 && ::tcgetattr(0, &saved_) == 0) {
    termios raw = saved_;
    ::cfmakeraw(&raw);
    raw_ = ::tcsetattr(0, TCSANOW, &raw) == 0;
  }
  sigset_t caught, previous;
  sigemptyset(&caught);
  for (const int sig : {SIGWINCH, SIGTERM, SIGHUP}) sigaddset(&caught, sig);
  (void)::sigprocmask(SIG_BLOCK, &caught, &previous);
  const int signal_fd = ::signalfd(-1, &caught, SFD_CLOEXEC | SFD_NONBLOCK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool output_open = true, done = false;
  while (!done) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const bool can_read_input = input_open_ && pending_.size() < kMaxPendingInput;
    const short device_events =
        static_cast<short>((output_open ? POLLIN : 0) | (!pending_.empty() ? POLLOUT : 0));
    pollfd fds[4] = {{done_fd, POLLIN, 0},
                     {host_end_, device_events, 0},
                     {signal_fd, POLLIN, 0},
                     {can_read_input ? 0 : -1, POLLIN, 0}};
    const long long wait_ms =
        std::min<long long>(left.count(), input_open_ ? INT_MAX : kEndOfInputRepeatMs);
    const int ready = ::poll(fds, 4, static_cast<int>(wait_ms));
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && !input_open_ && pending_.empty()) {
      pending_ += '\x04';
      (void)FlushInput();
    }
    signalfd_siginfo info;
    while (signal_fd >= 0 && ::read(signal_fd, &info, sizeof info) == sizeof info) {
      const int sig = static_cast<int>(info.ssi_signo);
      if (sig == SIGWINCH) {
        CopyWindowSize(host_end_);
        continue;
      }
      // Ended from outside: the terminal as it was, then the signal's own end (the device
      // goes with this process).
      Restore();
      (void)::signal(sig, SIG_DFL);
      (void)::sigprocmask(SIG_SETMASK, &previous, nullptr);
      (void)::raise(sig);
    }
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && output_open) {
      output_open = ShowOutput();
    }
    if ((fds[1].revents & POLLOUT) != 0) (void)FlushInput();
    if (fds[3].revents != 0) (void)PassInput();
    done = fds[0].revents != 0;
  }
  if (output_open) (void)ShowOutput();  // what the device wrote last
  if (signal_fd >= 0) ::close(signal_fd);
  (void)::sigprocmask(SIG_SETMASK, &previous, nullptr);
  Restore();
  return done;
}

}  // namespace qx::sim
