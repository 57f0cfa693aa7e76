// udtool: builds, inspects, verifies and unpacks upgrade files on a workstation.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/udtool.h"

namespace {

constexpr const char kUsage[] =
    "usage: udtool COMMAND [ARGS]\n"
    "       udtool --help | --version\n"
    "\n"
    "Builds, inspects, verifies and unpacks upgrade files.\n"
    "\n"
    "commands:\n"
    "  create -o OUT [header options] FILE[=NAME]...   write a new upgrade file\n"
    "  info [--json] FILE                              show the header and the inner files\n"
    "  verify FILE                                     check what the router checks; one line\n"
    "  extract [--force] FILE INDEX OUT                copy one inner file out\n"
    "  extract [--force] --all FILE DIR                copy every inner file into DIR\n"
    "\n"
    "A FILE or OUT of '-' is standard input or output. 'udtool COMMAND --help' describes\n"
    "each command. Options take '--opt=value' or '--opt value'; '--' ends them.\n"
    "Exit status: 0 success, 1 damaged file or failed operation, 2 bad usage, 3 (verify) a\n"
    "sound file that the router would refuse.\n";

constexpr const char kUsageLine[] = "usage: udtool COMMAND [ARGS] (see 'udtool --help')\n";

struct Command {
  const char* name;
  int (*run)(const qx::udtool::Arguments&);
};

constexpr Command kCommands[] = {
    {"create", qx::udtool::RunCreate},
    {"info", qx::udtool::RunInfo},
    {"verify", qx::udtool::RunVerify},
    {"extract", qx::udtool::RunExtract},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return qx::udtool::kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return qx::udtool::kExitOk;
  }
  if (command == "--version" || command == "-V") {
    std::printf("udtool %s\n", QX_VERSION);
    return qx::udtool::kExitOk;
  }
  if (command.size() > 1 && command[0] == '-') {
    std::fprintf(stderr, "udtool: unknown option '%s'\n%s", command.c_str(), kUsageLine);
    return qx::udtool::kExitUsage;
  }
  qx::udtool::InstallCleanupHandlers();
  const qx::udtool::Arguments args(argv + 2, argv + argc);
  for (const Command& entry : kCommands) {
    if (command == entry.name) return entry.run(args);
  }
  std::fprintf(stderr, "udtool: unknown command '%s'\n%s", command.c_str(), kUsageLine);
  return qx::udtool::kExitUsage;
}
