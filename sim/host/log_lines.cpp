#include "sim/host/log_lines.h"

#include <algorithm>
#include <regex>
#include <sstream>

#include "sim/host/router_profile.h"

namespace qx::sim::router {

std::vector<std::string> LogLines(const std::string& log) {
  static const std::regex kStamp(R"(^\d{6,8} \d{2}:\d{2}:\d{2} - )");
  std::vector<std::string> lines;
  std::istringstream text(log);
  for (std::string line; std::getline(text, line);) {
    lines.push_back(std::regex_replace(line, kStamp, "", std::regex_constants::format_first_only));
  }
  return lines;
}

std::string FinalLine(const std::vector<std::string>& lines) {
  const auto last = std::find_if(lines.rbegin(), lines.rend(),
                                 [](const std::string& line) { return !line.empty(); });
  return last == lines.rend() ? std::string() : *last;
}

Verdict VerdictOf(const std::string& line) {
  if (line == kUpgradedLine) return Verdict::kUpgraded;
  if (line.rfind(kValidationFailedPrefix, 0) == 0) return Verdict::kValidationFailed;
  return Verdict::kNone;
}

}  // namespace qx::sim::router
