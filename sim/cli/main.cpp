// device-sim: a throwaway simulated router for poking at an upgrade by hand.
#include <cstdio>
#include <string>

#include "sim/cli/cli.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

#define QX_DEVICE_SIM_ENTRY(name, function, summary) {name, qx::sim::cli::function, summary},
constexpr Command kCommands[] = {QX_DEVICE_SIM_COMMANDS(QX_DEVICE_SIM_ENTRY)};
#undef QX_DEVICE_SIM_ENTRY

void PrintHelp() {
  std::printf(
      "usage: device-sim COMMAND [options] ...\n"
      "       device-sim --help | --version\n\n"
      "A throwaway simulated router: a tmpfs root with the router's busybox userland, its 25\n"
      "services, /tmp/ramdisk, /proc/version and the board file. As root, or as an ordinary\n"
      "user where the machine allows user namespaces (with the user's subordinate ids from\n"
      "/etc/subuid when newuidmap is installed; a rootless device says once how it differs).\n\n"
      "What a device may do: anything its root may do to its own files, mounts (unmount and\n"
      "remount /tmp/ramdisk, mount more tmpfs), processes and loopback network, within its\n"
      "memory and process limits (--memory-limit, --process-limit), its tmpfs sizes and the\n"
      "run's --timeout (CPU time itself is not limited).\n"
      "What it may not do to this machine: see or signal its processes; see its files, mounts\n"
      "or network interfaces, or reach its network; write /proc/sys, /proc/sysrq-trigger or\n"
      "/sys; create device nodes or use any beyond /dev/null, /dev/zero and /dev/urandom; load\n"
      "kernel modules; reboot it (reboot(2) fails inside); hold any capability outside the\n"
      "device. Device root is an unprivileged id range of this machine (a user namespace, one\n"
      "per live device), and the device has its own mount, PID, UTS, IPC, network and cgroup\n"
      "namespaces. Nothing of it outlives device-sim, however device-sim ends; what device-sim\n"
      "reads back is read inside it, as its root, once nothing in it runs; `shell` gives it a\n"
      "terminal of its own, and reports show its control characters as cat -v does. A machine\n"
      "that cannot provide them gets a refusal naming what is missing (exit status 2), never\n"
      "a weaker device.\n\ncommands:\n");
  for (const Command& command : kCommands)
    std::printf("  %-8s %s\n", command.name, command.summary);
  std::printf(
      "\n`device-sim COMMAND --help` lists the options of a command. Options take\n"
      "'--opt=value' or '--opt value'; '--' ends them.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return qx::sim::cli::UsageError("no command given");
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    PrintHelp();
    return 0;
  }
  if (first == "--version" || first == "-V") return qx::sim::cli::PrintVersion();
  if (first.size() > 1 && first[0] == '-') {
    return qx::sim::cli::UsageError("unknown option '" + first + "'");
  }
  for (const Command& command : kCommands) {
    if (first == command.name) return command.run(argc - 1, argv + 1);
  }
  return qx::sim::cli::UsageError("unknown command '" + first + "'");
}
