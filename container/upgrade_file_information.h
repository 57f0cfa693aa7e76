// The two header records of an upgrade file: UpgradeFileInformation parses and checks the
// 128-byte upgrade file header, InnerFileInformation one 128-byte inner file header (byte
// layout in container/upgrade_file_format.h).
//
// Both read exactly the first 128 bytes of the buffer they are given and keep their own copies
// of every value: the buffer may be reused at once. A record is built empty (zeros, empty texts,
// an all-zero digest) and filled by ParseHeader. A failure stores its reason for ErrorMessage()
// and returns false; a later success does not clear it.
#ifndef QX_CONTAINER_UPGRADE_FILE_INFORMATION_H_
#define QX_CONTAINER_UPGRADE_FILE_INFORMATION_H_

#include <array>
#include <cstdint>
#include <string>

#include "container/upgrade_file_format.h"

namespace qx::upgradeFile {

using Digest = std::array<unsigned char, format::kDigestBytes>;

class UpgradeFileInformation {
 public:
  // True when the first 128 of the length bytes hold an upgrade file header with the right
  // identity and a matching digest. Writes five lines to the upgrade log (version, upgrade
  // name, release name, file date, upgrade ID) once the identity has passed, before the digest
  // is checked. Failures: "Buffer is smaller than header size" and "Header identity failed"
  // change nothing else; "Header MD5 check failed" leaves every parsed field set and the valid
  // flag as it was.
  bool ParseHeader(unsigned char const* buffer, unsigned int length);

  unsigned int HeaderSize() const { return format::kHeaderBytes; }
  // The total data size: the sum of the data sizes of all inner files, headers not counted.
  unsigned int FileSize() const { return total_data_size_; }

  bool Valid() const { return valid_; }
  std::uint16_t Version() const { return version_; }
  const std::string& UpgradeName() const { return upgrade_name_; }
  const std::string& ReleaseName() const { return release_name_; }
  const std::string& FileDate() const { return file_date_; }
  std::uint32_t UpgradeId() const { return upgrade_id_; }
  const std::string& AuxiliaryText1() const { return auxiliary_text1_; }
  const std::string& AuxiliaryText2() const { return auxiliary_text2_; }
  std::uint32_t AuxiliaryWord() const { return auxiliary_word_; }
  const Digest& HeaderDigest() const { return header_digest_; }
  const std::string& ErrorMessage() const { return error_message_; }

 private:
  bool valid_ = false;
  std::uint16_t version_ = 0;
  std::string upgrade_name_;
  std::string release_name_;
  std::string file_date_;
  std::uint32_t upgrade_id_ = 0;
  std::string auxiliary_text1_;
  std::string auxiliary_text2_;
  std::uint32_t auxiliary_word_ = 0;
  std::uint32_t total_data_size_ = 0;
  Digest header_digest_{};
  std::string error_message_;
};

class InnerFileInformation {
 public:
  // True when the first 128 of the length bytes start with the inner file identity; then every
  // field is taken from them. Does not hash and writes nothing to the upgrade log: the caller
  // hashes the header's first 112 bytes and the data and asks ValidateMD5Hash. Failures:
  // "Buffer is smaller than header size", "Internal file header identity failed"; nothing else
  // changes.
  bool ParseHeader(unsigned char const* buffer, unsigned int length);

  // True when length is at least 16 and the first 16 bytes of digest equal the stored header
  // digest. A length below 16 compares nothing and gives false.
  bool ValidateMD5Hash(unsigned char* digest, unsigned int length) const;

  // The number of data bytes that follow this header.
  unsigned int FileSize() const { return data_size_; }

  std::uint32_t AuxiliaryWord1() const { return auxiliary_word1_; }
  std::uint32_t AuxiliaryWord2() const { return auxiliary_word2_; }
  // Cut at its first NUL like the upgrade file header's texts.
  const std::string& Name() const { return name_; }
  const Digest& HeaderDigest() const { return header_digest_; }
  const std::string& ErrorMessage() const { return error_message_; }

 private:
  std::uint32_t auxiliary_word1_ = 0;
  std::uint32_t auxiliary_word2_ = 0;
  std::uint32_t data_size_ = 0;
  std::string name_;
  Digest header_digest_{};
  std::string error_message_;
};

}  // namespace qx::upgradeFile

#endif  // QX_CONTAINER_UPGRADE_FILE_INFORMATION_H_
