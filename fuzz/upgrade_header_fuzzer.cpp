// Any bytes as an upgrade file header: no crash, and the record's promises hold.
#include <cstdint>
#include <cstdlib>

#include "container/upgrade_file_information.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qx::upgradeFile::UpgradeFileInformation info;
  const bool valid = info.ParseHeader(data, static_cast<unsigned int>(size));
  namespace format = qx::upgradeFile::format;
  // Texts never reach beyond their fields, and a failure always says why.
  if (info.UpgradeName().size() > format::kUpgradeName.size ||
      info.ReleaseName().size() > format::kReleaseName.size ||
      info.FileDate().size() > format::kFileDate.size || valid != info.Valid() ||
      valid == !info.ErrorMessage().empty()) {
    std::abort();
  }
  return 0;
}
