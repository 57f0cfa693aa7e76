// udtool: builds, inspects, verifies and unpacks upgrade files on a workstation.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/udtool.h"

namespace {

constexpr const char kUsage[] =
    "usage: udtool COMMAND [ARGS]\n"
    "\n"
    "Builds, inspects, verifies and unpacks upgrade files.\n"
    "\n"
    "commands:\n"
    "  create -o OUT [header options] FILE[=NAME]...   write a new upgrade file\n"
    "  info FILE [--json]                              show the header and the inner files\n"
    "  verify FILE                                     check every digest; one line\n"
    "  extract FILE INDEX OUT                          copy one inner file out\n"
    "  extract FILE --all DIR                          copy every inner file into DIR\n"
    "\n"
    "'udtool COMMAND --help' describes each command.\n"
    "Exit status: 0 success, 1 damaged file or failed operation, 2 bad usage.\n";

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
  const qx::udtool::Arguments args(argv + 2, argv + argc);
  for (const Command& entry : kCommands) {
    if (command == entry.name) return entry.run(args);
  }
  std::fprintf(stderr, "udtool: unknown command '%s'\n\n%s", command.c_str(), kUsage);
  return qx::udtool::kExitUsage;
}
