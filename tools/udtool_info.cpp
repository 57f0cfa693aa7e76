// udtool info and udtool verify: what an upgrade file holds, and whether the router accepts it.
#include <cstdio>

#include "tools/udtool.h"

namespace qx::udtool {
namespace {

constexpr const char kInfoHelp[] =
    "usage: udtool info FILE [--json]\n"
    "\n"
    "Walks FILE exactly as the router does and shows the header fields and a table of the\n"
    "inner files (index, name, data size, data offset, digest state), then OK or the exact\n"
    "failure. Exit status 0 only for a valid file. The failure line goes to standard error.\n"
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
    "               header could be read, has \"mismatch\", \"truncated\" or \"too large\"\n"
    "Numbers are JSON integers. Texts are header bytes: '\"', '\\' and every byte outside\n"
    "printable ASCII are written as escapes (a byte B >= 0x80 as \\u00BB), so taking each\n"
    "code point as one byte gives back the exact bytes.\n";

constexpr const char kVerifyHelp[] =
    "usage: udtool verify FILE\n"
    "\n"
    "Checks FILE as the router does. Prints 'FILE: OK' and exits 0, or prints\n"
    "'FILE: FAILED: reason' to standard error and exits 1.\n";

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
};

std::vector<InnerRow> Rows(const Inspection& result) {
  std::vector<InnerRow> rows;
  const auto& inner_files = result.reader.InnerFiles();
  for (std::size_t i = 0; i < inner_files.size(); ++i) {
    rows.push_back({static_cast<unsigned int>(i), &inner_files[i].Information(),
                    result.reader.DataOffsets()[i], "ok"});
  }
  if (result.has_failed_inner && result.failed_header_parsed) {
    rows.push_back({result.failed_index, &result.failed_inner,
                    result.failed_header_offset + qx::upgradeFile::format::kHeaderBytes,
                    result.failed_state});
  }
  return rows;
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

void PrintJson(const std::string& path, const Inspection& result) {
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
  const std::vector<InnerRow> rows = Rows(result);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const InnerRow& row = rows[i];
    std::printf(
        "%s\n    {\"index\": %u, \"name\": %s, \"auxiliary_word1\": %u, \"auxiliary_word2\": %u, "
        "\"data_size\": %u, \"data_offset\": %llu, \"digest\": \"%s\", \"digest_state\": "
        "\"%s\"}",
        i == 0 ? "" : ",", row.index, JsonText(row.inner->Name()).c_str(),
        row.inner->AuxiliaryWord1(), row.inner->AuxiliaryWord2(), row.inner->FileSize(),
        static_cast<unsigned long long>(row.data_offset),
        Hex(row.inner->HeaderDigest().data(), 16).c_str(), row.state.c_str());
  }
  std::printf("%s]\n}\n", rows.empty() ? "" : "\n  ");
}

void PrintText(const std::string& path, const Inspection& result) {
  const auto& h = result.reader.Header();
  std::printf("File:              %s\n", Printable(path).c_str());
  if (result.header_parsed) {
    for (const HeaderField& field : HeaderFields(h)) {
      std::printf("%-19s%s\n", (std::string(field.label) + ":").c_str(),
                  Printable(field.value).c_str());
    }
  }
  const std::vector<InnerRow> rows = Rows(result);
  if (!rows.empty()) {
    std::printf("\n%-6s %-32s %10s %11s  %s\n", "Index", "Name", "Data Size", "Data Offset",
                "Digest");
    for (const InnerRow& row : rows) {
      std::printf("%-6u %-32s %10u %11llu  %s\n", row.index, Printable(row.inner->Name()).c_str(),
                  row.inner->FileSize(), static_cast<unsigned long long>(row.data_offset),
                  row.state.c_str());
    }
  }
  if (result.valid) std::printf("OK\n");
  std::fflush(stdout);
  if (!result.valid) std::fprintf(stderr, "FAILED: %s\n", Printable(result.failure).c_str());
}

}  // namespace

int RunInfo(const Arguments& args) {
  if (WantsHelp(args)) {
    std::fputs(kInfoHelp, stdout);
    return kExitOk;
  }
  bool json = false;
  std::vector<std::string> files;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("info", "unknown option " + arg);
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 1) return UsageError("info", "give exactly one FILE");
  const Inspection result = Inspect(files[0]);
  if (json) {
    PrintJson(files[0], result);
  } else {
    PrintText(files[0], result);
  }
  return result.valid ? kExitOk : kExitFailed;
}

int RunVerify(const Arguments& args) {
  if (WantsHelp(args)) {
    std::fputs(kVerifyHelp, stdout);
    return kExitOk;
  }
  if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) {
    return UsageError("verify", "give exactly one FILE");
  }
  const Inspection result = Inspect(args[0]);
  if (result.valid) {
    std::printf("%s: OK\n", Printable(args[0]).c_str());
    return kExitOk;
  }
  std::fprintf(stderr, "%s: FAILED: %s\n", Printable(args[0]).c_str(),
               Printable(result.failure).c_str());
  return kExitFailed;
}

}  // namespace qx::udtool
