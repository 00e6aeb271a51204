// The checker's two report forms. Paths come from the store and may hold any byte but '/'
// (tags are not limited to printable text): the text form shows control bytes as \xNN, and
// the JSON form stays valid UTF-8 whatever the names hold.
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "core/json_escape.h"
#include "fsck/fsck.h"

namespace reg {
namespace {

const char* severity_name(FsckKind kind) {
  return fsck_kind_severity(kind) == FsckSeverity::corrupt ? "corrupt" : "warning";
}

std::string printable(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c != 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

void json_member(std::string& out, const char* key, long long value) {
  out += '"';
  out += key;
  out += "\":";
  out += std::to_string(value);
}

}  // namespace

std::string fsck_text(const FsckReport& report, std::string_view root) {
  std::string out;
  for (const auto& f : report.findings) {
    char head[64];
    std::snprintf(head, sizeof head, "%-8s %-24s ", severity_name(f.kind), fsck_kind_name(f.kind));
    out += head;
    out += printable(f.path);
    out += ": ";
    out += printable(f.detail);
    out += '\n';
  }
  const FsckCounts& c = report.counts;
  out += "store " + printable(root) + ": " + std::to_string(c.blobs) + " blobs (" +
         std::to_string(c.blob_bytes) + " bytes), " + std::to_string(c.repositories) +
         " repositories, " + std::to_string(c.manifests) + " manifests, " + std::to_string(c.tags) +
         " tags, " + std::to_string(c.uploads) + " uploads in progress, " +
         std::to_string(c.untagged_manifests) + " untagged manifests\n";
  out += report.sound() ? "sound" : "NOT SOUND";
  out += ": " + std::to_string(report.corrupt()) + " corrupt, " +
         std::to_string(report.warnings()) + " warnings\n";
  return out;
}

std::string fsck_json(const FsckReport& report, std::string_view root) {
  const FsckCounts& c = report.counts;
  std::string out = "{\"root\":\"";
  json_escape_to(out, root);
  out += "\",\"sound\":";
  out += report.sound() ? "true" : "false";
  out += ',';
  json_member(out, "corrupt", report.corrupt());
  out += ',';
  json_member(out, "warnings", report.warnings());
  out += ",\"counts\":{";
  const std::pair<const char*, std::int64_t> counts[] = {
      {"blobs", c.blobs}, {"blob_bytes", c.blob_bytes}, {"repositories", c.repositories},
      {"manifests", c.manifests}, {"tags", c.tags}, {"uploads", c.uploads},
      {"untagged_manifests", c.untagged_manifests}};
  for (const auto& [key, value] : counts) {
    if (key != counts[0].first) out += ',';
    json_member(out, key, value);
  }
  out += "},\"findings\":[";
  bool first = true;
  for (const auto& f : report.findings) {
    out += first ? "{\"severity\":\"" : ",{\"severity\":\"";
    first = false;
    out += severity_name(f.kind);
    out += "\",\"kind\":\"";
    out += fsck_kind_name(f.kind);
    out += "\",\"path\":\"";
    json_escape_to(out, f.path);
    out += "\",\"detail\":\"";
    json_escape_to(out, f.detail);
    out += "\"}";
  }
  out += "]}";
  return out;
}

}  // namespace reg
