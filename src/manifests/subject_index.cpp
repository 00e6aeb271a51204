#include "manifests/subject_index.h"

#include <yyjson.h>

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

#include "core/fileutil.h"
#include "core/paths.h"
#include "platform/platform.h"

namespace reg {
namespace {

constexpr std::size_t kCtReadCap = 256;

struct DocFree {
  void operator()(yyjson_doc* d) const noexcept { yyjson_doc_free(d); }
};
using DocPtr = std::unique_ptr<yyjson_doc, DocFree>;

// Most manifests name no subject: they are not parsed a second time. A key spelt with escapes
// could hide the word, so a body with any escape is parsed.
bool may_name_subject(std::string_view body) {
  return body.find("\"subject\"") != std::string_view::npos ||
         body.find("\\u") != std::string_view::npos;
}

DocPtr parse(std::string_view body) {
  if (!may_name_subject(body)) return nullptr;
  return DocPtr(yyjson_read_opts(const_cast<char*>(body.data()), body.size(), 0, nullptr, nullptr));
}

std::string_view str_of(yyjson_val* v) {
  return yyjson_is_str(v) ? std::string_view(yyjson_get_str(v), yyjson_get_len(v))
                          : std::string_view();
}

// The subject's digest as the upload checks every descriptor: 71 characters, digest_valid.
std::string_view subject_digest(yyjson_val* root) {
  yyjson_val* subject = yyjson_obj_get(root, "subject");
  if (!yyjson_is_obj(subject)) return {};
  const std::string_view d = str_of(yyjson_obj_get(subject, "digest"));
  if (d.size() != kDigestLen || !digest_valid(std::string(d).c_str())) return {};
  return d;
}

void append_string(std::string& out, std::string_view s) {
  out += '"';
  json_escape_to(out, s);
  out += '"';
}

// Annotations are string to string; members of another kind are not carried over.
void append_annotations(std::string& out, yyjson_val* annotations) {
  if (!yyjson_is_obj(annotations)) return;
  std::string members;
  yyjson_obj_iter it = yyjson_obj_iter_with(annotations);
  while (yyjson_val* k = yyjson_obj_iter_next(&it)) {
    yyjson_val* v = yyjson_obj_iter_get_val(k);
    if (!yyjson_is_str(v)) continue;
    if (!members.empty()) members += ',';
    append_string(members, str_of(k));
    members += ':';
    append_string(members, str_of(v));
  }
  if (members.empty()) return;
  out += ",\"annotations\":{" + members + "}";
}

// The artifact type: the manifest's own, else (for an image manifest) its config's media type.
std::string_view artifact_type(yyjson_val* root) {
  const std::string_view own = str_of(yyjson_obj_get(root, "artifactType"));
  if (!own.empty() || yyjson_obj_get(root, "manifests")) return own;
  return str_of(yyjson_obj_get(yyjson_obj_get(root, "config"), "mediaType"));
}

bool subjects_dir(std::string_view repo, Path& out) {
  Path m;
  return manifests_dir(repo, m) && child_path(m, kSubjectsDirName, out);
}

bool subject_dir(std::string_view repo, std::string_view subject_hex, Path& out) {
  Path s;
  return subjects_dir(repo, s) && child_path(s, subject_hex, out);
}

bool entry_path(std::string_view repo, std::string_view subject_hex, std::string_view hex,
                Path& out) {
  Path d;
  return subject_dir(repo, subject_hex, d) && child_path(d, hex, out);
}

bool body_stored(std::string_view repo, std::string_view hex) {
  Path p;
  return manifest_body_path(repo, hex, p) && is_file(p.c_str());
}

// The stored content type of a manifest, "" when there is none.
std::string stored_ct(std::string_view repo, std::string_view hex) {
  Path ct;
  char buf[kCtReadCap];
  std::size_t n = 0;
  if (!manifest_ct_path(repo, hex, ct) || read_file(ct.c_str(), buf, sizeof buf, &n) != 0)
    return {};
  return std::string(buf, n);
}

// Subdirectories (or files) of `dir` named by a digest hex; false when `dir` exists but
// cannot be listed. A missing directory holds nothing.
bool hex_entries(const Path& dir, bool want_dirs, std::vector<std::string>& out) {
  out.clear();
  dir_list list;
  if (list_dir_all(dir.c_str(), &list) != 0) return !is_dir(dir.c_str());
  for (const auto& e : list.entries)
    if (e.is_dir == want_dirs && hex64_valid(e.name.c_str())) out.push_back(e.name);
  std::sort(out.begin(), out.end());
  return true;
}

bool remove_entry(std::string_view repo, const SubjectEntry& e) {
  Path p, dir;
  if (!entry_path(repo, e.subject_hex, e.hex, p) || !subject_dir(repo, e.subject_hex, dir))
    return false;
  const int rc = platform::remove_file(p.c_str());
  platform::remove_dir(dir.c_str());  // only when empty
  return rc == 0 || rc == platform::kErrNotFound;
}

}  // namespace

bool subject_ref_of(std::string_view body, std::string_view hex, std::string_view media_type,
                    SubjectRef& out) {
  DocPtr doc = parse(body);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) return false;
  const std::string_view subject = subject_digest(root);
  if (subject.empty()) return false;
  out.subject_hex = std::string(subject.substr(kDigestPrefix.size()));
  std::string_view mt = str_of(yyjson_obj_get(root, "mediaType"));
  if (mt.empty()) mt = media_type.empty() ? kDefaultMediaType : media_type;
  std::string& d = out.descriptor;
  d = "{\"mediaType\":";
  append_string(d, mt);
  d += ",\"digest\":\"sha256:" + std::string(hex) + "\",\"size\":" + std::to_string(body.size());
  if (const std::string_view at = artifact_type(root); !at.empty()) {
    d += ",\"artifactType\":";
    append_string(d, at);
  }
  append_annotations(d, yyjson_obj_get(root, "annotations"));
  d += '}';
  return true;
}

