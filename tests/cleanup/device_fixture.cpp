#include "tests/cleanup/device_fixture.h"

#include <sys/stat.h>

#include <cstdlib>
#include <regex>
#include <sstream>

namespace qx::cleanup_test {
namespace {

constexpr const char kProbeDevicePath[] = "/probe/cleanup_probe";
constexpr const char kLauncherDevicePath[] = "/probe/launcher";

// The probe under test: $QX_CLEANUP_PROBE (one cross-built for the router, say) or the one built
// in this tree, run behind the emulator that $QX_PROBE_LAUNCHER names, if any, with the words of
// $QX_PROBE_LAUNCHER_ARGS as its options.
std::string FromEnvironment(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::vector<std::string> ProbeCommand() {
  std::vector<std::string> argv;
  if (!FromEnvironment("QX_PROBE_LAUNCHER", "").empty()) {
    argv.push_back(kLauncherDevicePath);
    std::istringstream options(FromEnvironment("QX_PROBE_LAUNCHER_ARGS", ""));
    for (std::string word; options >> word;) argv.push_back(word);
  }
  argv.push_back(kProbeDevicePath);
  return argv;
}
const std::set<std::string> kUntracked = {"/proc", "/sys",         "/dev",
                                          "/run",  "/tmp/ramdisk", "/probe"};

void Walk(const sim::Device& device, const std::string& dir, std::set<std::string>& out) {
  for (const std::string& name : device.ListDir(dir)) {
    const std::string path = (dir == "/" ? "/" : dir + "/") + name;
    if (kUntracked.count(path) != 0) continue;
    struct stat st {};
    if (device.Lstat(path, st) && S_ISDIR(st.st_mode)) {
      out.insert(path + "/");
      Walk(device, path, out);
    } else {
      out.insert(path);
    }
  }
}

}  // namespace

const std::vector<std::string> kListedReleases = {"2.6.35.3",
                                                  "2.6.35.3-00108-g29117d2",
                                                  "2.6.35.3-00131-gbe8c2d2",
                                                  "2.6.35.3-00225-gcb58267",
                                                  "2.6.35.3-00227-geccd148",
                                                  "2.6.35.3-00232-gf7cf468",
                                                  "2.6.35.3-00238-g355f0b3",
                                                  "2.6.35.3-00247-g3567f66",
                                                  "2.6.35.3-00249-geae178f",
                                                  "2.6.35.3-00260-g37aed04",
                                                  "2.6.35.3-00263-gcc5a534",
                                                  "2.6.35.3-00265-gabc8368",
                                                  "2.6.35.3-00267-gf314c35",
                                                  "2.6.35.3-00273-g2f44b37",
                                                  "2.6.35.3-00295-gbbbf593"};

const std::vector<std::string> kStaticCommands = {"rm -rf /usr/share/gtk-doc",
                                                  "rm -rf /usr/share/info",
                                                  "rm -rf /usr/local/share/doc/openswan",
                                                  "rm -rf /etc/ipsec.d/examples",
                                                  "rm -rf /share/man",
                                                  "rm -rf /usr/local/man",
                                                  "rm -rf /share/doc/"};

sim::DeviceFile SizedFile(const std::string& path, std::uint64_t size, std::int64_t mtime) {
  sim::DeviceFile file;
  file.path = path;
  file.size = size;
  if (mtime != -1) file.mtime = mtime;
  return file;
}

sim::DeviceFile ContentFile(const std::string& path, const std::string& content) {
  sim::DeviceFile file;
  file.path = path;
  file.content = content;
  return file;
}

sim::DeviceSpec BaseSpec() {
  sim::DeviceSpec spec;
  spec.start_services = false;
  spec.binaries.push_back(
      {FromEnvironment("QX_CLEANUP_PROBE", QX_CLEANUP_PROBE), kProbeDevicePath});
  const std::string launcher = FromEnvironment("QX_PROBE_LAUNCHER", "");
  if (!launcher.empty()) spec.binaries.push_back({launcher, kLauncherDevicePath});
  return spec;
}

std::unique_ptr<sim::Device> DeviceTest::Create(sim::DeviceSpec spec) {
  // The emulator's bytes are not the router's: the root grows by them, so the free space that a
  // test chose stays the same.
  struct stat launcher {};
  if (::stat(FromEnvironment("QX_PROBE_LAUNCHER", "").c_str(), &launcher) == 0) {
    spec.root_size += static_cast<std::uint64_t>(launcher.st_size);
  }
  std::string error;
  std::unique_ptr<sim::Device> device = sim::Device::Create(spec, &error);
  EXPECT_NE(nullptr, device) << error;
  return device;
}

sim::RunResult DeviceTest::Probe(sim::Device& device, const std::vector<std::string>& commands) {
  std::vector<std::string> argv = ProbeCommand();
  argv.insert(argv.end(), commands.begin(), commands.end());
  sim::RunResult result = device.Run(argv, std::chrono::seconds(60));
  EXPECT_TRUE(result.started) << result.error;
  EXPECT_FALSE(result.timed_out);
  EXPECT_TRUE(result.exited && result.exit_status == 0)
      << "status " << result.exit_status << ", signal " << result.term_signal << "\n"
      << result.output;
  return result;
}

std::vector<std::string> DeviceTest::LogMessages(const sim::Device& device, std::size_t skip) {
  static const std::regex kStamp(R"(^\d{7,8} \d{2}:\d{2}:\d{2} - )");
  std::string log;
  std::vector<std::string> messages;
  if (!device.ReadFile("/tmp/ramdisk/upgrade_log", log)) return messages;
  const std::vector<std::string> lines = Lines(log);
  for (std::size_t i = skip; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::smatch stamp;
    EXPECT_TRUE(std::regex_search(line, stamp, kStamp)) << "no stamp: " << line;
    messages.push_back(stamp.empty() ? line : line.substr(stamp.length(0)));
  }
  return messages;
}

std::set<std::string> DeviceTest::Tree(const sim::Device& device) {
  std::set<std::string> tree;
  Walk(device, "/", tree);
  return tree;
}

std::vector<std::string> DeviceTest::Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace qx::cleanup_test
