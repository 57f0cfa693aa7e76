// The upgrade file reader. ParseFile walks a whole upgrade file once, checking the upgrade file
// header and every inner file's header and digest, and records each inner file's data offset
// and parsed header; ExtractFile later copies one inner file's data, chosen by its zero-based
// position in the file, to a new file.
//
// The file is never held in memory: every call streams through one local 1024-byte buffer,
// digests each inner file in the same pass that validates it, and ExtractFile opens the file
// again and seeks straight to the recorded offset. Every failure keeps its text for
// ErrorMessage() and returns false; a success leaves the text of the latest failure in place.
#ifndef QX_CONTAINER_UPGRADE_FILE_H_
#define QX_CONTAINER_UPGRADE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "container/upgrade_file_information.h"

namespace qx::upgradeFile {

// One inner file as the reader sees it: its parsed header and a text that nothing fills.
class InnerFile {
 public:
  bool ParseHeader(unsigned char const* buffer, unsigned int length) {
    return information_.ParseHeader(buffer, length);
  }
  bool ValidateMD5Hash(unsigned char* digest, unsigned int length) const {
    return information_.ValidateMD5Hash(digest, length);
  }
  unsigned int FileSize() const { return information_.FileSize(); }
  const InnerFileInformation& Information() const { return information_; }

 private:
  InnerFileInformation information_;
  std::string description_;  // part of the record; no operation fills it
};

// The most inner files a reader walks. The format has no count of its own, and a file of empty
// inner files holds one record per 128 bytes: 200,000 in a 25 MiB ramdisk, more than the router's
// memory holds. An upgrade uses five; the walk fails at the 1025th.
constexpr std::size_t kMaxInnerFiles = 1024;

class UpgradeFile {
 public:
  UpgradeFile() = default;
  explicit UpgradeFile(std::string const& path) : path_(path) {}  // opens nothing

  // Walks and checks the file at path (empty: the stored path; a non-empty path is stored,
  // even when the walk then fails). Empties the tables and the header record first. True when
  // every digest matched and the inner files' data sizes add up exactly to the header's total;
  // then Valid() is true. On false the tables hold the inner files completed before the failure.
  // The header writes five lines to the upgrade log, then "Upgrade file size " + total.
  // Failures: "No file specified", "Couldn't open file " + path + ": error: " + reason,
  // "Unable to read header bytes", "Unable to parse header", "Unable to read inner file header",
  // "Unable to parse inner header", "Unable to read bytes", "Inner header MD5 check failed",
  // "Inner file runs past 4 GiB" for data that 32-bit offsets cannot address, and "More than 1024
  // inner files" (kMaxInnerFiles) before a header that would exceed the bound is read.
  bool ParseFile(std::string const& path);
  bool ParseFile() { return ParseFile(std::string()); }

  // Copies the data of inner file index to extraction_path, which is created afresh with mode
  // 0755 (less the umask): whatever stood there is unlinked first, never written through (a
  // hard or symbolic link keeps its target's bytes). Needs a parse that
  // recorded the index; does not check digests again. Failures: "Invalid offset",
  // "Couldn't open upgrade file ...", "Unable to find internal file in ...",
  // "Couldn't open extraction file ...", "Error reading internal file to extract",
  // "Unable to write extraction file ...". A failed copy leaves the bytes copied so far.
  bool ExtractFile(unsigned int index, std::string const& extraction_path);

  bool Valid() const { return valid_; }
  std::string const& ErrorMessage() const { return error_message_; }

  std::string const& Path() const { return path_; }
  UpgradeFileInformation const& Header() const { return header_; }
  // Entry k of both tables belongs to inner file k.
  std::vector<std::uint32_t> const& DataOffsets() const { return data_offsets_; }
  std::vector<InnerFile> const& InnerFiles() const { return inner_files_; }

 private:
  bool Fail(std::string message);
  bool FailWithErrno(const char* what, const std::string& path, int error);
  bool WalkInnerFiles(int fd, unsigned char* buffer);
  bool ReadInnerFile(int fd, std::uint64_t consumed, unsigned char* buffer, InnerFile& inner);
  bool CopyData(int from, int to, std::uint32_t size, const std::string& extraction_path);

  std::string path_;
  UpgradeFileInformation header_;
  std::vector<std::uint32_t> data_offsets_;
  std::vector<InnerFile> inner_files_;
  bool valid_ = false;
  std::string error_message_;
};

}  // namespace qx::upgradeFile

#endif  // QX_CONTAINER_UPGRADE_FILE_H_
