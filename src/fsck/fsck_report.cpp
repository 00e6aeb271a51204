// The checker's two report forms. Paths come from the store and may hold any byte but '/'
// (tags are not limited to printable text): the text form shows control bytes as \xNN, and
// the JSON form stays valid UTF-8 whatever the names hold.
#include <cstdio>
#include <string>

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

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no surrogates, nothing
// above U+10FFFF), or 0.
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = byte(0);
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xbf;  // range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  }
  if (n == 0 || i + n > s.size() || byte(1) < lo || byte(1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((byte(k) & 0xc0) != 0x80) return 0;
  return n;
}

// A JSON string body: quotes, backslashes and control bytes escaped, well-formed UTF-8 kept,
// every other byte replaced by U+FFFD.
void json_text(std::string& out, std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
      ++i;
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (const std::size_t n = utf8_sequence(s, i)) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out += "\\ufffd";
      ++i;
    }
  }
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
         " tags, " + std::to_string(c.uploads) + " uploads in progress\n";
  out += report.sound() ? "sound" : "NOT SOUND";
  out += ": " + std::to_string(report.corrupt()) + " corrupt, " +
         std::to_string(report.warnings()) + " warnings\n";
  return out;
}

std::string fsck_json(const FsckReport& report, std::string_view root) {
  const FsckCounts& c = report.counts;
  std::string out = "{\"root\":\"";
  json_text(out, root);
  out += "\",\"sound\":";
  out += report.sound() ? "true" : "false";
  out += ',';
  json_member(out, "corrupt", report.corrupt());
  out += ',';
  json_member(out, "warnings", report.warnings());
  out += ",\"counts\":{";
  json_member(out, "blobs", c.blobs);
  out += ',';
  json_member(out, "blob_bytes", c.blob_bytes);
  out += ',';
  json_member(out, "repositories", c.repositories);
  out += ',';
  json_member(out, "manifests", c.manifests);
  out += ',';
  json_member(out, "tags", c.tags);
  out += ',';
  json_member(out, "uploads", c.uploads);
  out += "},\"findings\":[";
  bool first = true;
  for (const auto& f : report.findings) {
    out += first ? "{\"severity\":\"" : ",{\"severity\":\"";
    first = false;
    out += severity_name(f.kind);
    out += "\",\"kind\":\"";
    out += fsck_kind_name(f.kind);
    out += "\",\"path\":\"";
    json_text(out, f.path);
    out += "\",\"detail\":\"";
    json_text(out, f.detail);
    out += "\"}";
  }
  out += "]}";
  return out;
}

}  // namespace reg
