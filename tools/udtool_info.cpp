// udtool info and udtool verify: what an upgrade file holds, and whether the router accepts it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/udtool.h"

namespace qx::udtool {
namespace {

constexpr const char kInfoHelp[] =
    "usage: udtool info [--json] FILE\n"
    "\n"
    "Walks FILE ('-': standard input, which may be a pipe) exactly as the router does and\n"
    "shows the header fields and a table of the inner files (index, name, data size, data\n"
    "offset, digest state, the digest stored in the record, and the payload's MD5, which is\n"
    "what md5sum prints for the inner file's source), the bytes after the last inner file,\n"
    "then OK or the exact failure. Exit status 0 only for a valid file. The failure line goes\n"
    "to standard error.\n"
    "\n"
    "--json prints one JSON object instead (stable; fields are never renamed or removed):\n"
    "  file         the path as given\n"
    "  valid        true when the router would accept the file\n"
    "  error        null, or the reader's message (e.g. \"Inner header MD5 check failed\")\n"
    "  detail       null, or where and why (the header's own reason, or the inner file)\n"
    "  header       null when no header was recognised, else an object: version,\n"
    "               upgrade_name, release_name, file_date, upgrade_id, auxiliary_text1,\n"
    "               auxiliary_text2, auxiliary_word, total_data_size, digest (32 hex\n"
    "               digits, as stored), digest_state (\"ok\" or \"mismatch\")\n"
    "  inner_files  array in file order of: index, name, auxiliary_word1, auxiliary_word2,\n"
    "               data_size, data_offset, digest (as stored), digest_state; every inner\n"
    "               file the walk completed has \"ok\"; the one at which it stopped, when its\n"
    "               header could be read, has \"mismatch\", \"truncated\" or \"too large\";\n"
    "               payload_md5: the MD5 of the data alone, or null when it is incomplete\n"
    "  trailing_bytes  null, or for a valid file the bytes after its last inner file\n"
    "Numbers are JSON integers. Texts are header bytes: '\"', '\\' and every byte outside\n"
    "printable ASCII are written as escapes (a byte B >= 0x80 as \\u00BB), so taking each\n"
    "code point as one byte gives back the exact bytes.\n";

constexpr const char kVerifyHelp[] =
    "usage: udtool verify FILE\n"
    "\n"
    "Checks FILE ('-': standard input) as the router does: every digest, then what the\n"
    "router needs besides (at least five inner files, as it extracts 2, 3 and 4, and inner\n"
    "file 2, its validator, a '#!' script or an ELF program). Prints 'FILE: OK' and exits 0;\n"
    "or prints 'FILE: FAILED: reason' to standard error and exits 1 for a damaged file; or\n"
    "prints 'FILE: REFUSED: reason' to standard error and exits 3 for a sound file that the\n"
    "router would refuse. Bytes after the last inner file get a warning on standard error.\n";

constexpr const char kInfoUsage[] = "usage: udtool info [--json] FILE\n";
constexpr const char kVerifyUsage[] = "usage: udtool verify FILE\n";
constexpr int kJson = 0x100;
constexpr struct option kInfoOptions[] = {
    {"json", no_argument, nullptr, kJson},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};
constexpr struct option kVerifyOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};
constexpr CommandLine kInfoLine = {"info", kInfoUsage, kInfoHelp, "h", kInfoOptions};
constexpr CommandLine kVerifyLine = {"verify", kVerifyUsage, kVerifyHelp, "h", kVerifyOptions};

// The header fields in the order both outputs show them. Numbers are decimal text.
struct HeaderField {
  const char* label;  // text output
  const char* key;    // JSON output
  bool is_text;
  std::string value;
};

std::vector<HeaderField> HeaderFields(const qx::upgradeFile::UpgradeFileInformation& h) {
  return {
      {"Version", "version", false, std::to_string(h.Version())},
      {"Upgrade Name", "upgrade_name", true, h.UpgradeName()},
      {"Release Name", "release_name", true, h.ReleaseName()},
      {"File Date", "file_date", true, h.FileDate()},
      {"Upgrade ID", "upgrade_id", false, std::to_string(h.UpgradeId())},
      {"Auxiliary Text 1", "auxiliary_text1", true, h.AuxiliaryText1()},
      {"Auxiliary Text 2", "auxiliary_text2", true, h.AuxiliaryText2()},
      {"Auxiliary Word", "auxiliary_word", false, std::to_string(h.AuxiliaryWord())},
      {"Total Data Size", "total_data_size", false, std::to_string(h.FileSize())},
      {"Header Digest", "digest", true, Hex(h.HeaderDigest().data(), h.HeaderDigest().size())},
      {"Digest State", "digest_state", true, h.Valid() ? "ok" : "mismatch"},
  };
}

struct InnerRow {
  unsigned int index;
  const qx::upgradeFile::InnerFileInformation* inner;
  std::uint64_t data_offset;
  std::string state;
  std::string payload_md5;  // "" when the data is not all there
};

std::vector<InnerRow> Rows(const Inspection& result, const std::string& path) {
  std::vector<InnerRow> rows;
  const auto& inner_files = result.reader.InnerFiles();
  for (std::size_t i = 0; i < inner_files.size(); ++i) {
    rows.push_back({static_cast<unsigned int>(i), &inner_files[i].Information(),
                    result.reader.DataOffsets()[i], "ok", ""});
  }
  if (result.has_failed_inner && result.failed_header_parsed) {
    rows.push_back({result.failed_index, &result.failed_inner,
                    result.failed_header_offset + qx::upgradeFile::format::kHeaderBytes,
                    result.failed_state, ""});
  }
  for (InnerRow& row : rows) {
    unsigned char digest[16];
    if (row.state != "truncated" && row.state != "too large" &&
        PayloadDigest(path, row.data_offset, row.inner->FileSize(), digest)) {
      row.payload_md5 = Hex(digest, sizeof digest);
    }
  }
  return rows;
}

std::string TrailingText(const Inspection& result) {
  return (result.trailing_at_least ? "at least " : "") + std::to_string(result.trailing_bytes);
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    }
  }
  return out + "\"";
}

