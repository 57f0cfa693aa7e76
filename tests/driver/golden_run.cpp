#include "tests/driver/golden_run.h"

#include <fstream>
#include <regex>
#include <sstream>

#include "sim/host/log_lines.h"

namespace qx::driver_test {
namespace {

// "LABEL REST": the first word and what follows the blank after it.
std::pair<std::string, std::string> SplitWord(const std::string& line) {
  const std::size_t blank = line.find(' ');
  if (blank == std::string::npos) return {line, ""};
  return {line.substr(0, blank), line.substr(blank + 1)};
}

// "PHASE KIND TEXT"; an empty log line has no blank after its kind.
bool ParseItem(const std::string& line, GoldenItem& item) {
  const auto [phase, rest] = SplitWord(line);
  const auto [kind, text] = SplitWord(rest);
  if (phase.empty() || (kind != kCommandItem && kind != kLogItem)) return false;
  item = {phase, kind, text};
  return true;
}

GoldenRun Read(const std::string& path) {
  GoldenRun run;
  std::ifstream in(path);
  if (!in) run.error = "cannot read " + path;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const auto [word, rest] = SplitWord(line);
    GoldenItem item;
    if (word == "phase") {
      const auto [label, description] = SplitWord(rest);
      run.phases.push_back({label, description, {}});
    } else if (word == "begins" && ParseItem(rest, item)) {
      for (GoldenPhase& phase : run.phases) {
        if (phase.label == item.phase) phase.begins = item;
      }
    } else if (ParseItem(line, item)) {
      run.items.push_back(item);
    } else {
      run.error = path + ":" + std::to_string(number) + ": not an item: " + line;
    }
  }
  return run;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

// The sweep's exclusions, "ud" and a window then "*", for the windows of `now`.
std::vector<std::pair<std::string, std::string>> SweepWindows(std::uint32_t now) {
  const std::uint32_t window = now / 1000;
  return {{"\"ud<T>*\"", "\"ud" + std::to_string(window) + "*\""},
          {"\"ud<T-1>*\"", "\"ud" + std::to_string(window - 1) + "*\""},
          {"\"ud<T+1>*\"", "\"ud" + std::to_string(window + 1) + "*\""}};
}

// strace's quoting of a string argument, undone from the opening quote at `at`: \n, \t, \r, \v,
// \f, \NNN (octal) for other unprintable bytes, and \" and \\ for themselves.
std::string Unquote(const std::string& line, std::size_t at) {
  static const std::string kLetters = "ntrvf", kBytes = "\n\t\r\v\f";
  std::string text;
  for (std::size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\' || i + 1 == line.size()) {
      text += line[i];
      continue;
    }
    const char c = line[++i];
    std::size_t digits = 0;
    while (digits < 3 && i + digits < line.size() && line[i + digits] >= '0' &&
           line[i + digits] <= '7') {
      ++digits;
    }
    if (digits > 0) {
      text += static_cast<char>(std::stoi(line.substr(i, digits), nullptr, 8));
      i += digits - 1;
    } else {
      text += kLetters.find(c) != std::string::npos ? kBytes[kLetters.find(c)] : c;
    }
  }
  return text;
}

}  // namespace

const GoldenRun& Golden() {
  static const GoldenRun run = Read(QX_GOLDEN_RUN);
  return run;
}

std::vector<std::string> GoldenTexts(const char* kind, const std::vector<std::string>& phases) {
  std::vector<std::string> texts;
  for (const GoldenItem& item : Golden().items) {
    bool wanted = phases.empty();
    for (const std::string& phase : phases) wanted = wanted || item.phase == phase;
    if (wanted && item.kind == kind) texts.push_back(item.text);
  }
  return texts;
}

bool GoldenMatches(const std::string& pattern, const std::string& text) {
  static const std::regex kSpecial(R"([.^$|()\[\]{}*+?\\])"), kPlaceholder("<[^>]*>");
  const std::string literal = std::regex_replace(pattern, kSpecial, R"(\$&)");
  return std::regex_match(text, std::regex(std::regex_replace(literal, kPlaceholder, R"(\d+)")));
}

std::string WithSweepWindows(std::string pattern, std::uint32_t now) {
  for (const auto& [placeholder, value] : SweepWindows(now))
    ReplaceAll(pattern, placeholder, value);
  return pattern;
}

std::string GoldenPattern(const std::string& kind, std::string text, std::uint32_t now) {
  if (kind == kCommandItem) {
    for (const auto& [placeholder, value] : SweepWindows(now)) ReplaceAll(text, value, placeholder);
    return text;
  }
  // Free space depends on the device's files, the upgrader's own size among them.
  static const std::string kFreeSpace = "FreeSpace: ";
  if (text.rfind(kFreeSpace, 0) == 0) return kFreeSpace + "<bytes>";
  return text;
}

std::vector<GoldenItem> TranscriptReader::Read(const std::string& line) {
  const std::size_t paren = line.find('(');
  if (paren == std::string::npos) return {};
  const std::string name = line.substr(0, paren);
  if (name == "clone" || name == "clone3" || name == "vfork") {
    const std::string command =
        next_command_ < commands_.size() ? commands_[next_command_] : std::string("?");
    ++next_command_;
    return {{"", kCommandItem, command}};
  }
  static const std::string kLogFd = "</tmp/ramdisk/upgrade_log>, \"";
  const std::size_t fd = line.find(kLogFd);
  if (name != "write" || fd == std::string::npos) return {};
  std::vector<GoldenItem> items;
  for (const std::string& text : qx::sim::router::LogLines(Unquote(line, fd + kLogFd.size() - 1))) {
    items.push_back({"", kLogItem, text});
  }
  return items;
}

}  // namespace qx::driver_test
