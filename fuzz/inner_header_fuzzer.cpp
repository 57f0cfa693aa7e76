// Any bytes as an inner file header, and its digest comparison.
#include <cstdint>
#include <cstdlib>

#include "container/md5.h"
#include "container/upgrade_file_information.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qx::upgradeFile::InnerFileInformation info;
  const bool parsed = info.ParseHeader(data, static_cast<unsigned int>(size));
  namespace format = qx::upgradeFile::format;
  if (parsed == !info.ErrorMessage().empty() || info.Name().size() > format::kInnerName.size) {
    std::abort();
  }
  if (!parsed) return 0;
  // The stored digest must match itself and nothing shorter than a whole digest.
  qx::upgradeFile::Digest stored = info.HeaderDigest();
  if (!info.ValidateMD5Hash(stored.data(), format::kDigestBytes) ||
      info.ValidateMD5Hash(stored.data(), format::kDigestBytes - 1)) {
    std::abort();
  }
  return 0;
}
