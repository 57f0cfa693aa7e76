// device-sim: a throwaway simulated router for poking at an upgrade by hand.
#include <cstdio>
#include <cstring>

#include "sim/cli.h"

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
      "usage: device-sim COMMAND [options] ...\n\n"
      "A throwaway simulated router: a tmpfs root in its own mount and PID namespaces with the\n"
      "router's busybox userland, its 25 services, /tmp/ramdisk, /proc/version and the board\n"
      "file. Nothing done inside reaches the host. Needs root.\n\ncommands:\n");
  for (const Command& command : kCommands)
    std::printf("  %-8s %s\n", command.name, command.summary);
  std::printf("\n`device-sim COMMAND --help` lists the options of a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintHelp();
    return qx::sim::cli::kUsageError;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    PrintHelp();
    return 0;
  }
  for (const Command& command : kCommands) {
    if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 1, argv + 1);
  }
  return qx::sim::cli::UsageError(std::string("unknown command \"") + argv[1] + "\"");
}
