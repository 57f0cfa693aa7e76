// udtool's files: inputs that may be pipes, outputs that may be devices, the temporary files in
// between, which an interrupt never leaves behind, and the progress line of long runs.
#ifndef QX_TOOLS_UDTOOL_IO_H_
#define QX_TOOLS_UDTOOL_IO_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qx::udtool {

// SIGINT, SIGTERM and SIGHUP remove every registered temporary path (newest first, so a staging
// directory's files go before the directory), then end the process as the signal would have.
void InstallCleanupHandlers();
void RegisterTemporary(const std::string& path);
void UnregisterTemporary(const std::string& path);
// mkstemp and mkdtemp on templ, registered before a signal could miss them; on failure (-1,
// false) errno tells why.
int MakeTemporaryFile(std::string& templ);
bool MakeTemporaryDirectory(std::string& templ);

// A file's identity, to tell that two names are the same file.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool Same(const struct stat& info) const { return info.st_dev == device && info.st_ino == inode; }
};

// What the reader walks. A regular file (or a block device) is read where it is. A pipe, a FIFO
// and "-" (standard input) are first copied into an unnamed temporary file, as far as the
// router's walk would read them (the reader and the copier need to seek); what follows is
// counted, not kept. Directories, terminals and character devices are refused.
class Input {
 public:
  Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input();

  // On false, error is the whole message: the input's name and the exact cause.
  bool Open(const std::string& name, std::string& error);

  const std::string& Name() const { return name_; }  // as given
  const std::string& Path() const { return path_; }  // what to open
  const FileId& Id() const { return id_; }
  std::uint64_t Size() const { return size_; }  // bytes on hand (for a copy, the copied ones)
  bool Copied() const { return spool_fd_ >= 0; }
  // Bytes of the stream after the copied part, counted up to a cap (then at_least is true).
  std::uint64_t UncopiedBytes(bool& at_least) const {
    at_least = uncopied_at_least_;
    return uncopied_;
  }
  // Bytes read so far by whatever reads the input once it is open, for the progress line.
  std::uint64_t ReadPosition() const;
  // Bytes of a stream copied so far; the one call another thread may make during Open.
  std::uint64_t CopiedBytes() const { return copied_.load(); }

 private:
  bool CreateCopy(std::string& error);
  bool CopyStream(int from, std::string& error);

  std::string name_, path_, spool_name_;
  FileId id_;
  std::uint64_t size_ = 0;
  int spool_fd_ = -1;
  std::uint64_t uncopied_ = 0;
  bool uncopied_at_least_ = false;
  std::atomic<std::uint64_t> copied_{0};
};

// Where one output goes. "-" is standard output. An existing output that is not a regular file
// (a FIFO, a device, standard output by any name) is written in place and never replaced; a
// regular one is written under a temporary name beside it and renamed over it on Commit, and an
// existing regular output is replaced only with force. The output must not be any of the inputs.
class Output {
 public:
  struct Options {
    bool force = false;
    mode_t mode = 0644;  // less the umask; an output written in place keeps its own
    std::vector<FileId> inputs;
    std::string shown_as;  // the name messages give, when it is not the path (a staged file)
  };

  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() { Abort(); }

  // On false, error names the output and the cause; nothing is created.
  bool Open(const std::string& name, const Options& options, std::string& error);
  int Fd() const { return fd_; }
  // Only a fresh temporary file may be written out of order.
  bool Seekable() const { return !temporary_.empty(); }
  const std::string& Name() const { return name_; }

  // Writes size bytes, or error names the output and the cause.
  bool Write(const unsigned char* data, std::size_t size, std::string& error);
  // Makes the output whole: sets the mode and renames the temporary file into place.
  bool Commit(std::string& error);
  // Removes the temporary file, if any; an output written in place keeps what it received.
  void Abort();

 private:
  std::string path_, name_, temporary_;
  Options options_;
  int fd_ = -1;
  bool close_fd_ = false;
};

// The checks Output::Open makes of an existing name, for a set of outputs checked before any is
// written: on false, error says why the name cannot be written.
bool CheckOutputName(const std::string& name, const Output::Options& options, bool& exists,
                     std::string& error);

// "cannot VERB PATH: strerror(error)"
std::string SystemError(const std::string& verb, const std::string& path, int error);
std::string DirectoryOf(const std::string& path);

// A line on standard error, when it is a terminal and the work lasts longer than a second:
// "udtool: WHAT: N of M MiB (P%)", redrawn a few times a second and erased when done.
class Progress {
 public:
  Progress(std::string what, std::uint64_t total, std::function<std::uint64_t()> done);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  void Run();

  std::string what_;
  std::uint64_t total_;
  std::function<std::uint64_t()> done_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace qx::udtool

#endif  // QX_TOOLS_UDTOOL_IO_H_
