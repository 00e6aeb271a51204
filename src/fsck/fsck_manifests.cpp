// The store checker's walk of the repositories: every manifest store at any depth, with its
// bodies, content-type files, revision links and tag links, and the blobs its manifests name.
#include <yyjson.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/fileutil.h"
#include "core/paths.h"
#include "core/sha256.h"
#include "fsck/fsck_internal.h"
#include "maintenance/gc_progress.h"
#include "manifests/blob_records.h"
#include "manifests/subject_index.h"
#include "platform/platform.h"

namespace reg {
namespace {

constexpr std::string_view kCtSuffix = ".ct";

// What one manifest store holds, as its walk finds it.
struct StoreScan {
  std::set<std::string> bodies;                 // digest hex
  std::set<std::string> cts;                    // digest hex of each content-type file
  std::set<std::string> linked;                 // digest hex of each valid revision link
  std::map<std::string, std::string> subjects;  // body hex -> hex of the subject it names
  std::set<std::string> named_blobs;            // hex of every config and layer named
};

// ---- Manifest bodies and what they name ---------------------------------------------------

// A descriptor's digest as the upload validated it: a string of exactly 71 characters that
// digest_valid accepts (first member of the name, as the upload reads it).
const char* descriptor_digest(yyjson_val* obj) {
  yyjson_val* d = yyjson_is_obj(obj) ? yyjson_obj_get(obj, "digest") : nullptr;
  if (!yyjson_is_str(d) || yyjson_get_len(d) != kDigestLen || !digest_valid(yyjson_get_str(d)))
    return nullptr;
  return yyjson_get_str(d);
}

void require_blob(FsckWalk& w, const std::string& where, const char* digest,
                  const std::string& role, StoreScan& scan) {
  Path p;
  if (digest) scan.named_blobs.insert(digest + kDigestPrefix.size());
  if (!digest || (blob_path_for_digest(digest, p) && is_file(p.c_str()))) return;
  w.add(FsckKind::missing_blob, where,
        std::string("names ") + digest + " (" + role + "), which the blob store does not hold");
}

// The same kinds as the upload: an index (a "manifests" member) names child manifests, an
// image manifest its config and layers.
void check_references(FsckWalk& w, const std::string& where, const std::string& text,
                      StoreScan& scan) {
  DocPtr doc(yyjson_read(text.data(), text.size(), 0));
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) {
    w.add(FsckKind::unparsable_manifest, where, "body is no JSON object; it names nothing");
    return;
  }
  std::size_t i, n;
  yyjson_val* el;
  if (yyjson_val* manifests = yyjson_obj_get(root, "manifests")) {
    yyjson_arr_foreach(manifests, i, n, el) {
      if (const char* d = descriptor_digest(el)) w.children.push_back(FsckChildRef{where, d});
    }
    return;
  }
  require_blob(w, where, descriptor_digest(yyjson_obj_get(root, "config")), "config", scan);
  yyjson_arr_foreach(yyjson_obj_get(root, "layers"), i, n, el) {
    require_blob(w, where, descriptor_digest(el), "layer " + std::to_string(i), scan);
  }
}

void check_body(FsckWalk& w, const FsckPath& p, const std::string& hex, StoreScan& scan) {
  std::string text;
  if (!read_file_alloc(p.abs.c_str(), text)) {
    if (!fsck_gone(p.abs)) w.add(FsckKind::manifest_unreadable, p.rel, "body cannot be read");
    return;
  }
  char got[kHexLen + 1];
  sha256_hex(text, got);
  scan.bodies.insert(hex);
  w.bodies.insert(hex);
  ++w.report.counts.manifests;
  if (hex != got) {
    w.add(FsckKind::manifest_digest_mismatch, p.rel,
          std::string("content hashes to sha256:") + got);
    return;  // what a damaged body names proves nothing
  }
  check_references(w, p.rel, text, scan);
  const std::string subject = subject_digest_of(text);
  if (!subject.empty()) scan.subjects[hex] = subject.substr(kDigestPrefix.size());
}

void check_ct(FsckWalk& w, const FsckPath& p, const std::string& hex, StoreScan& scan) {
  platform::FileAttr a;
  if (platform::get_attr(p.abs.c_str(), &a) != 0) return;  // gone meanwhile
  scan.cts.insert(hex);
  if (a.size == 0)
    w.add(FsckKind::empty_content_type, p.rel, "empty; readers use the default media type");
}

// ---- Links --------------------------------------------------------------------------------

enum class LinkRead { ok, gone, unreadable };

LinkRead read_link(const FsckPath& p, std::string& out) {
  char buf[kLinkReadCap];
  std::size_t n = 0;
  if (read_file(p.abs.c_str(), buf, sizeof buf, &n) != 0)
    return fsck_gone(p.abs) ? LinkRead::gone : LinkRead::unreadable;
  out.assign(buf, n);
  return LinkRead::ok;
}

// Exactly "sha256:" and 64 lowercase hex digits, nothing before or after.
bool link_text_valid(const std::string& text) {
  return text.size() == kDigestLen && digest_valid(text.c_str());
}

// A directory that holds one link file (a revision's or a tag's `current`). Returns the
// link's digest hex, or "" when there is no valid link.
std::string check_link_dir(FsckWalk& w, const FsckPath& dir, FsckKind invalid_kind) {
  std::vector<dir_entry> list;
  std::string hex;
  if (!fsck_list(w, dir, list)) return hex;
  for (const auto& e : list) {
    FsckPath p;
    if (!fsck_child(w, dir, e.name, p)) continue;
    if (e.is_dir || e.name != "link") {
      fsck_stray(w, p, e);
      continue;
    }
    std::string text;
    const LinkRead r = read_link(p, text);
    if (r == LinkRead::unreadable) w.add(FsckKind::unreadable_link, p.rel, "link cannot be read");
    if (r != LinkRead::ok) continue;
    if (link_text_valid(text))
      hex = text.substr(kDigestPrefix.size());
    else
      w.add(invalid_kind, p.rel,
            "holds " + std::to_string(text.size()) + " bytes that are not exactly one digest");
  }
  return hex;
}

void check_revisions(FsckWalk& w, const FsckPath& revisions, StoreScan& scan) {
  std::vector<dir_entry> top, revs;
  FsckPath sha;
  if (!fsck_list(w, revisions, top)) return;
  for (const auto& e : top) {
    FsckPath p;
    if (fsck_child(w, revisions, e.name, p) && !(e.is_dir && e.name == "sha256"))
      fsck_stray(w, p, e);
  }
  if (!fsck_child(w, revisions, "sha256", sha) || !is_dir(sha.abs.c_str()) ||
      !fsck_list(w, sha, revs))
    return;
  for (const auto& e : revs) {
    FsckPath dir;
    if (!fsck_child(w, sha, e.name, dir)) continue;
    if (!e.is_dir || !hex64_valid(e.name.c_str())) {
      fsck_stray(w, dir, e);
      continue;
    }
    // An empty revision directory is what a tag deletion leaves by design.
    const std::string hex = check_link_dir(w, dir, FsckKind::invalid_revision_link);
    if (hex.empty()) continue;
    if (hex != e.name) {
      w.add(FsckKind::invalid_revision_link, dir.rel + "/link",
            "names sha256:" + hex + ", not its directory's digest");
      continue;
    }
    scan.linked.insert(hex);
    if (!scan.bodies.count(hex))
      w.add(FsckKind::dangling_revision_link, dir.rel + "/link",
            "no manifest body; a deletion was cut short");
  }
}

void check_tag(FsckWalk& w, const FsckPath& tag_dir, const StoreScan& scan) {
  std::vector<dir_entry> list;
  if (!fsck_list(w, tag_dir, list)) return;
  for (const auto& e : list) {
    FsckPath p;
    if (!fsck_child(w, tag_dir, e.name, p)) continue;
    if (!e.is_dir || e.name != "current") {
      fsck_stray(w, p, e);
      continue;
    }
    // Without a link the tag was deleted; its directories stay by design.
    const std::string hex = check_link_dir(w, p, FsckKind::invalid_tag_link);
    if (hex.empty()) continue;
    ++w.report.counts.tags;
    if (!scan.bodies.count(hex))
      w.add(FsckKind::dangling_tag_link, p.rel + "/link",
            "names sha256:" + hex + ", which the repository does not store");
  }
}

void check_tags(FsckWalk& w, const FsckPath& tags, const StoreScan& scan) {
  std::vector<dir_entry> list;
  if (!fsck_list(w, tags, list)) return;
  for (const auto& e : list) {
    FsckPath p;
    if (!fsck_child(w, tags, e.name, p)) continue;
    if (e.is_dir)
      check_tag(w, p, scan);
    else
      fsck_stray(w, p, e);
  }
}

// ---- Subject index ------------------------------------------------------------------------

using SubjectPair = std::pair<std::string, std::string>;  // (subject hex, referrer hex)

void check_subject_entry(FsckWalk& w, const FsckPath& p, const SubjectPair& entry,
                         const StoreScan& scan) {
  if (!scan.bodies.count(entry.second)) {
    w.add(FsckKind::dangling_subject_entry, p.rel,
          "no manifest body; a deletion was cut short (the next collection removes it)");
    return;
  }
  const auto it = scan.subjects.find(entry.second);
  if (it == scan.subjects.end() || it->second != entry.first)
    w.add(FsckKind::misfiled_subject_entry, p.rel,
          it == scan.subjects.end() ? "its manifest names no subject"
                                    : "its manifest names the subject sha256:" + it->second);
}

void check_subject_index(FsckWalk& w, const FsckPath& m, const StoreScan& scan) {
  std::set<SubjectPair> found;
  FsckPath top;
  std::vector<dir_entry> subjects, items;
  if (fsck_child(w, m, kSubjectsDirName, top) && is_dir(top.abs.c_str()) &&
      fsck_list(w, top, subjects)) {
    for (const auto& s : subjects) {
      FsckPath dir;
      if (!fsck_child(w, top, s.name, dir)) continue;
      if (!s.is_dir || !hex64_valid(s.name.c_str())) {
        fsck_stray(w, dir, s);
        continue;
      }
      if (!fsck_list(w, dir, items)) continue;
      for (const auto& e : items) {
        FsckPath p;
        if (!fsck_child(w, dir, e.name, p)) continue;
        if (e.is_dir || !hex64_valid(e.name.c_str())) {
          fsck_stray(w, p, e);
          continue;
        }
        found.insert({s.name, e.name});
        check_subject_entry(w, p, {s.name, e.name}, scan);
      }
    }
  }
  for (const auto& [hex, subject] : scan.subjects)
    if (!found.count({subject, hex}))
      w.add(FsckKind::missing_subject_entry, m.rel + "/" + hex,
            "names the subject sha256:" + subject +
                ", but the subject index lacks it: referrers requests miss it");
}

// ---- Blob record --------------------------------------------------------------------------

// Empty files named by blob digests; a record of a blob no longer stored is harmless (the blob
// is simply not found). A blob a manifest names but the record lacks (a store from before the
// records, or a record lost) is not readable through the repository under a policy.
void check_blob_records(FsckWalk& w, const FsckPath& m, const StoreScan& scan) {
  FsckPath dir;
  std::vector<dir_entry> list;
  if (!fsck_child(w, m, kBlobRecordsDirName, dir)) return;
  if (is_dir(dir.abs.c_str()) && !fsck_list(w, dir, list)) return;  // unreadable: recorded
  std::set<std::string> recorded;
  for (const auto& e : list) {
    FsckPath p;
    if (!fsck_child(w, dir, e.name, p)) continue;
    if (e.is_dir || !hex64_valid(e.name.c_str()))
      fsck_stray(w, p, e);
    else
      recorded.insert(e.name);
  }
  for (const auto& hex : scan.named_blobs)
    if (!recorded.count(hex))
      w.add(FsckKind::missing_blob_record, dir.rel + "/" + hex,
            "a manifest names sha256:" + hex +
                ", which the repository's blob record lacks: with a policy it is not readable "
                "through the repository (fsck --repair adds it)");
}

// ---- One manifest store -------------------------------------------------------------------

bool is_ct_name(std::string_view name) {
  return name.size() == kHexLen + kCtSuffix.size() && name.ends_with(kCtSuffix) &&
         hex64_valid(std::string(name.substr(0, kHexLen)).c_str());
}

// Bodies and content-type files first: the links are judged against the bodies found.
void check_store(FsckWalk& w, const FsckPath& m) {
  std::vector<dir_entry> list;
  if (!fsck_list(w, m, list)) return;
  ++w.report.counts.repositories;
  StoreScan scan;
  for (const auto& e : list) {
    FsckPath p;
    if (!fsck_child(w, m, e.name, p)) continue;
    if (!e.is_dir && hex64_valid(e.name.c_str()))
      check_body(w, p, e.name, scan);
    else if (!e.is_dir && is_ct_name(e.name))
      check_ct(w, p, e.name.substr(0, kHexLen), scan);
    else if (!(e.is_dir && (e.name == "revisions" || e.name == "tags" ||
                            e.name == kSubjectsDirName || e.name == kBlobRecordsDirName)))
      fsck_stray(w, p, e);
  }
  FsckPath revisions, tags;
  if (fsck_child(w, m, "revisions", revisions) && is_dir(revisions.abs.c_str()))
    check_revisions(w, revisions, scan);
  if (fsck_child(w, m, "tags", tags) && is_dir(tags.abs.c_str())) check_tags(w, tags, scan);
  check_subject_index(w, m, scan);
  check_blob_records(w, m, scan);
  for (const auto& hex : scan.cts)
    if (!scan.bodies.count(hex))
      w.add(FsckKind::orphan_content_type, m.rel + "/" + hex + ".ct",
            "no manifest body; a deletion was cut short");
  for (const auto& hex : scan.bodies) {
    if (!scan.cts.count(hex))
      w.add(FsckKind::missing_content_type, m.rel + "/" + hex,
            "no content-type file; served with the default media type");
    if (!scan.linked.count(hex))
      w.add(FsckKind::missing_revision_link, m.rel + "/" + hex,
            "no revision link; still resolves by digest");
  }
}

// A directory of the repositories tree: a repository when it holds `_manifests`, and the
// parent of nested repositories whatever it is itself.
void walk_repo_dir(FsckWalk& w, const FsckPath& dir, const std::string& name) {
  std::vector<dir_entry> list;
  if (!fsck_list(w, dir, list)) return;
  for (const auto& e : list) {
    FsckPath p;
    if (!fsck_child(w, dir, e.name, p)) continue;
    if (!e.is_dir) {
      fsck_stray(w, p, e);
    } else if (e.name == "_manifests") {
      // Directly below `repositories` no name addresses it; elsewhere the name must be one
      // that the calls accept.
      if (name.empty() || !repo_name_valid(name.c_str()))
        fsck_stray(w, p, e);
      else
        check_store(w, p);
    } else {
      walk_repo_dir(w, p, name.empty() ? e.name : name + "/" + e.name);
    }
  }
}

}  // namespace

void fsck_check_repositories(FsckWalk& w, const FsckPath& top) { walk_repo_dir(w, top, ""); }

}  // namespace reg
