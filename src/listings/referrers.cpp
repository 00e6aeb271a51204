// Referrers: every stored manifest whose config, layers or manifests name a subject digest,
// across the whole store, returned as an OCI image index. Every body of every repository is
// read on each call (every directory entry is seen); nothing is indexed.
#include <yyjson.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/boundary.h"
#include "core/context.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "core/result.h"
#include "listings/discovery.h"
#include "reg_storage.h"

namespace reg {
namespace {

constexpr std::size_t kMediaTypeMax = 159;
constexpr std::size_t kCtReadCap = 160;
constexpr std::string_view kIndexMediaType = "application/vnd.oci.image.index.v1+json";

struct DocFree {
  void operator()(yyjson_doc* d) const noexcept { yyjson_doc_free(d); }
};
using DocPtr = std::unique_ptr<yyjson_doc, DocFree>;

struct refr_entry {
  std::string digest;  // "sha256:" + hex
  std::string hex;
  std::string media_type;
  long long size = 0;
};

struct refr_tag {
  std::string tag;
  std::string hex;
};

int refr_entry_cmp(const refr_entry& a, const refr_entry& b) { return a.digest.compare(b.digest); }

// A descriptor names the subject when it is a non-empty object whose first "digest" member is
// the string "sha256:" + subject hex, exactly (the subject's digest is valid, so equal bytes
// are all the test needs).
bool descriptor_matches(yyjson_val* desc, std::string_view subject) {
  if (!yyjson_is_obj(desc) || yyjson_obj_size(desc) == 0) return false;
  yyjson_val* d = yyjson_obj_get(desc, "digest");
  return yyjson_is_str(d) && std::string_view(yyjson_get_str(d), yyjson_get_len(d)) == subject;
}

bool array_names_subject(yyjson_val* arr, std::string_view subject) {
  if (!yyjson_is_arr(arr)) return false;
  std::size_t idx, max;
  yyjson_val* el;
  yyjson_arr_foreach(arr, idx, max, el) {
    if (descriptor_matches(el, subject)) return true;
  }
  return false;
}

// Only config, layers and manifests count; a member named subject plays no part.
bool body_refers(yyjson_val* root, std::string_view subject) {
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) == 0) return false;
  return descriptor_matches(yyjson_obj_get(root, "config"), subject) ||
         array_names_subject(yyjson_obj_get(root, "layers"), subject) ||
         array_names_subject(yyjson_obj_get(root, "manifests"), subject);
}

// The text before the first NUL, cut to `max` bytes, as a C copy into a fixed field keeps it.
std::string c_text(const char* s, std::size_t max) { return std::string(s, strnlen(s, max)); }

// The body's own mediaType, else the content-type file without trailing line ends and
// spaces, else the default media type.
std::string referrer_media_type(yyjson_val* root, const std::string& repo, const std::string& hex) {
  yyjson_val* mt = yyjson_obj_get(root, "mediaType");
  if (yyjson_is_str(mt)) {
    std::string s = c_text(yyjson_get_str(mt), kMediaTypeMax);
    if (!s.empty()) return s;
  }
  Path ct;
  char buf[kCtReadCap];
  if (manifest_ct_path(repo, hex, ct) && read_file(ct.c_str(), buf, sizeof buf, nullptr) == 0) {
    std::string s = c_text(buf, kMediaTypeMax);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    if (!s.empty()) return s;
  }
  return std::string(kDefaultMediaType);
}

struct Scan {
  std::string subject;  // the digest asked for
  std::string subject_hex;
  bool subject_known = false;
  std::vector<refr_entry> entries;
  std::unordered_set<std::string> seen;  // digests already listed
  std::vector<refr_tag> tags;
};

void scan_manifest(Scan& s, const std::string& repo, const std::string& hex) {
  if (hex == s.subject_hex) s.subject_known = true;
  Path body_path;
  std::string body;
  if (!manifest_body_path(repo, hex, body_path) || !read_file_alloc(body_path.c_str(), body))
    return;
  DocPtr doc(yyjson_read_opts(body.data(), body.size(), 0, nullptr, nullptr));
  if (!doc) return;
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  if (!body_refers(root, s.subject) || hex == s.subject_hex) return;  // never its own referrer
  refr_entry e;
  e.digest = std::string(kDigestPrefix) + hex;
  if (s.seen.count(e.digest)) return;
  e.hex = hex;
  e.size = static_cast<long long>(body.size());
  e.media_type = referrer_media_type(root, repo, hex);
  s.seen.insert(e.digest);
  s.entries.push_back(std::move(e));
}

