// Upgrade files for the harness's runs of the upgrader, built by udtool's writer: the members of
// a typical upgrade, a validator that checks what it was given, and where a scene puts the file.
#ifndef QX_TESTS_SUPPORT_UPGRADE_FILES_H_
#define QX_TESTS_SUPPORT_UPGRADE_FILES_H_

#include <cstddef>
#include <string>
#include <vector>

namespace qx::test {

// The upgrade file's device path in a scene: in the ramdisk, under an uploaded file's name.
constexpr const char kUpgradeFilePath[] = "/tmp/ramdisk/ud1780000123.bin";

struct Member {
  std::string name;
  std::string data;
};

// A valid upgrade file holding the members in order.
std::string MakeUpgradeFile(const std::vector<Member>& members,
                            const std::string& upgrade_name = "Router firmware");

// Two unused members, a "/bin/sh" validator with this body (the kernel image and the database
// as $1 and $2), the kernel image and the file-system database.
std::vector<Member> UpgradeMembers(const std::string& validator_body, const std::string& kernel,
                                   const std::string& database);

// Exits 0 when its arguments are the staged kernel image and database, both non-empty, else 3.
std::string CheckingValidatorBody();

// An upgrade file of about `bytes` that passes the checking validator: a kernel image of 60% and
// a database of 40% of it, random bytes that no buffer can profit from.
std::string RandomUpgradeFile(std::size_t bytes);

}  // namespace qx::test

#endif  // QX_TESTS_SUPPORT_UPGRADE_FILES_H_