std::string JsonTextOrNull(const std::string& text) {
  return text.empty() ? "null" : JsonText(text);
}

void PrintJson(const Input& input, const Inspection& result) {
  const std::string& path = input.Name();
  const auto& h = result.reader.Header();
  std::printf("{\n  \"file\": %s,\n  \"valid\": %s,\n  \"error\": %s,\n  \"detail\": %s,\n",
              JsonText(path).c_str(), result.valid ? "true" : "false",
              JsonTextOrNull(result.error).c_str(), JsonTextOrNull(result.detail).c_str());
  if (!result.header_parsed) {
    std::printf("  \"header\": null,\n");
  } else {
    std::printf("  \"header\": {");
    const char* separator = "";
    for (const HeaderField& field : HeaderFields(h)) {
      std::printf("%s\"%s\": %s", separator, field.key,
                  field.is_text ? JsonText(field.value).c_str() : field.value.c_str());
      separator = ", ";
    }
    std::printf("},\n");
  }
  std::printf("  \"inner_files\": [");
  const std::vector<InnerRow> rows = Rows(result, input.Path());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const InnerRow& row = rows[i];
    std::printf(
        "%s\n    {\"index\": %u, \"name\": %s, \"auxiliary_word1\": %u, \"auxiliary_word2\": %u, "
        "\"data_size\": %u, \"data_offset\": %llu, \"digest\": \"%s\", \"digest_state\": "
        "\"%s\", \"payload_md5\": %s}",
        i == 0 ? "" : ",", row.index, JsonText(row.inner->Name()).c_str(),
        row.inner->AuxiliaryWord1(), row.inner->AuxiliaryWord2(), row.inner->FileSize(),
        static_cast<unsigned long long>(row.data_offset),
        Hex(row.inner->HeaderDigest().data(), 16).c_str(), row.state.c_str(),
        JsonTextOrNull(row.payload_md5).c_str());
  }
  std::printf("%s],\n  \"trailing_bytes\": %s\n}\n", rows.empty() ? "" : "\n  ",
              result.valid ? std::to_string(result.trailing_bytes).c_str() : "null");
}

void PrintText(const Input& input, const Inspection& result) {
  const auto& h = result.reader.Header();
  std::printf("File:              %s\n", Printable(input.Name()).c_str());
  if (result.header_parsed) {
    for (const HeaderField& field : HeaderFields(h)) {
      std::printf("%-19s%s\n", (std::string(field.label) + ":").c_str(),
                  Printable(field.value).c_str());
    }
  }
  const std::vector<InnerRow> rows = Rows(result, input.Path());
  if (!rows.empty()) {
    std::printf("\n%-6s %-32s %10s %11s  %-12s %-32s  %s\n", "Index", "Name", "Data Size",
                "Data Offset", "Digest", "Record Digest", "Payload MD5");
    for (const InnerRow& row : rows) {
      std::printf("%-6u %-32s %10u %11llu  %-12s %-32s  %s\n", row.index,
                  Printable(row.inner->Name()).c_str(), row.inner->FileSize(),
                  static_cast<unsigned long long>(row.data_offset), row.state.c_str(),
                  Hex(row.inner->HeaderDigest().data(), 16).c_str(),
                  row.payload_md5.empty() ? "-" : row.payload_md5.c_str());
    }
  }
  if (result.valid) {
    std::printf(
        "\nTrailing Bytes:    %s%s\nOK\n", TrailingText(result).c_str(),
        result.trailing_bytes > 0 ? " (after the last inner file; no digest covers them)" : "");
  }
  std::fflush(stdout);
  if (!result.valid) std::fprintf(stderr, "FAILED: %s\n", Printable(result.failure).c_str());
}

