// udtool extract: checks an upgrade file with the router's own reader and copies inner files
// out of a valid one, from the data offsets the walk recorded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include "tools/udtool.h"

namespace qx::udtool {
namespace {

constexpr const char kExtractHelp[] =
    "usage: udtool extract [--force] FILE INDEX OUT\n"
    "       udtool extract [--force] --all FILE DIR\n"
    "\n"
    "Checks FILE ('-': standard input, which may be a pipe) as the router does and, only\n"
    "when it is valid, copies the data of inner file INDEX (counted from 0) to OUT, or of\n"
    "every inner file into DIR (created when missing). In DIR each inner file is named after\n"
    "its name in the file; a name that is empty, holds '/' or a control character, is '.' or\n"
    "'..', or repeats an earlier one is replaced by 'inner-file-INDEX'.\n"
    "\n"
    "OUT '-' is standard output; an existing OUT that is not a regular file (a FIFO, a\n"
    "device) is written in place. A regular OUT is written under a temporary name beside it\n"
    "and renamed when complete; an existing one is replaced only with --force (a symbolic\n"
    "link there is replaced, never followed). --all is all or nothing: the files are\n"
    "extracted into a staging directory and moved into DIR only once all are complete.\n"
    "Outputs get mode 0755 less the umask, as on the router.\n"
    "\n"
    "  -a, --all     every inner file, into DIR\n"
    "  -f, --force   replace existing regular files\n";

constexpr const char kExtractUsage[] =
    "usage: udtool extract [--force] FILE INDEX OUT\n"
    "       udtool extract [--force] --all FILE DIR\n";
constexpr struct option kExtractOptions[] = {
    {"all", no_argument, nullptr, 'a'},
    {"force", no_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};
constexpr CommandLine kExtractLine = {"extract", kExtractUsage, kExtractHelp, "afh",
                                      kExtractOptions};
constexpr std::size_t kChunkBytes = 64 * 1024;

bool SafeName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// The names the inner files get in DIR, by index.
std::vector<std::string> DirectoryNames(const qx::upgradeFile::UpgradeFile& reader) {
  std::set<std::string> used;
  std::vector<std::string> names;
  const auto& inner_files = reader.InnerFiles();
  for (unsigned int i = 0; i < inner_files.size(); ++i) {
    std::string name = inner_files[i].Information().Name();
    if (!SafeName(name) || used.count(name) != 0) name = "inner-file-" + std::to_string(i);
    used.insert(name);
    names.push_back(name);
  }
  return names;
}

// Copies the data the walk found for inner file index into out.
bool CopyInner(const Input& input, const qx::upgradeFile::UpgradeFile& reader, unsigned int index,
               Output& out, std::atomic<std::uint64_t>& copied, std::string& error) {
  const int fd = ::open(input.Path().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = SystemError("cannot read", input.Name(), errno);
    return false;
  }
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkBytes]);
  const std::uint64_t offset = reader.DataOffsets()[index];
  const std::uint64_t size = reader.InnerFiles()[index].FileSize();
  bool ok = true;
  for (std::uint64_t done = 0; ok && done < size;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, size - done));
    const ssize_t got = ::pread(fd, buffer.get(), want, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error = got < 0 ? SystemError("cannot read", input.Name(), errno)
                      : input.Name() + " became shorter since it was checked";
      ok = false;
    } else {
      ok = out.Write(buffer.get(), static_cast<std::size_t>(got), error);
      done += static_cast<std::uint64_t>(got);
      copied += static_cast<std::uint64_t>(got);
    }
  }
  ::close(fd);
  return ok;
}

bool ExtractTo(const Input& input, const qx::upgradeFile::UpgradeFile& reader, unsigned int index,
               const std::string& name, bool force, std::atomic<std::uint64_t>& copied,
               std::string& error, const std::string& shown_as = "") {
  Output::Options options;
  options.shown_as = shown_as;
  options.force = force;
  options.mode = 0755;
  options.inputs.push_back(input.Id());
  Output out;
  return out.Open(name, options, error) && CopyInner(input, reader, index, out, copied, error) &&
         out.Commit(error);
}

// Extracts every inner file under staging (a fresh directory); each complete one is
// registered, so that a signal removes it with the directory.
bool ExtractAllInto(const Input& input, const qx::upgradeFile::UpgradeFile& reader,
                    const std::string& staging, const std::string& directory,
                    const std::vector<std::string>& names, std::atomic<std::uint64_t>& copied,
                    std::string& error) {
  for (unsigned int i = 0; i < names.size(); ++i) {
    const std::string path = staging + "/" + names[i];
    RegisterTemporary(path);
    if (!ExtractTo(input, reader, i, path, false, copied, error, directory + "/" + names[i])) {
      error = "inner file " + std::to_string(i) + ": " + error;
      return false;
    }
  }
  return true;
}

void RemoveStaging(const std::string& staging, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    ::unlink((staging + "/" + name).c_str());
    UnregisterTemporary(staging + "/" + name);
  }
  ::rmdir(staging.c_str());
  UnregisterTemporary(staging);
}

// Moves the staged files into place: the whole directory when DIR is new, else file by file
// into DIR (names checked beforehand; without force an existing one is never replaced).
bool MoveIntoPlace(const std::string& staging, const std::string& directory, bool fresh,
                   const std::vector<std::string>& names, bool force, std::string& error) {
  if (fresh) {
    if (::rename(staging.c_str(), directory.c_str()) == 0) return true;
    error = SystemError("cannot create", directory, errno);
    return false;
  }
  for (const std::string& name : names) {
    const std::string from = staging + "/" + name, to = directory + "/" + name;
    const int moved =
        force ? ::rename(from.c_str(), to.c_str())
              : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (moved != 0) {
      error = errno == EEXIST ? to + " exists; give --force to overwrite it"
                              : SystemError("cannot create", to, errno);
      return false;
    }
    UnregisterTemporary(from);
  }
  return true;
}

