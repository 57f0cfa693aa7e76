#include "tests/driver/upgrade_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>

#include "tools/upgrade_file_writer.h"

namespace qx::driver_test {
namespace {

std::string FromEnvironment(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

}  // namespace

std::string LauncherHostPath() { return FromEnvironment("QX_UPGRADER_LAUNCHER", ""); }

void AddUpgrader(qx::sim::DeviceSpec& spec) {
  spec.binaries.push_back({FromEnvironment("QX_UPGRADER", QX_DEFAULT_UPGRADER), kDeviceUpgrader});
  if (!LauncherHostPath().empty()) spec.binaries.push_back({LauncherHostPath(), kDeviceLauncher});
}

std::vector<std::string> UpgraderArgv(const std::vector<std::string>& args) {
  std::vector<std::string> argv;
  if (!LauncherHostPath().empty()) {
    argv.push_back(kDeviceLauncher);
    std::istringstream options(FromEnvironment("QX_UPGRADER_LAUNCHER_ARGS", ""));
    for (std::string word; options >> word;) argv.push_back(word);
  }
  argv.push_back(kDeviceUpgrader);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

void KeepRunOutput(const std::string& run_name, const std::string& output) {
  const std::string path = FromEnvironment("QX_UPGRADER_OUTPUT", "");
  if (path.empty()) return;
  std::string text = "=== run: " + run_name + "\n" + output;
  if (text.back() != '\n') text += '\n';
  // One write in append mode: parallel test processes never interleave their runs.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const bool written =
      fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) ::close(fd);
  if (!written) std::fprintf(stderr, "cannot append the run's output to %s\n", path.c_str());
}

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

std::vector<std::string> SettledRebootRecords(const qx::sim::Device& device) {
  for (int polls = 0; polls < 150 && device.RebootRecords().empty(); ++polls) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return device.RebootRecords();
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
  return "[ \"$1\" = /tmp/ramdisk/kernel_image ] && [ -s \"$1\" ] || exit 3\n"
         "[ \"$2\" = /tmp/ramdisk/filesystem.db ] && [ -s \"$2\" ] || exit 3\n"
         "exit 0\n";
}

std::vector<std::string> LogLines(const std::string& log) {
  static const std::regex kStamp(R"(^\d{6,8} \d{2}:\d{2}:\d{2} - )");
  std::vector<std::string> lines;
  std::istringstream text(log);
  for (std::string line; std::getline(text, line);) {
    lines.push_back(std::regex_replace(line, kStamp, "", std::regex_constants::format_first_only));
  }
  return lines;
}

}  // namespace qx::driver_test
