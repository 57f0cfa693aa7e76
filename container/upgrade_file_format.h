// The byte layout of upgrade files: one home for every size, offset and identity, shared by the
// reader, the host tools and the tests.
//
// Stored in every upgrade file already shipped: changing a value breaks images in the field.
//
// Whole file: a 128-byte upgrade file header, then per inner file a 128-byte inner file header
// followed by its data, without gaps. There is no count of inner files: the walk stops after the
// inner file at which the data sizes read so far add up exactly to the header's total data size.
// Integers are unsigned big-endian; texts are NUL-padded and end at their first NUL (or fill the
// field). Each header's digest is the MD5 of its first 112 bytes, for an inner file followed by
// its data; the digest field itself is never hashed.
#ifndef QX_CONTAINER_UPGRADE_FILE_FORMAT_H_
#define QX_CONTAINER_UPGRADE_FILE_FORMAT_H_

#include <cstddef>
#include <cstdint>

#include "container/md5.h"

namespace qx::upgradeFile::format {

struct Field {
  unsigned int offset;
  unsigned int size;
};

constexpr unsigned int kHeaderBytes = 128;  // both header kinds
constexpr unsigned int kDigestBytes = kMd5DigestBytes;
constexpr unsigned int kHashedHeaderBytes = 112;  // bytes before the digest field

// The reader's only buffer: headers and data chunks pass through it.
constexpr std::size_t kCopyBufferBytes = 1024;

// Upgrade file header.
constexpr unsigned char kUpgradeFileIdentity[] = {0x55, 0xDE, 0xAD, 0xBE, 0xEF, 0x55};
constexpr Field kUpgradeIdentity = {0, 6};
constexpr Field kVersion = {6, 2};
constexpr Field kUpgradeName = {8, 32};
constexpr Field kReleaseName = {40, 16};
constexpr Field kFileDate = {56, 8};
constexpr Field kUpgradeId = {64, 4};
constexpr Field kAuxiliaryText1 = {68, 8};
constexpr Field kAuxiliaryText2 = {76, 8};
constexpr Field kAuxiliaryWord = {84, 4};
constexpr Field kTotalDataSize = {88, 4};
constexpr Field kUpgradeReserved = {92, 20};  // not interpreted, covered by the digest
constexpr Field kUpgradeDigest = {112, 16};

// Inner file header.
constexpr unsigned char kInnerFileIdentity[] = {0xF1, 0xE2, 0xD3, 0xC4};
constexpr Field kInnerIdentity = {0, 4};
constexpr Field kInnerAuxiliaryWord1 = {4, 4};
constexpr Field kInnerAuxiliaryWord2 = {8, 4};
constexpr Field kDataSize = {12, 4};
constexpr Field kInnerName = {16, 32};
constexpr Field kInnerReserved = {48, 64};  // not interpreted, covered by the digest
constexpr Field kInnerDigest = {112, 16};

constexpr bool Follows(Field before, Field after) {
  return before.offset + before.size == after.offset;
}

static_assert(sizeof kUpgradeFileIdentity == kUpgradeIdentity.size);
static_assert(sizeof kInnerFileIdentity == kInnerIdentity.size);
static_assert(Follows(kUpgradeIdentity, kVersion) && Follows(kVersion, kUpgradeName) &&
              Follows(kUpgradeName, kReleaseName) && Follows(kReleaseName, kFileDate) &&
              Follows(kFileDate, kUpgradeId) && Follows(kUpgradeId, kAuxiliaryText1) &&
              Follows(kAuxiliaryText1, kAuxiliaryText2) &&
              Follows(kAuxiliaryText2, kAuxiliaryWord) && Follows(kAuxiliaryWord, kTotalDataSize) &&
              Follows(kTotalDataSize, kUpgradeReserved) &&
              Follows(kUpgradeReserved, kUpgradeDigest));
static_assert(Follows(kInnerIdentity, kInnerAuxiliaryWord1) &&
              Follows(kInnerAuxiliaryWord1, kInnerAuxiliaryWord2) &&
              Follows(kInnerAuxiliaryWord2, kDataSize) && Follows(kDataSize, kInnerName) &&
              Follows(kInnerName, kInnerReserved) && Follows(kInnerReserved, kInnerDigest));
static_assert(kUpgradeDigest.offset == kHashedHeaderBytes &&
              kInnerDigest.offset == kHashedHeaderBytes);
static_assert(kUpgradeDigest.size == kDigestBytes && kInnerDigest.size == kDigestBytes);
static_assert(kHashedHeaderBytes + kDigestBytes == kHeaderBytes);
static_assert(kCopyBufferBytes >= kHeaderBytes, "headers are read into the copy buffer");

// Reads the big-endian unsigned integer of a 2- or 4-byte field, byte by byte.
inline std::uint32_t ReadBigEndian(const unsigned char* header, Field field) {
  std::uint32_t value = 0;
  for (unsigned int i = 0; i < field.size; ++i) value = value << 8 | header[field.offset + i];
  return value;
}

}  // namespace qx::upgradeFile::format

#endif  // QX_CONTAINER_UPGRADE_FILE_FORMAT_H_
