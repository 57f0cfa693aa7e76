// What the device's init keeps track of besides the program being run: the services, the
// watchdog program and the reboot-command records. Part of the static init program.
#ifndef QX_SIM_INSIDE_INIT_STATE_H_
#define QX_SIM_INSIDE_INIT_STATE_H_

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/common/wire.h"

namespace qx::sim::init {

// The whole content of a small file ("" when it cannot be opened).
std::string ReadSmallFile(const std::string& path);

class DeviceState {
 public:
  // Forks one sleeping process per name, each with that process name (comm).
  void StartServices(const std::vector<std::string>& names);

  // After a power cycle: what was known of the services, the watchdog program and the reboot
  // records is forgotten (the watch on /dev/watchdog stays) and the services start again.
  void Restart(const std::vector<std::string>& names);

  // Marks /dev/watchdog so that every open of it is recorded with the opener's command line.
  // Without the host's privileges (a rootless simulator) there are no fanotify permission
  // events: an inotify watch then tells of opens, and each process that holds the file open when
  // init looks is recorded once (an opener that closed it again at once goes unrecorded).
  // False when neither watch can be made (records then stay empty).
  bool WatchReboot(const char* device_path);
  int reboot_fd() const { return reboot_fd_; }
  void HandleRebootEvents();

  // A report from a program inside (wire::kEvent*), sent by process sender (the kernel's word,
  // not the record's). Commands are returned for the run's trace. The watchdog program's start
  // counts only from the process it names: no program can pass another off as the watchdog
  // program, though any can claim to be it.
  void HandleReport(const std::string& record, pid_t sender, std::vector<std::string>* commands);

  // Called for every reaped child; status as from waitpid.
  void Reaped(pid_t pid, int status);

  // Whether a program started in the background is still getting under way. kStarting: one
  // the device state depends on and that is sure to get there: a busybox `watchdog` daemon
  // that has not opened /dev/watchdog yet, the watchdog program before its start report, or an
  // orphaned shell child about to become it (`/tmp/wdprog &`). kMaybe: another orphaned shell
  // child, which may become a program or stay a shell. A run's results wait for these, so
  // that what a program started before it ended is seen whole.
  enum class Pending { kNone, kMaybe, kStarting };
  Pending StartsPending() const;

  // Waits (briefly) for tracked processes that already have a fatal signal pending, so a
  // `pkill` that returned before its victim died still shows in the state.
  void Settle();

  void AddToReply(wire::Message& reply) const;

 private:
  void RecordRebootHolders();
  struct Service {
    std::string name;
    int signal = 0;  // 0 running, -1 exited, else the signal that killed it
  };
  std::vector<Service> services_;
  std::map<pid_t, std::size_t> service_pids_;
  std::vector<std::string> reboot_records_;
  int reboot_fd_ = -1;
  bool reboot_by_holders_ = false;  // reboot_fd_ is an inotify watch
  std::set<pid_t> reboot_holders_;  // the processes that held /dev/watchdog at the last look
  pid_t watchdog_pid_ = 0;
  std::set<pid_t> watchdog_reported_;  // every watchdog program that reported its start
  bool watchdog_started_ = false;
  int watchdog_signal_ = 0;
};

// Child-side helpers shared by the services and the programs init runs.
void ResetSignals();
void CloseFromExcept(int first, int keep);

}  // namespace qx::sim::init

#endif  // QX_SIM_INSIDE_INIT_STATE_H_
