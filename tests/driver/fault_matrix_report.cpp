// The report: a point's name, and the table of what each phase's points showed.
#include <fstream>
#include <sstream>

#include "tests/driver/fault_matrix.h"

namespace qx::driver_test::matrix {

std::string Name(const Point& p, const std::vector<Phase>& phases) {
  return std::string(p.cut == Cut::kKill ? "SIGKILL" : "power cut") + " at " + p.syscall + " #" +
         std::to_string(p.occurrence) + (p.deep ? " (deep device)" : "") + " in " +
         phases[p.phase].label;
}

std::string Table(const std::vector<Point>& points, const std::vector<Phase>& phases,
                  const std::map<std::size_t, Outcome>& done) {
  const struct {
    int column, bit;
    const char* text;
  } kCells[] = {
      {0, kLeftMarker, "the upgrade-started marker"},
      {0, kLeftStaging, "staging files under /tmp/, whole or cut short"},
      {0, kLeftRemovals, "what the cleanup removed so far"},
      {0, kLeftNoLog, "no /var/log/upgrade_log: the log was in the ramdisk"},
      {1, kNextStale, "removes the staging files before its cleanup measures"},
      {1, kNextFinishes, "its cleanup removes only what is still needed"},
      {1, kNextMarker, "clears the marker when the validator passes"},
      {2, kLostHistory, "the upgrade log with its history (kept in the ramdisk, lost with it)"}};
  const char* const kNothing[] = {"nothing of the run's", "a normal upgrade", "nothing"};
  std::vector<int> count(phases.size(), 0), seen(phases.size(), 0);
  for (const auto& [index, o] : done) {
    ++count[points[index].phase];
    seen[points[index].phase] |= o.seen;
  }
  std::string table =
      "| Phase | Points | Can be left on the root file system | What the next run does | Can be "
      "lost |\n|---|---|---|---|---|\n";
  for (std::size_t p = 0; p < phases.size(); ++p) {
    if (count[p] == 0) continue;
    table += "| " + phases[p].label + " | " + std::to_string(count[p]);
    for (int column = 0; column < 3; ++column) {
      std::string cell;
      for (const auto& each : kCells) {
        if (each.column == column && (seen[p] & each.bit) != 0) {
          cell += (cell.empty() ? "" : "; ") + std::string(each.text);
        }
      }
      table += " | " + (cell.empty() ? kNothing[column] : cell);
    }
    table += " |\n";
  }
  return table;
}

bool MatchReadme(const std::string& readme, const std::string& table, bool update) {
  static const std::string kBegin = "<!-- interruption table: begin -->\n";
  std::stringstream content;
  content << std::ifstream(readme).rdbuf();
  std::string text = content.str();
  const std::size_t begin = text.find(kBegin), end = text.find("<!-- interruption table: end");
  if (begin == std::string::npos || end == std::string::npos || end < begin) return false;
  const std::size_t start = begin + kBegin.size();
  if (text.compare(start, end - start, table) == 0) return true;
  if (!update) return false;
  std::ofstream(readme) << text.replace(start, end - start, table);
  return true;
}

}  // namespace qx::driver_test::matrix