void scan_manifests(Scan& s, const std::string& repo) {
  Path dir;
  dir_list list;
  if (!manifests_dir(repo, dir) || list_dir_all(dir.c_str(), &list) != 0) return;
  for (const auto& e : list.entries)
    if (!e.is_dir && hex64_valid(e.name.c_str())) scan_manifest(s, repo, e.name);
}

// Tags of every repository that name a referrer, for the ref.name annotation (tags naming
// anything else cannot annotate, so they are not held). A link with anything after its 71
// characters (a line feed) still counts.
void scan_tags(Scan& s, const std::string& repo) {
  Path dir;
  dir_list list;
  if (!manifest_tags_dir(repo, dir) || list_dir_all(dir.c_str(), &list) != 0) return;
  for (const auto& e : list.entries) {
    Path link;
    char buf[kLinkReadCap];
    if (!e.is_dir || !manifest_tag_path(repo, e.name, link) ||
        read_file(link.c_str(), buf, sizeof buf, nullptr) != 0)
      continue;
    if (std::strncmp(buf, "sha256:", 7) != 0) continue;
    const std::string hex = c_text(buf + 7, kHexLen);
    if (hex.size() != kHexLen || !hex64_valid(hex.c_str()) ||
        !s.seen.count(std::string(kDigestPrefix) + hex))
      continue;
    s.tags.push_back(refr_tag{c_text(e.name.c_str(), kMaxTagLen), hex});
  }
}

// The one tag naming each hex, or none when two or more name it.
std::unordered_map<std::string, const refr_tag*> sole_tags(const std::vector<refr_tag>& tags) {
  std::unordered_map<std::string, const refr_tag*> out;
  for (const auto& t : tags) {
    auto [it, fresh] = out.emplace(t.hex, &t);
    if (!fresh) it->second = nullptr;
  }
  return out;
}

std::string entry_json(const refr_entry& e, const refr_tag* tag) {
  std::string j = "{\"mediaType\":\"";
  json_escape_to(j, e.media_type);
  j += "\",\"digest\":\"" + e.digest + "\",\"size\":" + std::to_string(e.size);
  if (tag) {
    j += ",\"annotations\":{\"org.opencontainers.image.ref.name\":\"";
    json_escape_to(j, tag->tag);
    j += "\"}";
  }
  j += '}';
  return j;
}

// Entries that would not fit the result buffer are left off the end: the array closes early
// and the text stays valid JSON.
const char* compose(const Scan& s) {
  ResultWriter out;
  out.reserve_tail(2);
  out.append("{\"mediaType\":\"");
  out.append(kIndexMediaType);
  out.append("\",\"manifests\":[");
  const auto sole = sole_tags(s.tags);
  for (std::size_t i = 0; i < s.entries.size(); ++i) {
    const auto it = sole.find(s.entries[i].hex);
    std::string piece = i ? "," : "";
    piece += entry_json(s.entries[i], it == sole.end() ? nullptr : it->second);
    if (!out.append(piece)) break;
  }
  out.append_tail("]}");
  return out.finish();
}

bool blob_stored(const char* digest) {
  Path p;
  return blob_path_for_digest(digest, p) && is_file(p.c_str());
}

const char* referrers_json(const char* digest) {
  if (!digest) {
    set_error("digest is NULL");
    return nullptr;
  }
  if (!require_ready()) return nullptr;
  if (!digest_valid(digest)) {
    set_error("invalid digest");
    return nullptr;
  }
  Scan s;
  s.subject = digest;
  s.subject_hex = s.subject.substr(kDigestPrefix.size());
  const std::vector<std::string> repos = discover_repos();
  s.subject_known = blob_stored(digest);
  for (const auto& repo : repos) scan_manifests(s, repo);
  for (const auto& repo : repos) scan_tags(s, repo);
  if (!s.subject_known) {  // neither a stored blob nor a manifest body anywhere
    set_error("manifest not found");
    return nullptr;
  }
  std::sort(s.entries.begin(), s.entries.end(),
            [](const refr_entry& a, const refr_entry& b) { return refr_entry_cmp(a, b) < 0; });
  const char* result = compose(s);
  clear_error();
  return result;
}

}  // namespace
}  // namespace reg

extern "C" {

const char* reg_referrers_json(const char* digest) {
  return reg::guarded<const char*>(nullptr, [&] { return reg::referrers_json(digest); });
}

}  // extern "C"
