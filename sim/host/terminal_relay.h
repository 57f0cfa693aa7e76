// The host side of an interactive run: the device's program gets a pseudo-terminal of its own
// (it runs in a session of its own there), and this process relays between that terminal and
// its own standard input and output. Nothing in the device holds the host's terminal, so
// nothing there can push input into it (TIOCSTI), change its settings or signal its session;
// the answers a terminal sends back to escape sequences go to the device, not to a host shell.
#ifndef QX_SIM_HOST_TERMINAL_RELAY_H_
#define QX_SIM_HOST_TERMINAL_RELAY_H_

#include <termios.h>

#include <string>

namespace qx::sim {

class TerminalRelay {
 public:
  TerminalRelay() = default;
  ~TerminalRelay();  // the host's terminal as it was; the pseudo-terminal closed
  TerminalRelay(const TerminalRelay&) = delete;
  TerminalRelay& operator=(const TerminalRelay&) = delete;

  // Creates the pseudo-terminal, with the size of the host's terminal when standard input is
  // one. False with the reason in *error.
  bool Open(std::string* error);
  int device_end() const { return device_end_; }  // to pass to the device
  void CloseDeviceEnd();

  // Relays until done_fd turns readable (then what the device wrote last is shown too), at most
  // timeout_ms; false at the timeout. The host's terminal is raw meanwhile (keys, Ctrl-C too,
  // go to the device) and restored before a SIGTERM or SIGHUP ends this process.
  bool RelayUntil(int done_fd, long long timeout_ms);

 private:
  void Restore();
  bool ShowOutput();  // what the device wrote, to standard output; false once its end closed
  bool PassInput();   // standard input to the device; false when the device's end is gone
  bool FlushInput();

  int host_end_ = -1;
  int device_end_ = -1;
  bool raw_ = false;
  termios saved_{};
  std::string pending_;  // input the device has not taken yet
  bool input_open_ = true;
};

}  // namespace qx::sim

#endif  // QX_SIM_HOST_TERMINAL_RELAY_H_
