// udtool create: writes a valid upgrade file from host files.
#include <sys/stat.h>

#include <atomic>
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
    "order, and computes the total data size and every digest. A regular OUT appears only\n"
    "once it is complete (written beside it, then renamed); an existing FIFO or device, and\n"
    "'-', are written in place. NAME is the inner file's name (default: the FILE's last path\n"
    "component; the FILE ends at the first '='); a name that is empty or holds '/' or '..'\n"
    "is refused. Each FILE must be a regular file; empty FILEs after the last one with data\n"
    "are refused, as the router's walk ends before them.\n"
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
    "output:\n"
    "  -o, --output OUT      the upgrade file; '-' is standard output\n"
    "  -f, --force           replace OUT when it is an existing regular file\n"
    "\n"
    "The router extracts inner files 2, 3 and 4 (validator, kernel image, file-system\n"
    "database); a file for it therefore holds at least five inner files.\n";

constexpr const char kCreateUsage[] = "usage: udtool create -o OUT [options] FILE[=NAME]...\n";

constexpr std::uint64_t kMaxWord = std::numeric_limits<std::uint32_t>::max();

// Codes of the options that have no short form.
enum : int {
  kUpgradeVersion = 0x100,
  kUpgradeName,
  kReleaseName,
  kFileDate,
  kUpgradeId,
  kAuxText1,
  kAuxText2,
  kAuxWord,
  kAux1,
  kAux2,
};

constexpr struct option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"force", no_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"upgrade-version", required_argument, nullptr, kUpgradeVersion},
    {"upgrade-name", required_argument, nullptr, kUpgradeName},
    {"release-name", required_argument, nullptr, kReleaseName},
    {"file-date", required_argument, nullptr, kFileDate},
    {"upgrade-id", required_argument, nullptr, kUpgradeId},
    {"aux-text1", required_argument, nullptr, kAuxText1},
    {"aux-text2", required_argument, nullptr, kAuxText2},
    {"aux-word", required_argument, nullptr, kAuxWord},
    {"aux1", required_argument, nullptr, kAux1},
    {"aux2", required_argument, nullptr, kAux2},
    {nullptr, 0, nullptr, 0},
};

constexpr CommandLine kCreateLine = {"create", kCreateUsage, kCreateHelp, "o:fh", kLongOptions};

struct TextOption {
  int code;
  std::string UpgradeHeaderFields::*field;
};
constexpr TextOption kTextOptions[] = {
    {kUpgradeName, &UpgradeHeaderFields::upgrade_name},
    {kReleaseName, &UpgradeHeaderFields::release_name},
    {kFileDate, &UpgradeHeaderFields::file_date},
    {kAuxText1, &UpgradeHeaderFields::auxiliary_text1},
    {kAuxText2, &UpgradeHeaderFields::auxiliary_text2},
};

struct WordOption {
  int code;
  std::uint32_t UpgradeHeaderFields::*field;
};
constexpr WordOption kWordOptions[] = {
    {kUpgradeId, &UpgradeHeaderFields::upgrade_id},
    {kAuxWord, &UpgradeHeaderFields::auxiliary_word},
};