std::string subject_digest_of(std::string_view body) {
  DocPtr doc = parse(body);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  return yyjson_is_obj(root) ? std::string(subject_digest(root)) : std::string();
}

bool subject_entry_fits(std::string_view repo, std::string_view subject_hex, std::string_view hex) {
  Path p;
  return entry_path(repo, subject_hex, hex, p) && write_file_fits(p);
}

int subject_index_add(std::string_view repo, std::string_view hex, const SubjectRef& ref,
                      DirSyncs& syncs) {
  Path dir, p;
  if (!subject_dir(repo, ref.subject_hex, dir) || !child_path(dir, hex, p)) return -1;
  syncs.note(dir);
  if (syncs.make_dirs(dir.c_str()) != 0) return -1;
  return write_file_durable(p.c_str(), ref.descriptor.data(), ref.descriptor.size());
}

void subject_index_remove(std::string_view repo, std::string_view hex, std::string_view body) {
  const std::string subject = subject_digest_of(body);
  if (subject.empty()) return;
  remove_entry(repo, SubjectEntry{subject.substr(kDigestPrefix.size()), std::string(hex)});
}

bool subject_index_list(std::string_view repo, std::string_view subject_hex,
                        std::vector<std::string>& out) {
  out.clear();
  Path dir;
  std::vector<std::string> names;
  if (!subject_dir(repo, subject_hex, dir)) return true;  // no such path: no referrers
  if (!hex_entries(dir, false, names)) return false;
  for (const auto& hex : names) {
    Path p;
    std::string text;
    // An entry whose body is gone is what a deletion cut short leaves.
    if (hex == subject_hex || !body_stored(repo, hex) || !child_path(dir, hex, p) ||
        !read_file_alloc(p.c_str(), text))
      continue;
    out.push_back(std::move(text));
  }
  return true;
}

bool subject_index_entries(std::string_view repo, std::vector<SubjectEntry>& out) {
  out.clear();
  Path top;
  std::vector<std::string> subjects, refs;
  if (!subjects_dir(repo, top)) return false;
  bool complete = hex_entries(top, true, subjects);
  for (const auto& s : subjects) {
    Path dir;
    if (!child_path(top, s, dir) || !hex_entries(dir, false, refs)) {
      complete = false;
      continue;
    }
    for (auto& h : refs) out.push_back(SubjectEntry{s, std::move(h)});
  }
  return complete;
}

SubjectRepair subject_index_rebuild(std::string_view repo) {
  SubjectRepair r;
  DirSyncs syncs;
  Path mdir;
  dir_list list;
  if (!manifests_dir(repo, mdir) || list_dir_all(mdir.c_str(), &list) != 0) {
    r.complete = false;
    return r;
  }
  std::map<std::pair<std::string, std::string>, std::string> want;  // (subject, hex) -> text
  for (const auto& e : list.entries) {
    if (e.is_dir || !hex64_valid(e.name.c_str())) continue;
    Path body_path;
    std::string body;
    if (!child_path(mdir, e.name, body_path) || !read_file_alloc(body_path.c_str(), body)) {
      r.complete = r.complete && !is_file(body_path.c_str());
      continue;
    }
    SubjectRef ref;
    if (subject_ref_of(body, e.name, stored_ct(repo, e.name), ref))
      want[{ref.subject_hex, e.name}] = std::move(ref.descriptor);
  }
  std::vector<SubjectEntry> have;
  r.complete = subject_index_entries(repo, have) && r.complete;
  for (const auto& e : have) {
    if (want.count({e.subject_hex, e.hex})) continue;
    if (remove_entry(repo, e))
      ++r.removed;
    else
      r.complete = false;
  }
  for (const auto& [key, text] : want) {
    Path p;
    std::string current;
    if (entry_path(repo, key.first, key.second, p) && read_file_alloc(p.c_str(), current) &&
        current == text)
      continue;
    if (subject_index_add(repo, key.second, SubjectRef{key.first, text}, syncs) == 0)
      ++r.written;
    else
      r.complete = false;
  }
  if (syncs.sync() != 0) r.complete = false;
  Path top;
  if (subjects_dir(repo, top) && want.empty()) platform::remove_dir(top.c_str());
  return r;
}

int subject_index_prune(std::string_view repo, std::int64_t now, std::int64_t min_age) {
  std::vector<SubjectEntry> entries;
  subject_index_entries(repo, entries);
  int removed = 0;
  for (const auto& e : entries) {
    Path p;
    platform::FileAttr a;
    std::int64_t t = 0;
    if (body_stored(repo, e.hex) || !entry_path(repo, e.subject_hex, e.hex, p) ||
        platform::get_attr(p.c_str(), &a) != 0 || !file_unix_time(a, &t) || now - t < min_age)
      continue;
    if (remove_entry(repo, e)) ++removed;
  }
  Path top;
  if (removed && subjects_dir(repo, top)) platform::remove_dir(top.c_str());  // only when empty
  return removed;
}

}  // namespace reg
