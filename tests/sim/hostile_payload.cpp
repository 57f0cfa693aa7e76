// A hostile payload for the simulated router, static so that it can ride in an upgrade file as
// its validator: `hostile_payload CONFIG [...]`. It tries, one after the other, what a validator
// that writes firmware (or a malicious one) might do to the machine it runs on, and prints one
// line per act: "ACT: blocked (why)" or "ACT: NOT BLOCKED (what happened)". Exits 0 when every
// act was blocked, else 100 + the number of the first act that was not.
//
// CONFIG names the host's canaries, one "key=value" per line: pid and name (a host process),
// file (a host file holding "alive"), mount (a host mount point), port (a listener on the
// host's 127.0.0.1).
//
// Every act aims at a canary or changes nothing when it succeeds (sysctl files are opened,
// never written; lo gets the flags it already has), so that even if the device were not
// isolated, only the canaries would suffer.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using Config = std::map<std::string, std::string>;

struct Outcome {
  bool blocked;
  std::string why;
};

std::string Errno(const std::string& call, int err) {
  const char* name = ::strerrorname_np(err);
  return call + ": " + (name != nullptr ? name : std::to_string(err));
}

Outcome Failed(const std::string& call) { return {true, Errno(call, errno)}; }

// Runs act in a child (chroot, namespaces and limits hit only it); its exit status 0 means
// blocked. A child killed by a signal (the memory limit's doing) counts as blocked too.
template <typename Act>
Outcome InChild(const std::string& what, Act act) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int status = act();
    std::fflush(stdout);
    ::_exit(status);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return Failed("fork");
  if (WIFSIGNALED(status))
    return {true, what + ": killed by signal " + std::to_string(WTERMSIG(status))};
  return {WEXITSTATUS(status) == 0, what + ": exit status " + std::to_string(WEXITSTATUS(status))};
}

Outcome MakeNode() {
  const char* path = "/dev/qx-hostile-null";
  if (::mknod(path, S_IFCHR | 0666, makedev(1, 3)) != 0) return Failed("mknod 1:3");
  const int fd = ::open(path, O_WRONLY);
  ::unlink(path);
  if (fd < 0) return Failed("open of the new node");
  ::close(fd);
  return {false, "made and opened a 1:3 node"};
}

Outcome OpenForWriting(const char* path) {
  const int fd = ::open(path, O_WRONLY);
  if (fd < 0) return Failed("open");
  ::close(fd);  // never written
  return {false, "opened for writing"};
}

Outcome RemountWritable(const char* path) {
  if (::mount(nullptr, path, nullptr, MS_REMOUNT | MS_BIND | MS_NOSUID | MS_NODEV | MS_NOEXEC,
              nullptr) != 0) {
    return Failed("mount -o remount,rw");
  }
  return {false, "remounted read-write"};
}

// RTM_NEWLINK of a dummy interface, as `ip link add qxhostile0 type dummy` does it.
Outcome CreateInterface() {
  const int sock = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (sock < 0) return Failed("socket(AF_NETLINK)");
  struct {
    nlmsghdr header;
    ifinfomsg info;
    char attributes[128];
  } request{};
  request.header.nlmsg_type = RTM_NEWLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
  request.info.ifi_family = AF_UNSPEC;
  std::size_t length = NLMSG_LENGTH(sizeof request.info);
  const auto add = [&](unsigned short type, const void* data, std::size_t size) {
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + length);
    attribute->rta_type = type;
    attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
    if (size > 0) std::memcpy(RTA_DATA(attribute), data, size);
    length += RTA_ALIGN(attribute->rta_len);
    return attribute;
  };
  add(IFLA_IFNAME, "qxhostile0", sizeof "qxhostile0");
  rtattr* link_info = add(IFLA_LINKINFO, nullptr, 0);
  add(IFLA_INFO_KIND, "dummy", sizeof "dummy");
  link_info->rta_len = static_cast<unsigned short>(reinterpret_cast<char*>(&request) + length -
                                                   reinterpret_cast<char*>(link_info));
  request.header.nlmsg_len = static_cast<unsigned int>(length);
  char reply[4096];
  int err = EIO;
  if (::send(sock, &request, length, 0) == static_cast<ssize_t>(length)) {
    const ssize_t n = ::recv(sock, reply, sizeof reply, 0);
    const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
    if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) &&
        header->nlmsg_type == NLMSG_ERROR) {
      err = -reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
    }
  }
  ::close(sock);
  if (err != 0) return {true, Errno("RTM_NEWLINK", err)};
  return {false, "created qxhostile0"};
}

Outcome SetLoopbackFlags() {
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (sock < 0 || ::ioctl(sock, SIOCGIFFLAGS, &request) != 0) return Failed("SIOCGIFFLAGS");
  const int result = ::ioctl(sock, SIOCSIFFLAGS, &request);  // the flags lo already has
  const int err = errno;
  ::close(sock);
  if (result != 0) return {true, Errno("SIOCSIFFLAGS", err)};
  return {false, "set lo's flags"};
}

Outcome Connect(const Config& config) {
  const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(config.at("port").c_str())));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int result = ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int err = errno;
  ::close(sock);
  if (result != 0) return {true, Errno("connect", err)};
  return {false, "connected"};
}

std::string CommOf(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/comm");
  std::string comm;
  std::getline(in, comm);
  return comm;
}

Outcome SignalByPid(const Config& config) {
  const pid_t pid = static_cast<pid_t>(std::atol(config.at("pid").c_str()));
  if (::kill(pid, SIGKILL) != 0) return Failed("kill");
  // A device process may happen to have the same number: that is no harm to the host.
  if (CommOf(std::to_string(pid)) != config.at("name")) return {true, "the pid is a device's"};
  return {false, "killed the canary"};
}

