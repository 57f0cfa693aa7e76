// Host-side writer of upgrade files (layout in container/upgrade_file_format.h), for udtool and
// for tests that need upgrade files, sound or deliberately damaged.
//
// Describe the file as an UpgradeImage: the header fields and a list of inner files, each with
// its data in memory or read from a host path. The writer computes the total data size and
// every digest. It refuses texts longer than their fields, an image without inner files, and
// sizes that 32-bit fields and offsets cannot hold, with a message naming the culprit.
// The damage fields exist for tests; left at their defaults they change nothing.
#ifndef QX_TOOLS_UPGRADE_FILE_WRITER_H_
#define QX_TOOLS_UPGRADE_FILE_WRITER_H_

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "container/upgrade_file_format.h"

namespace qx::udtool {

namespace format = qx::upgradeFile::format;

struct UpgradeHeaderFields {
  std::uint16_t version = 0;
  std::string upgrade_name;  // up to 32 bytes; a text that fills its field has no NUL
  std::string release_name;  // up to 16 bytes
  std::string file_date;     // up to 8 bytes
  std::uint32_t upgrade_id = 0;
  std::string auxiliary_text1;  // up to 8 bytes
  std::string auxiliary_text2;  // up to 8 bytes
  std::uint32_t auxiliary_word = 0;
  std::string reserved;  // up to 20 bytes for the uninterpreted bytes; the rest is 0
};

struct InnerFileSpec {
  std::string name;  // up to 32 bytes
  std::uint32_t auxiliary_word1 = 0;
  std::uint32_t auxiliary_word2 = 0;
  std::string data;       // the data, used when host_path is empty
  std::string host_path;  // a regular file whose content is the data
  std::string reserved;   // up to 64 bytes for the uninterpreted bytes; the rest is 0

  // Damage: a data size field that differs from the data written, a stored digest with one
  // bit flipped.
  std::optional<std::uint32_t> declared_data_size;
  bool corrupt_digest = false;

  static InnerFileSpec FromData(std::string name, std::string data);
  static InnerFileSpec FromPath(std::string name, std::string host_path);
};

struct UpgradeImage {
  UpgradeHeaderFields header;
  std::vector<InnerFileSpec> files;

  // Damage: a total data size field other than the sum of the data sizes, a stored header
  // digest with one bit flipped, bytes after the last inner file (covered by no digest).
  std::optional<std::uint32_t> declared_total_data_size;
  bool corrupt_header_digest = false;
  std::string trailing_bytes;
};

// The whole upgrade file in memory. On false, error says why and bytes is unchanged.
bool BuildUpgradeFile(const UpgradeImage& image, std::string& bytes, std::string& error);

// Writes the upgrade file to path: under a temporary name in the same directory, renamed to
// path only once complete, so a failed run never leaves a file that looks whole. The new file
// gets mode 0644 less the umask. Host files are streamed, never held whole in memory.
bool WriteUpgradeFile(const UpgradeImage& image, const std::string& path, std::string& error);

// Writes the upgrade file to the open descriptor fd; messages call it name. Only a seekable
// descriptor is written out of order (each inner digest is patched in after its data); any
// other is written strictly in order, so each host file is read twice, for its digest and then
// for its bytes, and one that changes in between is an error. wrote, when set, is told the size
// of every write (for a progress line).
bool WriteUpgradeFileTo(const UpgradeImage& image, int fd, const std::string& name, bool seekable,
                        const std::function<void(std::size_t)>& wrote, std::string& error);

// One encoded header with its digest (of the first 112 bytes only), for tests and fuzz seeds.
// Texts longer than their fields are cut.
std::array<unsigned char, format::kHeaderBytes> EncodeUpgradeHeader(
    const UpgradeHeaderFields& fields, std::uint32_t total_data_size);
std::array<unsigned char, format::kHeaderBytes> EncodeInnerHeader(const InnerFileSpec& spec,
                                                                  std::uint32_t data_size);

}  // namespace qx::udtool

#endif  // QX_TOOLS_UPGRADE_FILE_WRITER_H_
