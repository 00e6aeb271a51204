// Repository deletion. Removes the repository's own manifest store and whatever else in its
// directory belongs to no nested repository, then the parent directories that this left empty.
//
// Protected tags are kept where they are: their tag link, revision link, body and content-type
// file are never removed, and replaced only atomically (write_file), so a crash, a kill or a
// full disk at any point of a deletion leaves each of them whole. Everything else of the store
// is removed around them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/boundary.h"
#include "core/context.h"
#include "core/durability.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "manifests/blob_records.h"
#include "manifests/protection.h"
#include "manifests/repo_lock.h"
#include "manifests/subject_index.h"
#include "reg_storage.h"

namespace reg {
namespace {

constexpr std::size_t kCtReadCap = 128;
constexpr int kMaxParentSteps = 16;

// A protected tag that survives, and the manifest its link names.
struct Preserved {
  std::string tag;
  std::string link;  // "sha256:" + 64 hex digits
  std::string hex() const { return link.substr(kDigestPrefix.size()); }
};

// Paths below `_manifests` (components joined by '/') that the deletion leaves in place.
struct KeepSet {
  std::set<std::string> files;
  std::set<std::string> dirs;  // every directory on the way to a kept file
  bool empty() const { return files.empty(); }
};

// The name split at the separator without its empty components: "a//b/" is "a/b". Protection
// rules are matched against this form, so a trailing '/' cannot slip a tag past them.
std::vector<std::string> repo_components(std::string_view repo) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= repo.size(); ++i) {
    if (i < repo.size() && repo[i] != platform::kSep) continue;
    if (i > start) parts.emplace_back(repo.substr(start, i - start));
    start = i + 1;
  }
  return parts;
}

// The repository directory, reached one component at a time so that no component may be a
// symbolic link: deletion never acts outside the repositories directory.
int resolve_repo_dir(const std::vector<std::string>& parts, Path& dir) {
  if (!store_path({"repositories"}, dir)) return -1;
  for (const auto& part : parts) {
    Path next;
    if (!child_path(dir, part, next)) return -1;
    dir = std::move(next);
    if (!is_dir(dir.c_str())) return 0;
  }
  return 1;
}

// True when `dir` is a repository. A query that fails proves nothing, so it counts as one: a
// nested repository must never be removed for a passing I/O error.
bool holds_manifests(const Path& dir) {
  Path m;
  platform::FileAttr a;
  if (!child_path(dir, "_manifests", m)) return true;
  const int e = platform::get_attr(m.c_str(), &a);
  return e == 0 ? a.is_dir : e != platform::kErrNotFound;
}

// True when `dir` is a repository or holds one at any depth. A directory that cannot be
// listed counts as holding one: nothing is removed on a guess.
bool holds_repository(const Path& dir) {
  if (holds_manifests(dir)) return true;
  dir_list list;
  if (list_dir_all(dir.c_str(), &list) != 0) return true;
  for (const auto& e : list.entries) {
    Path child;
    if (e.is_dir && (!child_path(dir, e.name, child) || holds_repository(child))) return true;
  }
  return false;
}

bool remove_entry(const Path& path, bool dir) {
  return dir ? delete_tree(path.c_str()) == 0 : platform::remove_file(path.c_str()) == 0;
}

// Whether a protected tag can be kept. `unknown` when a file that is there cannot be read: a
// passing I/O error must not pass for a malformed tag and drop a protected tag with the
// repository, so the deletion then stops before it removes anything.
enum class Keepable { yes, no, unknown };

// `no` when nothing (or a directory) is at `path`, `unknown` when the query itself failed.
Keepable file_state(const Path& path) {
  platform::FileAttr a;
  const int e = platform::get_attr(path.c_str(), &a);
  if (e == platform::kErrNotFound || (e == 0 && a.is_dir)) return Keepable::no;
  return e == 0 ? Keepable::yes : Keepable::unknown;
}

// The link of a protected tag, when the tag can be kept: the first 71 characters of its link
// form a digest, and the manifest they name has a non-empty body.
Keepable preservable_link(const std::string& repo, const std::string& tag, std::string& link) {
  Path link_path, body_path;
  char buf[kLinkReadCap];
  if (!manifest_tag_path(repo, tag, link_path)) return Keepable::no;
  if (const Keepable k = file_state(link_path); k != Keepable::yes) return k;
  std::size_t len = 0;
  if (read_file(link_path.c_str(), buf, sizeof buf, &len) != 0) return Keepable::unknown;
  buf[std::min(len, kDigestLen)] = '\0';  // the first 71 characters decide; the rest is ignored
  if (!digest_valid(buf)) return Keepable::no;
  link = buf;
  if (!manifest_body_path(repo, link.substr(kDigestPrefix.size()), body_path)) return Keepable::no;
  if (const Keepable k = file_state(body_path); k != Keepable::yes) return k;
  std::unique_ptr<platform::File> f;
  std::uint64_t size = 0;
  if (platform::open_file(body_path.c_str(), platform::File::Mode::read, &f) != 0 ||
      f->size(&size) != 0)
    return Keepable::unknown;
  return size > 0 ? Keepable::yes : Keepable::no;
}

