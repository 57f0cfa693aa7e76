// What the host side and the device's init say to each other, and the fixed descriptor on which
// programs inside report to init. Shared by the simulator library and the static init and shell
// programs, so it uses nothing beyond the C and C++ standard libraries and POSIX.
#ifndef QX_SIM_COMMON_WIRE_H_
#define QX_SIM_COMMON_WIRE_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace qx::sim::wire {

// Programs inside a device report to init on a datagram socket that init binds to this abstract
// name in the device's own network namespace, so nothing outside the device can reach it and no
// program needs to inherit a descriptor for it (the upgrader closes every descriptor it inherits,
// and the shells that its system() calls start still report). The /bin/sh wrapper sends one
// kEventCommand record per `-c` command and the watchdog program one kEventWatchdogProgram record
// when it starts. A record is one datagram, so a multi-line command arrives whole and records of
// concurrent shells never interleave. Any program of the device may send to it: what arrives is
// the device's word, and the reports say so. Init learns each record's sender from the kernel
// (SO_PASSCRED), not from the record.
constexpr const char kReportSocketName[] = "qx-sim-report";  // abstract: no leading NUL here

// The address of kReportSocketName; returns its length for bind() and sendto().
inline socklen_t ReportSocketAddress(sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, kReportSocketName, sizeof kReportSocketName - 1);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kReportSocketName);
}

constexpr char kEventCommand = 'C';
constexpr char kEventWatchdogProgram = 'W';
constexpr std::size_t kMaxEventBytes = 192 * 1024;  // below the default socket send buffer

// `device-sim upgrade` sends the run's standard output and error to files of a tmpfs of its own
// in the device. Each shell whose standard output is one of them appends a mark to kOutputMarks
// before it runs its command: "PPID OUT ERR LENGTH\nCOMMAND\n", with its parent's pid, the
// offsets in the two files at which the command begins and the command text's length. The
// report cuts out what one command (the validator) wrote: from its mark to the next mark of a
// command of the same parent. Marks, like records, are the device's word.
constexpr const char kOutputDirectory[] = "/.qx-sim-output";
constexpr const char kOutputMarks[] = "/.qx-sim-output/marks";

// The process name (comm) of the watchdog program the simulator offers (Device::kWatchdogProgram
// is /tmp/wdprog).
constexpr const char kWatchdogProgramName[] = "wdprog";

// init's environment: the services to start (separated by blanks), the size of the ramdisk it
// mounts, and the per-process limits it sets on the device (0: none).
constexpr const char kServicesVariable[] = "QX_SIM_SERVICES";
constexpr const char kRamdiskSizeVariable[] = "QX_SIM_RAMDISK_SIZE";
constexpr const char kProcessLimitVariable[] = "QX_SIM_NPROC";
constexpr const char kAddressSpaceLimitVariable[] = "QX_SIM_ADDRESS_SPACE";

// init's descriptors as the simulator starts it, still with the host's privileges: the control
// socket, the start report and the device's user namespace. init enters that namespace (device
// root), mounts the ramdisk in a mount namespace of its own, then writes kStartReady on the
// report descriptor and closes it; on failure it writes kStartFailed, or kStartRefused when the
// machine lacks what isolation needs, and the reason.
constexpr int kInitControlFd = 3;
constexpr int kInitReportFd = 5;
constexpr int kInitUserNamespaceFd = 6;
constexpr char kStartReady = 'R';
constexpr char kStartFailed = 'E';
constexpr char kStartRefused = 'X';

// The device's user namespace: device root (uid and gid 0) is a host id from this pool, and
// kDeviceIdCount ids from it are mapped. Each live device has a range of its own (the first
// device root is kDeviceRootHostId, the next one kDeviceIdCount above, ...), so that per-user
// kernel limits (key quotas, RLIMIT_NPROC) of one device are not another's. Outside the ranges
// that host accounts and container tools use. As root only: a rootless simulator's devices take
// their ids from the user's subordinate ids (sim/host/rootless.h).
constexpr unsigned int kDeviceRootHostId = 0x70000000u;
constexpr unsigned int kDeviceIdCount = 65536;
constexpr unsigned int kDeviceIdRanges = 256;
static_assert(kDeviceRootHostId + kDeviceIdRanges * kDeviceIdCount - 1 < 0xffffffffu,
              "the pool must end below the invalid id");

// Request and reply names.
constexpr const char kRequestRun[] = "run";
constexpr const char kRequestState[] = "state";
constexpr const char kRequestPowerCycle[] = "power-cycle";
constexpr const char kRequestStop[] = "stop";
constexpr const char kRequestReadBack[] = "read-back";
constexpr const char kReplyRun[] = "ran";
constexpr const char kReplyState[] = "state";
constexpr const char kReplyPowerCycle[] = "powered";
constexpr const char kReplyStop[] = "stopped";
constexpr const char kReplyReadBack[] = "read";

// A message is a list of byte strings. On a stream socket a frame is a 32-bit length followed by
// the fields, each a 32-bit length and its bytes (host byte order: both ends are one machine).
class Message {
 public:
  void Add(std::string_view field) { fields_.emplace_back(field); }
  void AddInt(std::int64_t value) { fields_.push_back(std::to_string(value)); }
  void AddList(const std::vector<std::string>& list);

  // Readers take the fields in order; false when the message has no more or a number is bad.
  bool Next(std::string& field);
  bool NextInt(std::int64_t& value);
  bool NextList(std::vector<std::string>& list);

  std::string Encode() const;
  bool Decode(std::string_view bytes);  // false on a malformed frame body

 private:
  std::vector<std::string> fields_;
  std::size_t next_ = 0;
};

// Whole-frame I/O on a stream socket, retrying on EINTR. Receive fails on EOF or a frame larger
// than 1 GiB. A descriptor may ride with a frame (SCM_RIGHTS): pass_fd when sending (-1: none);
// *passed_fd gets it on receipt, or -1 (it is close-on-exec; the receiver closes it).
bool SendMessage(int fd, const Message& message, int pass_fd = -1);
bool ReceiveMessage(int fd, Message& message, int* passed_fd = nullptr);

// write() and read() of exactly size bytes, retrying on EINTR and short transfers.
bool WriteAll(int fd, const void* data, std::size_t size);
bool ReadAll(int fd, void* data, std::size_t size);

}  // namespace qx::sim::wire

#endif  // QX_SIM_COMMON_WIRE_H_
