#include "tests/support/upgrade_files.h"

#include <random>

#include "sim/host/router_profile.h"
#include "tools/upgrade_file_writer.h"

namespace qx::test {
namespace {

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& byte : data) byte = static_cast<char>(random() & 0xff);
  return data;
}

}  // namespace

std::string MakeUpgradeFile(const std::vector<Member>& members, const std::string& upgrade_name) {
  qx::udtool::UpgradeImage image;
  image.header.version = 5;
  image.header.upgrade_name = upgrade_name;
  image.header.release_name = "5.2.1";
  image.header.file_date = "20240315";
  image.header.upgrade_id = 730;
  for (const Member& member : members) {
    image.files.push_back(qx::udtool::InnerFileSpec::FromData(member.name, member.data));
  }
  std::string bytes;
  std::string error;
  if (!qx::udtool::BuildUpgradeFile(image, bytes, error)) return "writer failed: " + error;
  return bytes;
}

std::vector<Member> UpgradeMembers(const std::string& validator_body, const std::string& kernel,
                                   const std::string& database) {
  return {{"manifest", "release notes\n"},
          {"bootloader", std::string(300, '\x5a')},
          {"fs-validator", "#!/bin/sh\n" + validator_body},
          {"kernel_image", kernel},
          {"filesystem.db", database}};
}

std::string CheckingValidatorBody() {
  using qx::sim::router::kStagedDatabase;
  using qx::sim::router::kStagedKernel;
  return std::string("[ \"$1\" = ") + kStagedKernel + " ] && [ -s \"$1\" ] || exit 3\n" +
         "[ \"$2\" = " + kStagedDatabase + " ] && [ -s \"$2\" ] || exit 3\nexit 0\n";
}

std::string RandomUpgradeFile(std::size_t bytes) {
  return MakeUpgradeFile(UpgradeMembers(CheckingValidatorBody(), RandomBytes(bytes * 6 / 10, 1),
                                        RandomBytes(bytes * 4 / 10, 2)));
}

}  // namespace qx::test
