#include "container/upgrade_file_information.h"

#include <algorithm>
#include <cstring>

#include "utils/upgrader_utils.h"

namespace qx::upgradeFile {
namespace {

using format::Field;

// A NUL-padded text field: the bytes before the first NUL, or all of them when there is none.
std::string ReadText(const unsigned char* header, Field field) {
  const unsigned char* begin = header + field.offset;
  const unsigned char* end = std::find(begin, begin + field.size, 0);
  return std::string(begin, end);
}

Digest ReadDigest(const unsigned char* header, Field field) {
  Digest digest{};
  std::memcpy(digest.data(), header + field.offset, digest.size());
  return digest;
}

// The two checks both records make before reading any field: nullptr when the buffer holds a
// whole header that starts with the identity, otherwise the reason.
const char* CheckLengthAndIdentity(const unsigned char* buffer, unsigned int length, Field field,
                                   const unsigned char* identity, const char* identity_failure) {
  if (length < format::kHeaderBytes) return "Buffer is smaller than header size";
  if (std::memcmp(buffer + field.offset, identity, field.size) != 0) return identity_failure;
  return nullptr;
}

}  // namespace

bool UpgradeFileInformation::ParseHeader(unsigned char const* buffer, unsigned int length) {
  if (const char* failure =
          CheckLengthAndIdentity(buffer, length, format::kUpgradeIdentity,
                                 format::kUpgradeFileIdentity, "Header identity failed")) {
    error_message_ = failure;
    return false;
  }
  version_ = static_cast<std::uint16_t>(format::ReadBigEndian(buffer, format::kVersion));
  upgrade_name_ = ReadText(buffer, format::kUpgradeName);
  release_name_ = ReadText(buffer, format::kReleaseName);
  file_date_ = ReadText(buffer, format::kFileDate);
  upgrade_id_ = format::ReadBigEndian(buffer, format::kUpgradeId);
  auxiliary_text1_ = ReadText(buffer, format::kAuxiliaryText1);
  auxiliary_text2_ = ReadText(buffer, format::kAuxiliaryText2);

  // Logged before the digest check, so even a damaged header shows what it claims to be.
  namespace log = qx::upgrader::utils;
  log::LogToUpgradeLog("Version " + std::to_string(version_));
  log::LogToUpgradeLog("Upgrade Name: " + upgrade_name_);
  log::LogToUpgradeLog("Release Name: " + release_name_);
  log::LogToUpgradeLog("File Date: " + file_date_);
  log::LogToUpgradeLog("Upgrade ID: " + std::to_string(upgrade_id_));

  auxiliary_word_ = format::ReadBigEndian(buffer, format::kAuxiliaryWord);
  total_data_size_ = format::ReadBigEndian(buffer, format::kTotalDataSize);
  header_digest_ = ReadDigest(buffer, format::kUpgradeDigest);

  md5_state state;
  md5_init(&state);
  md5_append(&state, buffer, static_cast<int>(format::kHashedHeaderBytes));
  Digest computed{};
  md5_finish(&state, computed.data());
  if (computed != header_digest_) {
    error_message_ = "Header MD5 check failed";
    return false;
  }
  valid_ = true;
  return true;
}

bool InnerFileInformation::ParseHeader(unsigned char const* buffer, unsigned int length) {
  if (const char* failure =
          CheckLengthAndIdentity(buffer, length, format::kInnerIdentity, format::kInnerFileIdentity,
                                 "Internal file header identity failed")) {
    error_message_ = failure;
    return false;
  }
  auxiliary_word1_ = format::ReadBigEndian(buffer, format::kInnerAuxiliaryWord1);
  auxiliary_word2_ = format::ReadBigEndian(buffer, format::kInnerAuxiliaryWord2);
  data_size_ = format::ReadBigEndian(buffer, format::kDataSize);
  name_ = ReadText(buffer, format::kInnerName);
  header_digest_ = ReadDigest(buffer, format::kInnerDigest);
  return true;
}

bool InnerFileInformation::ValidateMD5Hash(unsigned char* digest, unsigned int length) const {
  if (length < format::kDigestBytes) return false;
  return std::memcmp(digest, header_digest_.data(), header_digest_.size()) == 0;
}

}  // namespace qx::upgradeFile
