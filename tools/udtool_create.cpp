// udtool create: writes a valid upgrade file from host files.
#include <cstdio>
#include <limits>

#include "tools/udtool.h"
#include "tools/upgrade_file_writer.h"

namespace qx::udtool {
namespace {

constexpr const char kCreateHelp[] =
    "usage: udtool create -o OUT [options] FILE[=NAME]...\n"
    "\n"
    "Writes an upgrade file holding the given FILEs as inner files 0, 1, 2, ... in this\n"
    "order, and computes the total data size and every digest. OUT appears only once it is\n"
    "complete. NAME is the inner file's name (default: the FILE's last path component); the\n"
    "FILE ends at the first '='.\n"
    "\n"
    "header options (texts are stored as given, numbers are decimal or 0x hex):\n"
    "  --upgrade-version N   version, 0..65535 (default 0)\n"
    "  --upgrade-name TEXT   upgrade name, at most 32 bytes (default empty)\n"
    "  --release-name TEXT   release name, at most 16 bytes (default empty)\n"
    "  --file-date TEXT      file date, at most 8 bytes, e.g. 20240315 (default empty)\n"
    "  --upgrade-id N        upgrade ID, 0..4294967295 (default 0)\n"
    "  --aux-text1 TEXT      auxiliary text 1, at most 8 bytes (default empty)\n"
    "  --aux-text2 TEXT      auxiliary text 2, at most 8 bytes (default empty)\n"
    "  --aux-word N          auxiliary word, 0..4294967295 (default 0)\n"
    "inner file options (they apply to the next FILE only):\n"
    "  --aux1 N              its auxiliary word 1 (default 0)\n"
    "  --aux2 N              its auxiliary word 2 (default 0)\n"
    "\n"
    "The router extracts inner files 2, 3 and 4 (validator, kernel image, file-system\n"
    "database); a file for it therefore holds at least five inner files.\n";

constexpr std::uint64_t kMaxWord = std::numeric_limits<std::uint32_t>::max();

struct TextOption {
  const char* flag;
  std::string UpgradeHeaderFields::*field;
};
constexpr TextOption kTextOptions[] = {
    {"--upgrade-name", &UpgradeHeaderFields::upgrade_name},
    {"--release-name", &UpgradeHeaderFields::release_name},
    {"--file-date", &UpgradeHeaderFields::file_date},
    {"--aux-text1", &UpgradeHeaderFields::auxiliary_text1},
    {"--aux-text2", &UpgradeHeaderFields::auxiliary_text2},
};

struct WordOption {
  const char* flag;
  std::uint32_t UpgradeHeaderFields::*field;
};
constexpr WordOption kWordOptions[] = {
    {"--upgrade-id", &UpgradeHeaderFields::upgrade_id},
    {"--aux-word", &UpgradeHeaderFields::auxiliary_word},
};

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Parsed {
  std::string output;
  UpgradeImage image;
};

// Applies the option at args[i] (and its value, consuming it); false on a usage error.
bool ApplyOption(const Arguments& args, std::size_t& i, Parsed& parsed, InnerFileSpec& next,
                 std::string& error) {
  const std::string& flag = args[i];
  if (i + 1 >= args.size()) {
    error = flag + " needs a value";
    return false;
  }
  const std::string& value = args[++i];
  if (flag == "-o" || flag == "--output") {
    parsed.output = value;
    return true;
  }
  for (const TextOption& option : kTextOptions) {
    if (flag == option.flag) {
      parsed.image.header.*option.field = value;
      return true;
    }
  }
  std::uint64_t number = 0;
  const bool is_version = flag == "--upgrade-version";
  if (!ParseNumber(value, is_version ? 0xffff : kMaxWord, number)) {
    error = flag + " takes a number from 0 to " + std::to_string(is_version ? 0xffff : kMaxWord) +
            ", not '" + value + "'";
    return false;
  }
  const auto word = static_cast<std::uint32_t>(number);
  if (is_version) {
    parsed.image.header.version = static_cast<std::uint16_t>(number);
    return true;
  }
  if (flag == "--aux1" || flag == "--aux2") {
    (flag == "--aux1" ? next.auxiliary_word1 : next.auxiliary_word2) = word;
    return true;
  }
  for (const WordOption& option : kWordOptions) {
    if (flag == option.flag) {
      parsed.image.header.*option.field = word;
      return true;
    }
  }
  error = "unknown option " + flag;
  return false;
}

bool ParseCreateArguments(const Arguments& args, Parsed& parsed, std::string& error) {
  InnerFileSpec next;
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (!ApplyOption(args, i, parsed, next, error)) return false;
    } else {
      const std::size_t equals = arg.find('=');
      next.host_path = arg.substr(0, equals);
      next.name = equals == std::string::npos ? BaseName(arg) : arg.substr(equals + 1);
      if (next.host_path.empty()) {
        error = "'" + arg + "' names no file";
        return false;
      }
      parsed.image.files.push_back(next);
      next = InnerFileSpec();
    }
  }
  if (parsed.output.empty()) {
    error = "no output file: give -o OUT";
  } else if (parsed.image.files.empty()) {
    error = "no inner files: give at least one FILE";
  } else if (next.auxiliary_word1 != 0 || next.auxiliary_word2 != 0) {
    error = "--aux1/--aux2 after the last FILE apply to nothing";
  }
  return error.empty();
}

}  // namespace

int RunCreate(const Arguments& args) {
  if (WantsHelp(args)) {
    std::fputs(kCreateHelp, stdout);
    return kExitOk;
  }
  Parsed parsed;
  std::string error;
  if (!ParseCreateArguments(args, parsed, error)) return UsageError("create", error);
  if (!WriteUpgradeFile(parsed.image, parsed.output, error)) {
    return Complain("create: " + error + "; nothing written", kExitFailed);
  }
  return kExitOk;
}

}  // namespace qx::udtool
