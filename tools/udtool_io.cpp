#include "tools/udtool_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qx::udtool {
namespace {

// The temporary paths a signal removes. Changed only with the three signals blocked, so the
// handler never sees the list half-changed; never freed, as a signal may come during exit.
std::vector<std::string>* g_temporaries = nullptr;

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

class BlockedSignals {
 public:
  BlockedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kCleanupSignals) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

// Only async-signal-safe calls: unlink, rmdir, signal, raise.
void OnCleanupSignal(int signal) {
  if (g_temporaries != nullptr) {
    for (auto it = g_temporaries->rbegin(); it != g_temporaries->rend(); ++it) {
      if (::unlink(it->c_str()) != 0) ::rmdir(it->c_str());
    }
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);  // delivered once the handler returns: the process ends by the signal
}

mode_t Umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

bool SameAsStandardOutput(const struct stat& info) {
  struct stat out {};
  return ::fstat(STDOUT_FILENO, &out) == 0 && FileId{out.st_dev, out.st_ino}.Same(info);
}

std::string Mebibytes(std::uint64_t bytes) { return std::to_string(bytes >> 20); }

}  // namespace

void InstallCleanupHandlers() {
  {
    BlockedSignals blocked;
    if (g_temporaries == nullptr) g_temporaries = new std::vector<std::string>;
  }
  struct sigaction action {};
  action.sa_handler = OnCleanupSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : kCleanupSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kCleanupSignals) sigaction(signal, &action, nullptr);
}

void RegisterTemporary(const std::string& path) {
  BlockedSignals blocked;
  if (g_temporaries != nullptr) g_temporaries->push_back(path);
}

void UnregisterTemporary(const std::string& path) {
  BlockedSignals blocked;
  if (g_temporaries == nullptr) return;
  auto& list = *g_temporaries;
  list.erase(std::remove(list.begin(), list.end(), path), list.end());
}

int MakeTemporaryFile(std::string& templ) {
  BlockedSignals blocked;
  const int fd = ::mkstemp(templ.data());
  if (fd >= 0) RegisterTemporary(templ);
  return fd;
}

bool MakeTemporaryDirectory(std::string& templ) {
  BlockedSignals blocked;
  if (::mkdtemp(templ.data()) == nullptr) return false;
  RegisterTemporary(templ);
  return true;
}

std::string SystemError(const std::string& verb, const std::string& path, int error) {
  return verb + " " + path + ": " + std::strerror(error);
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool CheckOutputName(const std::string& name, const Output::Options& options, bool& exists,
                     std::string& error) {
  struct stat info {};
  exists = ::stat(name.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) {
    error = SystemError("cannot write", name, errno);
    return false;
  }
  if (!exists) return true;
  for (const FileId& input : options.inputs) {
    if (input.Same(info)) {
      error = "cannot write " + name + ": it is the input file (same device and inode)";
      return false;
    }
  }
  if (S_ISDIR(info.st_mode)) {
    error = "cannot write " + name + ": is a directory";
  } else if (S_ISREG(info.st_mode) && !options.force && !SameAsStandardOutput(info)) {
    error = name + " exists; give --force to overwrite it";
  }
  return error.empty();
}

bool Output::Open(const std::string& name, const Options& options, std::string& error) {
  path_ = name;
  name_ = name == "-" ? "standard output" : options.shown_as.empty() ? name : options.shown_as;
  options_ = options;
  struct stat info {};
  bool exists = true;
  if (name == "-") {
    if (::fstat(STDOUT_FILENO, &info) != 0) {
      error = SystemError("cannot write", name_, errno);
      return false;
    }
    for (const FileId& input : options.inputs) {
      if (input.Same(info)) error = "cannot write standard output: it is the input file";
    }
    if (::isatty(STDOUT_FILENO) == 1) {
      error = "cannot write standard output: is a terminal; redirect it or give a file";
    }
  } else if (CheckOutputName(name, options, exists, error) && exists &&
             ::stat(name.c_str(), &info) != 0) {
    exists = false;  // gone since the check: created afresh
  }
  if (!error.empty()) return false;
  if (name == "-" || (exists && SameAsStandardOutput(info))) {
    fd_ = STDOUT_FILENO;
    return true;
  }
  close_fd_ = true;
  if (exists && !S_ISREG(info.st_mode)) {
    fd_ = ::open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) error = SystemError("cannot write", name_, errno);
    return fd_ >= 0;
  }
  std::string temporary = DirectoryOf(name) + "/.udtool-XXXXXX";
  fd_ = MakeTemporaryFile(temporary);
  if (fd_ < 0) {
    error = SystemError("cannot create", name_, errno);
    return false;
  }
  temporary_ = temporary;
  return true;
}

bool Output::Write(const unsigned char* data, std::size_t size, std::string& error) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = SystemError("cannot write", name_, written < 0 ? errno : ENOSPC);
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool Output::Commit(std::string& error) {
  if (temporary_.empty()) {
    if (close_fd_ && ::close(fd_) != 0) error = SystemError("cannot write", name_, errno);
    fd_ = -1;
    return error.empty();
  }
  if (::fchmod(fd_, options_.mode & ~Umask()) != 0) {
    error = SystemError("cannot set the mode of", name_, errno);
  }
  // close reports the last write errors of some file systems (quota, NFS).
  if (::close(fd_) != 0 && error.empty()) error = SystemError("cannot write", name_, errno);
  fd_ = -1;
  if (!error.empty()) return false;
  // Without force, a file that appeared since the check is kept, not replaced.
  int renamed = options_.force ? ::rename(temporary_.c_str(), path_.c_str())
                               : ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, path_.c_str(),
                                             RENAME_NOREPLACE);
  if (renamed != 0 && (errno == EINVAL || errno == ENOSYS)) {
    renamed = ::rename(temporary_.c_str(), path_.c_str());
  }
  if (renamed != 0) {
    error = errno == EEXIST ? name_ + " exists; give --force to overwrite it"
                            : SystemError("cannot create", name_, errno);
    return false;
  }
  UnregisterTemporary(temporary_);
  temporary_.clear();
  return true;
}

void Output::Abort() {
  if (fd_ >= 0 && close_fd_) ::close(fd_);
  fd_ = -1;
  if (temporary_.empty()) return;
  ::unlink(temporary_.c_str());
  UnregisterTemporary(temporary_);
  temporary_.clear();
}

Progress::Progress(std::string what, std::uint64_t total, std::function<std::uint64_t()> done)
    : what_(std::move(what)), total_(total), done_(std::move(done)) {
  if (::isatty(STDERR_FILENO) != 1) return;
  // The signals that remove temporary files must reach the main thread, which owns the list.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  thread_ = std::thread(&Progress::Run, this);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

Progress::~Progress() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Progress::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto stopped = [this] { return stop_; };
  if (wake_.wait_for(lock, std::chrono::seconds(1), stopped)) return;
  do {
    const std::uint64_t done = done_();
    std::string line = "\rudtool: " + what_ + ": " + Mebibytes(done);
    if (total_ > 0) {
      line += " of " + Mebibytes(total_) + " MiB (" +
              std::to_string(std::min<std::uint64_t>(100, done * 100 / total_)) + "%)";
    } else {
      line += " MiB";
    }
    std::fputs((line + "\x1b[K").c_str(), stderr);
  } while (!wake_.wait_for(lock, std::chrono::milliseconds(250), stopped));
  std::fputs("\r\x1b[K", stderr);
}

}  // namespace qx::udtool