// Checks DIR: fresh when it does not exist yet; in an existing one each name must be free, or a
// regular file that may be replaced (the files are renamed in, so nothing else is written
// through, and a refusal found only at the renames would leave a partial set).
bool CheckDirectory(const std::string& directory, const std::vector<std::string>& names,
                    const Output::Options& options, bool& fresh, std::string& error) {
  struct stat info {};
  fresh = ::stat(directory.c_str(), &info) != 0;
  if (fresh && errno != ENOENT) {
    error = SystemError("cannot create", directory, errno);
  } else if (!fresh && !S_ISDIR(info.st_mode)) {
    error = "cannot create " + directory + ": it exists and is not a directory";
  }
  for (std::size_t i = 0; !fresh && error.empty() && i < names.size(); ++i) {
    const std::string path = directory + "/" + names[i];
    bool exists = false;
    if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      error = "cannot write " + path + ": it exists and is not a regular file";
    } else {
      CheckOutputName(path, options, exists, error);
    }
  }
  return error.empty();
}

int ExtractAll(const Input& input, const qx::upgradeFile::UpgradeFile& reader,
               const std::string& directory, bool force) {
  const std::vector<std::string> names = DirectoryNames(reader);
  Output::Options options;
  options.force = force;
  options.inputs.push_back(input.Id());
  bool fresh = false;
  std::string error;
  if (!CheckDirectory(directory, names, options, fresh, error)) {
    return Complain("extract: " + error + "; nothing extracted", kExitFailed);
  }
  std::string staging = (fresh ? DirectoryOf(directory) : directory) + "/.udtool-XXXXXX";
  if (!MakeTemporaryDirectory(staging)) {
    return Complain("extract: " + SystemError("cannot create", directory, errno), kExitFailed);
  }
  std::uint64_t total = 0;
  for (const auto& inner : reader.InnerFiles()) total += inner.FileSize();
  std::atomic<std::uint64_t> copied{0};
  bool ok = false;
  {
    Progress progress("extract", total, [&copied] { return copied.load(); });
    ok = ExtractAllInto(input, reader, staging, directory, names, copied, error) &&
         MoveIntoPlace(staging, directory, fresh, names, force, error);
  }
  if (!ok) {
    RemoveStaging(staging, names);
    return Complain("extract: " + error + "; nothing extracted", kExitFailed);
  }
  if (fresh) {
    for (const std::string& name : names) UnregisterTemporary(staging + "/" + name);
    UnregisterTemporary(staging);
  } else {
    ::rmdir(staging.c_str());
    UnregisterTemporary(staging);
  }
  for (unsigned int i = 0; i < names.size(); ++i) {
    std::printf("%u %s\n", i, Printable(directory + "/" + names[i]).c_str());
  }
  return kExitOk;
}

int ExtractOne(const Input& input, const qx::upgradeFile::UpgradeFile& reader, std::uint64_t index,
               const std::string& out, bool force) {
  const auto count = reader.InnerFiles().size();
  if (index >= count) {
    return Complain("extract: no inner file " + std::to_string(index) + ": " + input.Name() +
                        " holds " + std::to_string(count) + " (indices 0 to " +
                        std::to_string(count - 1) + ")",
                    kExitFailed);
  }
  std::atomic<std::uint64_t> copied{0};
  std::string error;
  bool ok = false;
  {
    Progress progress("extract", reader.InnerFiles()[index].FileSize(),
                      [&copied] { return copied.load(); });
    ok = ExtractTo(input, reader, static_cast<unsigned int>(index), out, force, copied, error);
  }
  return ok ? kExitOk : Complain("extract: " + error, kExitFailed);
}

}  // namespace

int RunExtract(const Arguments& args) {
  bool all = false, force = false;
  std::vector<std::string> operands;
  const int status =
      ParseCommandLine(kExtractLine, args, [&](int code, const char* value, std::string&) {
        all = all || code == 'a';
        force = force || code == 'f';
        if (code == 1) operands.push_back(value);
        return true;
      });
  if (status >= 0) return status;
  if (operands.size() != (all ? 2u : 3u)) {
    return UsageError(kExtractLine, "give FILE INDEX OUT or --all FILE DIR");
  }
  std::uint64_t index = 0;
  if (!all && !ParseNumber(operands[1], 0xffffffffu, index)) {
    return UsageError(kExtractLine, "INDEX must be a number, not '" + operands[1] + "'");
  }
  Input input;
  std::string error;
  {
    Progress progress("extract: read " + operands[0], 0, [&input] { return input.CopiedBytes(); });
    if (!input.Open(operands[0], error)) return Complain("extract: " + error, kExitFailed);
  }
  Inspection result;
  {
    Progress progress("extract: check", input.Size(), [&input] { return input.ReadPosition(); });
    result = Inspect(input);
  }
  if (!result.valid) {
    return Complain("extract: " + Printable(operands[0]) +
                        ": FAILED: " + Printable(result.failure) + "; nothing extracted",
                    kExitFailed);
  }
  if (all) return ExtractAll(input, result.reader, operands.back(), force);
  return ExtractOne(input, result.reader, index, operands[2], force);
}

}  // namespace qx::udtool