// Every protected tag of the repository that can be kept, seeing every entry of its tags
// directory. False when that directory exists but cannot be listed, or a protected tag's
// files cannot be read: deciding on what could not be read would remove protected tags.
bool preserved_tags(const std::string& repo, std::vector<Preserved>& out) {
  Path dir;
  dir_list list;
  if (!protection_rules_set() || !manifest_tags_dir(repo, dir)) return true;
  if (list_dir_all(dir.c_str(), &list) != 0) {
    platform::FileAttr a;
    const int e = platform::get_attr(dir.c_str(), &a);
    return e == platform::kErrNotFound || (e == 0 && !a.is_dir);
  }
  for (const auto& e : list.entries) {
    std::string link;
    if (!e.is_dir || !protect_match(repo, e.name)) continue;
    const Keepable k = preservable_link(repo, e.name, link);
    if (k == Keepable::unknown) return false;
    if (k == Keepable::yes) out.push_back(Preserved{e.name, link});
  }
  return true;
}

// The subject index entry of a kept manifest stays with it, so its referrers listing never
// misses it, not even while the deletion runs.
void keep_subject_entry(const std::string& repo, const std::string& hex, KeepSet& k) {
  Path body;
  std::string text;
  if (!manifest_body_path(repo, hex, body) || !read_file_alloc(body.c_str(), text)) return;
  // So do the records of the blobs it names: they stay readable through the repository.
  for (const auto& d : blobs_named_by(text)) {
    k.files.insert(std::string(kBlobRecordsDirName) + "/" + d.substr(kDigestPrefix.size()));
    k.dirs.insert(std::string(kBlobRecordsDirName));
  }
  const std::string subject = subject_digest_of(text);
  if (subject.empty()) return;
  const std::string dir =
      std::string(kSubjectsDirName) + "/" + subject.substr(kDigestPrefix.size());
  k.files.insert(dir + "/" + hex);
  k.dirs.insert({std::string(kSubjectsDirName), dir});
}

KeepSet keep_set(const std::string& repo, const std::vector<Preserved>& kept) {
  KeepSet k;
  for (const auto& p : kept) {
    const std::string hex = p.hex();
    k.files.insert(
        {hex, hex + ".ct", "revisions/sha256/" + hex + "/link", "tags/" + p.tag + "/current/link"});
    k.dirs.insert({"revisions", "revisions/sha256", "revisions/sha256/" + hex, "tags",
                   "tags/" + p.tag, "tags/" + p.tag + "/current"});
    keep_subject_entry(repo, hex, k);
  }
  return k;
}

// Removes everything below `dir` that the keep set does not name; goes on past failures,
// except at the top of the store: the tags go first, and the manifests only once no tag is
// left that could name them, so a removal failing part-way never leaves a tag naming a
// removed manifest.
bool prune_store(const Path& dir, const std::string& rel, const KeepSet& keep,
                 DirSyncs& syncs) {
  dir_list list;
  if (list_dir_all(dir.c_str(), &list) != 0) return false;
  const auto is_tags = [&](const dir_entry& e) {
    return rel.empty() && e.is_dir && e.name == "tags";
  };
  std::stable_partition(list.entries.begin(), list.entries.end(), is_tags);
  bool ok = true;
  for (const auto& e : list.entries) {
    const std::string r = rel.empty() ? e.name : rel + "/" + e.name;
    Path child;
    if (!child_path(dir, e.name, child)) {
      ok = false;
      continue;
    }
    if (!e.is_dir && keep.files.count(r)) continue;
    if (e.is_dir && keep.dirs.count(r)) {
      ok &= prune_store(child, r, keep, syncs);
    } else {
      ok &= remove_entry(child, e.is_dir);
      syncs.note(dir);
    }
    if (!ok && is_tags(e)) return false;
  }
  return ok;
}

// Removes what in `dir` belongs to no nested repository. At the repository's own directory
// (`keep` not null) its `_manifests` is its store: pruned around the kept tags, or removed.
bool remove_unowned(const Path& dir, const KeepSet* keep, DirSyncs& syncs) {
  dir_list list;
  if (list_dir_all(dir.c_str(), &list) != 0) return false;
  bool ok = true;
  for (const auto& e : list.entries) {
    Path child;
    if (!child_path(dir, e.name, child)) {
      ok = false;
      continue;
    }
    if (keep && e.is_dir && e.name == "_manifests") {
      ok &= prune_store(child, "", *keep, syncs) &&
            (!keep->empty() || platform::remove_dir(child.c_str()) == 0);
      syncs.note(dir);
    } else if (e.is_dir && holds_repository(child)) {
      ok &= holds_manifests(child) ||
            remove_unowned(child, nullptr, syncs);  // a nested repository stays whole
    } else {
      ok &= remove_entry(child, e.is_dir);
      syncs.note(dir);
    }
  }
  return ok;
}