std::string FlagOf(int code) {
  for (const struct option& entry : kLongOptions) {
    if (entry.name != nullptr && entry.val == code) return std::string("--") + entry.name;
  }
  return "?";
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Parsed {
  std::string output;
  bool force = false;
  UpgradeImage image;
  InnerFileSpec next;  // the options of the next FILE
};

// The router stages inner files under their own paths; a name that could climb out of a
// directory, or that names none, is refused here rather than replaced at extraction.
bool CheckInnerName(const std::string& arg, const std::string& name, std::string& error) {
  if (name.empty()) {
    error = "'" + arg + "' gives an empty inner file name";
  } else if (name.find('/') != std::string::npos || name.find("..") != std::string::npos) {
    error = "inner file name '" + Printable(name) + "' holds '/' or '..'";
  }
  return error.empty();
}

bool AddFile(const std::string& arg, Parsed& parsed, std::string& error) {
  const std::size_t equals = arg.find('=');
  parsed.next.host_path = arg.substr(0, equals);
  parsed.next.name = equals == std::string::npos ? BaseName(arg) : arg.substr(equals + 1);
  if (parsed.next.host_path.empty()) {
    error = "'" + arg + "' names no file";
    return false;
  }
  if (!CheckInnerName(arg, parsed.next.name, error)) return false;
  parsed.image.files.push_back(parsed.next);
  parsed.next = InnerFileSpec();
  return true;
}

// Applies one option or FILE; false on a usage error.
bool ApplyOption(int code, const std::string& value, Parsed& parsed, std::string& error) {
  if (code == 1) return AddFile(value, parsed, error);
  if (code == 'f') {
    parsed.force = true;
    return true;
  }
  if (code == 'o') {
    parsed.output = value;
    return true;
  }
  for (const TextOption& option : kTextOptions) {
    if (code == option.code) {
      parsed.image.header.*option.field = value;
      return true;
    }
  }
  std::uint64_t number = 0;
  const bool is_version = code == kUpgradeVersion;
  if (!ParseNumber(value, is_version ? 0xffff : kMaxWord, number)) {
    error = FlagOf(code) + " takes a number from 0 to " +
            std::to_string(is_version ? 0xffff : kMaxWord) + ", not '" + value + "'";
    return false;
  }
  const auto word = static_cast<std::uint32_t>(number);
  if (is_version) parsed.image.header.version = static_cast<std::uint16_t>(number);
  if (code == kAux1) parsed.next.auxiliary_word1 = word;
  if (code == kAux2) parsed.next.auxiliary_word2 = word;
  for (const WordOption& option : kWordOptions) {
    if (code == option.code) parsed.image.header.*option.field = word;
  }
  return true;
}

std::string CheckComplete(const Parsed& parsed) {
  if (parsed.output.empty()) return "no output file: give -o OUT";
  if (parsed.image.files.empty()) return "no inner files: give at least one FILE";
  if (parsed.next.auxiliary_word1 != 0 || parsed.next.auxiliary_word2 != 0) {
    return "--aux1/--aux2 after the last FILE apply to nothing";
  }
  return "";
}

// What the inputs are, before anything is written: their identities (an input is never the
// output) and sizes. The router's walk ends at the first inner file at which the data sizes
// add up to the total, so empty files after the last non-empty one would be in the file and
// never seen: refused, as the router would miss them (a missing validator, say).
bool SurveyInputs(const UpgradeImage& image, Output::Options& options, std::uint64_t& total,
                  std::string& error) {
  std::size_t last_with_data = 0;
  for (std::size_t i = 0; i < image.files.size(); ++i) {
    struct stat info {};
    if (::stat(image.files[i].host_path.c_str(), &info) != 0) continue;  // the writer says why
    options.inputs.push_back({info.st_dev, info.st_ino});
    total += format::kHeaderBytes + static_cast<std::uint64_t>(info.st_size);
    if (info.st_size > 0) last_with_data = i;
  }
  if (last_with_data + 1 >= image.files.size()) return true;
  const std::size_t unseen = last_with_data + 1;
  error = "inner file " + std::to_string(unseen) + " (" + Printable(image.files[unseen].name) +
          ") is empty and follows the last inner file with data: the router's walk ends before "
          "it, once the data sizes add up to the total";
  return false;
}

// partial: the output was written in place, and what it received so far stays there.
bool Write(const Parsed& parsed, bool& partial, std::string& error) {
  Output::Options options;
  options.force = parsed.force;
  options.mode = 0644;
  std::uint64_t total = 0;
  if (!SurveyInputs(parsed.image, options, total, error)) return false;
  Output output;
  if (!output.Open(parsed.output, options, error)) return false;
  partial = !output.Seekable();
  std::atomic<std::uint64_t> written{0};
  {
    Progress progress("create", total, [&written] { return written.load(); });
    if (!WriteUpgradeFileTo(
            parsed.image, output.Fd(), output.Name(), output.Seekable(),
            [&written](std::size_t size) { written += size; }, error)) {
      return false;
    }
  }
  return output.Commit(error);
}

}  // namespace

int RunCreate(const Arguments& args) {
  Parsed parsed;
  const int status = ParseCommandLine(
      kCreateLine, args, [&parsed](int code, const char* value, std::string& error) {
        return ApplyOption(code, value != nullptr ? value : "", parsed, error);
      });
  if (status >= 0) return status;
  const std::string incomplete = CheckComplete(parsed);
  if (!incomplete.empty()) return UsageError(kCreateLine, incomplete);
  std::string error;
  bool partial = false;
  if (!Write(parsed, partial, error)) {
    return Complain(
        "create: " + error + (partial ? "; the output is incomplete" : "; nothing written"),
        kExitFailed);
  }
  return kExitOk;
}

}  // namespace qx::udtool