Outcome SignalByName(const Config& config) {
  DIR* proc = ::opendir("/proc");
  bool found = false;
  while (const dirent* entry = proc != nullptr ? ::readdir(proc) : nullptr) {
    if (std::atol(entry->d_name) > 0 && CommOf(entry->d_name) == config.at("name")) {
      found = ::kill(static_cast<pid_t>(std::atol(entry->d_name)), SIGKILL) == 0 || found;
    }
  }
  if (proc != nullptr) ::closedir(proc);
  if (!found) return {true, "no process of that name"};
  return {false, "killed the canary"};
}

Outcome LoadModule() {
  char image[64] =
      "\x7f"
      "ELF bogus module";
  if (::syscall(SYS_init_module, image, sizeof image, "") != 0) return Failed("init_module");
  return {false, "loaded a module"};
}

Outcome Unmount(const Config& config) {
  if (::umount2(config.at("mount").c_str(), MNT_DETACH) != 0) return Failed("umount");
  return {false, "unmounted the canary mount"};
}

// Overwrites the host's canary file when it can reach it; false when it cannot.
bool OverwriteHostFile(const Config& config) {
  const int fd = ::open(config.at("file").c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0) return false;
  (void)!::write(fd, "overwritten", 11);
  ::close(fd);
  return true;
}

Outcome Overwrite(const Config& config) {
  if (!OverwriteHostFile(config)) return Failed("open");
  return {false, "overwrote it"};
}

Outcome ChrootOut(const Config& config) {
  char dir[] = "/tmp/qx-hostile-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return Failed("mkdtemp");
  const Outcome outcome = InChild("escaped child", [&] {
    if (::chdir("/") != 0 || ::chroot(dir) != 0) return 0;
    for (int i = 0; i < 64; ++i) (void)!::chdir("..");
    (void)!::chroot(".");
    return OverwriteHostFile(config) ? 1 : 0;
  });
  ::rmdir(dir);
  return outcome;
}

Outcome PivotOut(const Config& config) {
  return InChild("pivoted child", [&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::chdir("/") != 0) return 0;
    (void)::syscall(SYS_pivot_root, ".", ".");
    (void)::umount2(".", MNT_DETACH);
    return OverwriteHostFile(config) ? 1 : 0;
  });
}

// Touches up to 1 GiB, 16 MiB at a time.
Outcome ExhaustMemory() {
  return InChild("allocating child", [] {
    for (int chunk = 0; chunk < 64; ++chunk) {
      void* block =
          ::mmap(nullptr, 16 << 20, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (block == MAP_FAILED) return 0;
      std::memset(block, 1, 16 << 20);
    }
    return 1;  // 1 GiB and no limit met
  });
}

// Forks up to 4096 sleeping processes, then ends them.
Outcome ExhaustProcesses() {
  return InChild("forking child", [] {
    std::vector<pid_t> children;
    while (children.size() < 4096) {
      const pid_t pid = ::fork();
      if (pid < 0) break;
      if (pid == 0) {
        (void)::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        for (;;) ::pause();
      }
      children.push_back(pid);
    }
    for (const pid_t pid : children) ::kill(pid, SIGKILL);
    for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);
    std::printf("(%zu processes forked)\n", children.size());
    return children.size() < 4096 ? 0 : 1;
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: hostile_payload CONFIG\n");
    return 2;
  }
  Config config;
  std::ifstream in(argv[1]);
  for (std::string line; std::getline(in, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) config[line.substr(0, equals)] = line.substr(equals + 1);
  }
  for (const char* key : {"pid", "name", "file", "mount", "port"}) {
    if (config.count(key) == 0) {
      std::fprintf(stderr, "hostile_payload: %s lacks %s=\n", argv[1], key);
      return 2;
    }
  }
  const std::vector<std::pair<const char*, Outcome (*)(const Config&)>> acts = {
      {"overwrite the host's file", Overwrite},
      {"mknod", [](const Config&) { return MakeNode(); }},
      {"write-open /proc/sysrq-trigger",
       [](const Config&) { return OpenForWriting("/proc/sysrq-trigger"); }},
      {"write-open /proc/sys/vm/drop_caches",
       [](const Config&) { return OpenForWriting("/proc/sys/vm/drop_caches"); }},
      {"remount /proc/sys read-write", [](const Config&) { return RemountWritable("/proc/sys"); }},
      {"write-open /sys/kernel/qxfc/board",
       [](const Config&) { return OpenForWriting("/sys/kernel/qxfc/board"); }},
      {"create an interface", [](const Config&) { return CreateInterface(); }},
      {"set interface flags", [](const Config&) { return SetLoopbackFlags(); }},
      {"connect to the host", Connect},
      {"signal the canary by pid", SignalByPid},
      {"signal the canary by name", SignalByName},
      {"load a module", [](const Config&) { return LoadModule(); }},
      {"unmount the host's mount", Unmount},
      {"chroot out", ChrootOut},
      {"pivot_root out", PivotOut},
      {"exhaust memory", [](const Config&) { return ExhaustMemory(); }},
      {"exhaust processes", [](const Config&) { return ExhaustProcesses(); }},
  };
  int status = 0;
  for (std::size_t i = 0; i < acts.size(); ++i) {
    const Outcome outcome = acts[i].second(config);
    std::printf("%s: %s (%s)\n", acts[i].first, outcome.blocked ? "blocked" : "NOT BLOCKED",
                outcome.why.c_str());
    std::fflush(stdout);
    if (!outcome.blocked && status == 0) status = 100 + static_cast<int>(i) + 1;
  }
  return status;
}
