#include "core/paths.h"

#include <cstring>

#include "core/context.h"
#include "platform/platform.h"

namespace reg {
namespace {

bool join(std::string_view base, std::initializer_list<std::string_view> parts, Path& out) {
  std::size_t len = base.size();
  for (auto p : parts) len += 1 + p.size();
  if (len > kMaxPathLen) return false;
  out.clear();
  out.reserve(len);
  out.append(base);
  for (auto p : parts) {
    out.push_back(platform::kSep);
    out.append(p);
  }
  return true;
}

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool repo_char_ok(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '/' || c == '\\';
}

template <class Fn>
void for_each_component(std::string_view name, Fn&& fn) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      fn(name.substr(start, i - start));
      start = i + 1;
    }
  }
}

}  // namespace

bool store_path(std::initializer_list<std::string_view> parts, Path& out) {
  return join(s_root, parts, out);
}

bool child_path(std::string_view dir, std::string_view name, Path& out) {
  return join(dir, {name}, out);
}

bool blob_path_for_digest(std::string_view digest, Path& out) {
  if (digest.size() < kDigestPrefix.size() + 2) return false;
  std::string_view hex = digest.substr(kDigestPrefix.size());
  return join(s_root, {"blobs", "sha256", hex.substr(0, 2), hex}, out);
}

bool blob_fanout_dir(std::string_view hex, Path& out) {
  if (hex.size() < 2) return false;
  return join(s_root, {"blobs", "sha256", hex.substr(0, 2)}, out);
}

bool upload_path_for_uuid(std::string_view id, Path& out) {
  std::string name(id);
  name += ".part";
  return join(s_root, {"uploads", name}, out);
}

bool repo_dir(std::string_view repo, Path& out) {
  return join(s_root, {"repositories", repo}, out);
}

bool manifests_dir(std::string_view repo, Path& out) {
  return join(s_root, {"repositories", repo, "_manifests"}, out);
}

bool manifest_body_path(std::string_view repo, std::string_view name, Path& out) {
  return join(s_root, {"repositories", repo, "_manifests", name}, out);
}

bool manifest_ct_path(std::string_view repo, std::string_view hex, Path& out) {
  if (!manifest_body_path(repo, hex, out) || out.size() + 3 > kMaxPathLen) return false;
  out += ".ct";
  return true;
}

bool manifest_rev_dir(std::string_view repo, std::string_view hex, Path& out) {
  return join(s_root, {"repositories", repo, "_manifests", "revisions", "sha256", hex}, out);
}

bool manifest_rev_path(std::string_view repo, std::string_view hex, Path& out) {
  return join(s_root, {"repositories", repo, "_manifests", "revisions", "sha256", hex, "link"},
              out);
}

bool manifest_tags_dir(std::string_view repo, Path& out) {
  return join(s_root, {"repositories", repo, "_manifests", "tags"}, out);
}

bool manifest_tag_dir(std::string_view repo, std::string_view tag, Path& out) {
  return join(s_root, {"repositories", repo, "_manifests", "tags", tag}, out);
}

bool manifest_tag_current_dir(std::string_view repo, std::string_view tag, Path& out) {
  return join(s_root, {"repositories", repo, "_manifests", "tags", tag, "current"}, out);
}

bool manifest_tag_path(std::string_view repo, std::string_view tag, Path& out) {
  return join(s_root, {"repositories", repo, "_manifests", "tags", tag, "current", "link"}, out);
}

int hex64_valid(const char* s) {
  if (!s) return 0;
  for (std::size_t i = 0; i < kHexLen; ++i)
    if (!is_lower_hex(s[i])) return 0;  // also stops at an early NUL
  return s[kHexLen] == '\0';
}

int digest_valid(const char* s) {
  if (!s || std::strncmp(s, "sha256:", 7) != 0) return 0;
  return hex64_valid(s + 7);
}

int digest_hex_eq(const char* digest, const char* hex) {
  if (!digest_valid(digest) || !hex) return 0;
  return std::strcmp(digest + 7, hex) == 0;
}

int repo_component_count(std::string_view name) {
  int n = 0;
  for_each_component(name, [&](std::string_view c) { n += !c.empty(); });
  return n;
}

int repo_name_chars_valid(const char* name) {
  if (!name || !*name) return 0;
  const std::size_t len = std::strlen(name);
  if (len > kMaxRepoLen) return 0;
  for (std::size_t i = 0; i < len; ++i)
    if (!repo_char_ok(name[i])) return 0;
  return std::strstr(name, "..") == nullptr;
}

int repo_name_valid(const char* name) {
  if (!repo_name_chars_valid(name)) return 0;
  bool any = false, bad = false;
  for_each_component(name, [&](std::string_view c) {
    if (c.empty()) return;
    any = true;
    if (c == "." || c == "_manifests") bad = true;
  });
  return any && !bad;
}

int uuid_valid(const char* s) {
  if (!s || std::strlen(s) != kUuidLen) return 0;
  for (std::size_t i = 0; i < kUuidLen; ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !is_lower_hex(s[i])) return 0;
  }
  return 1;
}

int tag_name_valid(const char* tag) {
  if (!tag || !*tag) return 0;
  if (std::strcmp(tag, ".") == 0 || std::strcmp(tag, "..") == 0) return 0;
  return std::strpbrk(tag, "/\\") == nullptr;
}

void bin_to_hex(const unsigned char* bin, char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) {
    out[2 * i] = kDigits[bin[i] >> 4];
    out[2 * i + 1] = kDigits[bin[i] & 0xF];
  }
  out[64] = '\0';
}

}  // namespace reg