// The first bytes of an executable the router's shell can start: a script or an ELF program.
bool LooksExecutable(const std::string& path, std::uint64_t offset, std::uint32_t size) {
  unsigned char magic[4] = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got =
      ::pread(fd, magic, std::min<std::uint32_t>(size, 4), static_cast<off_t>(offset));
  ::close(fd);
  return (got >= 2 && magic[0] == '#' && magic[1] == '!') || (got == 4 && std::memcmp(magic,
                                                                                      "\x7f"
                                                                                      "ELF",
                                                                                      4) == 0);
}

// What the router does after its walk, and would fail at: it extracts inner files 2, 3 and 4
// and runs inner file 2 as its validator. "" when it would go through.
std::string RouterRefusal(const Inspection& result, const std::string& path) {
  const auto& inner_files = result.reader.InnerFiles();
  if (inner_files.size() < 5) {
    return "the router refuses it: Unable to extract files: Invalid offset (it extracts inner "
           "files 2, 3 and 4; this file holds " +
           std::to_string(inner_files.size()) + ")";
  }
  if (!LooksExecutable(path, result.reader.DataOffsets()[2], inner_files[2].FileSize())) {
    return "the router cannot run its validator: inner file 2 \"" +
           Printable(inner_files[2].Information().Name()) +
           "\" is neither a '#!' script nor an ELF program";
  }
  return "";
}

// Opens the one FILE of info or verify; on false the complaint is printed.
bool OpenOne(const char* command, const std::vector<std::string>& files, Input& input,
             int& status) {
  std::string error;
  {
    Progress progress(std::string(command) + ": read " + files[0], 0,
                      [&input] { return input.CopiedBytes(); });
    if (input.Open(files[0], error)) return true;
  }
  status = Complain(std::string(command) + ": " + error, kExitFailed);
  return false;
}

}  // namespace

int RunInfo(const Arguments& args) {
  bool json = false;
  std::vector<std::string> files;
  int status = ParseCommandLine(kInfoLine, args, [&](int code, const char* value, std::string&) {
    if (code == kJson) json = true;
    if (code == 1) files.push_back(value);
    return true;
  });
  if (status >= 0) return status;
  if (files.size() != 1) return UsageError(kInfoLine, "give exactly one FILE");
  Input input;
  std::string error;
  if (!input.Open(files[0], error)) {
    Inspection unread;  // --json still prints one object, as for any file that is not valid
    unread.error = error;
    if (json) PrintJson(input, unread);
    return Complain("info: " + error, kExitFailed);
  }
  const Inspection result = Inspect(input);
  if (json) {
    PrintJson(input, result);
  } else {
    PrintText(input, result);
  }
  return result.valid ? kExitOk : kExitFailed;
}

int RunVerify(const Arguments& args) {
  std::vector<std::string> files;
  int status = ParseCommandLine(kVerifyLine, args, [&](int code, const char* value, std::string&) {
    if (code == 1) files.push_back(value);
    return true;
  });
  if (status >= 0) return status;
  if (files.size() != 1) return UsageError(kVerifyLine, "give exactly one FILE");
  Input input;
  if (!OpenOne("verify", files, input, status)) return status;
  Inspection result;
  {
    Progress progress("verify", input.Size(), [&input] { return input.ReadPosition(); });
    result = Inspect(input);
  }
  const std::string name = Printable(files[0]);
  if (!result.valid) {
    std::fprintf(stderr, "%s: FAILED: %s\n", name.c_str(), Printable(result.failure).c_str());
    return kExitFailed;
  }
  const std::string refusal = RouterRefusal(result, input.Path());
  if (!refusal.empty()) {
    std::fprintf(stderr, "%s: REFUSED: %s\n", name.c_str(), refusal.c_str());
    return kExitRouterRefuses;
  }
  if (result.trailing_bytes > 0) {
    std::fprintf(stderr,
                 "udtool: verify: %s: warning: %s bytes after the last inner file (no digest "
                 "covers them; the router never reads them)\n",
                 name.c_str(), TrailingText(result).c_str());
  }
  std::printf("%s: OK\n", name.c_str());
  return kExitOk;
}

}  // namespace qx::udtool