// Writes `text` to `path` unless it holds exactly that already; atomically, so the old
// content stays readable until the new one replaces it.
bool ensure_content(const Path& path, std::string_view text, DirSyncs& syncs) {
  char buf[kLinkReadCap];
  std::size_t len = 0;
  if (read_file(path.c_str(), buf, sizeof buf, &len) == 0 && std::string_view(buf, len) == text)
    return true;
  syncs.note_parent_of(path);
  return write_file_durable(path.c_str(), text.data(), text.size()) == 0;
}

// Brings a kept tag to the form a fresh push leaves: links of exactly 71 bytes, a revision
// link, and a content type (the default one when none is stored).
bool complete_kept(const std::string& repo, const Preserved& p, DirSyncs& syncs) {
  const std::string hex = p.hex();
  Path ct, rev_dir, rev, tag;
  if (!manifest_ct_path(repo, hex, ct) || !manifest_rev_dir(repo, hex, rev_dir) ||
      !manifest_rev_path(repo, hex, rev) || !manifest_tag_path(repo, p.tag, tag))
    return false;
  char buf[kCtReadCap];
  std::size_t len = 0;
  bool ok = true;
  if (read_file(ct.c_str(), buf, sizeof buf, &len) != 0 || len == 0 || buf[0] == '\0') {
    ok &= write_file_durable(ct.c_str(), kDefaultMediaType.data(), kDefaultMediaType.size()) == 0;
    syncs.note_parent_of(ct);
  }
  ok &= syncs.make_dirs(rev_dir.c_str()) == 0 && ensure_content(rev, p.link, syncs);
  ok &= ensure_content(tag, p.link, syncs);
  return ok;
}

// Removes the parents that the deletion left empty, never the repositories directory itself
// nor anything above it; stops at the first parent that holds anything. Notes the directory
// that lost each removed one.
void remove_empty_parents(const Path& repo_path, DirSyncs& syncs) {
  Path top;
  if (!store_path({"repositories"}, top)) return;
  Path p = repo_path;
  for (int i = 0; i < kMaxParentSteps; ++i) {
    const std::size_t cut = p.rfind(platform::kSep);
    if (cut == Path::npos || cut == 0) return;
    p.resize(cut);
    if (p.size() <= top.size()) return;
    if (is_dir(p.c_str()) && platform::remove_dir(p.c_str()) != 0) return;
    syncs.note_parent_of(p);
  }
}

int repo_delete(const char* repo) {
  if (!repo || !*repo) {
    set_error("NULL argument");
    return -1;
  }
  if (!require_ready()) return -1;
  if (!repo_name_valid(repo)) {
    // A name that would reach the repositories directory itself or another repository's
    // store is named in the message, so an operator sees what was refused.
    if (repo_name_chars_valid(repo))
      set_error("invalid repository name: %s", repo);
    else
      set_error("invalid repository name");
    return -1;
  }
  const RepoLock lock(repo);
  const std::vector<std::string> parts = repo_components(repo);
  std::string name;
  for (const auto& part : parts) name += (name.empty() ? "" : "/") + part;
  Path dir;
  const int found = resolve_repo_dir(parts, dir);
  if (found < 0) {
    set_error("path too long");
    return -1;
  }
  if (found == 0) {
    set_error("repository not found: %s", repo);
    return -1;
  }

  std::vector<Preserved> kept;
  bool ok = preserved_tags(name, kept);
  const KeepSet keep = keep_set(name, kept);
  // The directories inside it that lost entries; needed only when it stays.
  DirSyncs inside;
  ok = ok && remove_unowned(dir, &keep, inside);
  if (ok)
    for (const auto& p : kept) ok &= complete_kept(name, p, inside);
  if (!ok) {
    set_error("delete repository failed: %s", repo);
    return -1;
  }
  // A deletion reported done does not come back after a power cut. Once the repository's own
  // directory is gone, its parent's entry carries everything below it.
  DirSyncs above;
  DirSyncs* syncs = &inside;
  if (kept.empty()) {
    // Still there only when it holds nested repositories, which stay.
    if (platform::remove_dir(dir.c_str()) == 0) {
      above.note_parent_of(dir);
      remove_empty_parents(dir, above);
      syncs = &above;
    } else if (!holds_repository(dir)) {
      set_error("delete repository failed: %s", repo);
      return -1;
    }
  }
  if (syncs->sync() != 0) {
    set_error("sync deletion failed");
    return -1;
  }
  return 0;
}

}  // namespace
}  // namespace reg

extern "C" {

int reg_repo_delete(const char* repo) {
  return reg::guarded(-1, [&] { return reg::repo_delete(repo); });
}

}  // extern "C"
