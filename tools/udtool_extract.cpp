// udtool extract: copies inner files out of a valid upgrade file with the router's own reader.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "tools/udtool.h"

namespace qx::udtool {
namespace {

constexpr const char kExtractHelp[] =
    "usage: udtool extract FILE INDEX OUT\n"
    "       udtool extract FILE --all DIR\n"
    "\n"
    "Checks FILE as the router does and, only when it is valid, copies the data of inner\n"
    "file INDEX (counted from 0) to OUT, or of every inner file into DIR (created when\n"
    "missing). In DIR each inner file is named after its name in the file; a name that is\n"
    "empty, holds '/' or a control character, is '.' or '..', or repeats an earlier one is\n"
    "replaced by 'inner-file-INDEX'. Every output is written under a temporary name beside it\n"
    "and renamed when complete, replacing an existing file (a symbolic link there is\n"
    "replaced, never followed). Outputs get mode 0755 less the umask, as on the router.\n";

bool SafeName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Extracts inner file index to out by way of a temporary file beside it.
bool ExtractOne(qx::upgradeFile::UpgradeFile& reader, unsigned int index, const std::string& out,
                std::string& error) {
  std::string temporary = DirectoryOf(out) + "/.udtool-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    error = "cannot create a file in " + DirectoryOf(out) + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = reader.ExtractFile(index, temporary);
  if (!ok) error = reader.ErrorMessage();
  if (ok && ::chmod(temporary.c_str(), 0755 & ~mask) != 0) {
    error = "cannot set the mode of " + out + ": " + std::strerror(errno);
    ok = false;
  }
  if (ok && ::rename(temporary.c_str(), out.c_str()) != 0) {
    error = "cannot create " + out + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

int ExtractAll(qx::upgradeFile::UpgradeFile& reader, const std::string& directory) {
  if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    return Complain("extract: cannot create " + directory + ": " + std::strerror(errno),
                    kExitFailed);
  }
  std::set<std::string> used;
  const auto& inner_files = reader.InnerFiles();
  for (unsigned int i = 0; i < inner_files.size(); ++i) {
    std::string name = inner_files[i].Information().Name();
    if (!SafeName(name) || used.count(name) != 0) name = "inner-file-" + std::to_string(i);
    used.insert(name);
    const std::string out = directory + "/" + name;
    std::string error;
    if (!ExtractOne(reader, i, out, error)) {
      return Complain("extract: inner file " + std::to_string(i) + ": " + error, kExitFailed);
    }
    std::printf("%u %s\n", i, Printable(out).c_str());
  }
  return kExitOk;
}

}  // namespace

int RunExtract(const Arguments& args) {
  if (WantsHelp(args)) {
    std::fputs(kExtractHelp, stdout);
    return kExitOk;
  }
  if (args.size() != 3) return UsageError("extract", "give FILE INDEX OUT or FILE --all DIR");
  const bool all = args[1] == "--all";
  std::uint64_t index = 0;
  if (!all && !ParseNumber(args[1], 0xffffffffu, index)) {
    return UsageError("extract", "INDEX must be a number, not '" + args[1] + "'");
  }
  Inspection result = Inspect(args[0]);
  if (!result.valid) {
    return Complain("extract: " + Printable(args[0]) + ": FAILED: " + Printable(result.failure) +
                        "; nothing extracted",
                    kExitFailed);
  }
  if (all) return ExtractAll(result.reader, args[2]);
  const auto count = result.reader.InnerFiles().size();
  if (index >= count) {
    return Complain("extract: no inner file " + std::to_string(index) + ": " + args[0] + " holds " +
                        std::to_string(count) + " (indices 0 to " + std::to_string(count - 1) + ")",
                    kExitFailed);
  }
  std::string error;
  if (!ExtractOne(result.reader, static_cast<unsigned int>(index), args[2], error)) {
    return Complain("extract: " + error, kExitFailed);
  }
  return kExitOk;
}

}  // namespace qx::udtool
