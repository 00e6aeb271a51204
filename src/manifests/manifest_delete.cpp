// Manifest deletion: by tag (the tag, and the manifest once no tag names it) or by digest (the
// manifest and every tag naming it).
//
// Every scan of the tags directory sees all of its entries: whether another tag still names a
// manifest, or whether a protected one does, cannot be decided on a listing cut at 512.
#include <string>
#include <vector>

#include "core/boundary.h"
#include "core/context.h"
#include "core/durability.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "manifests/index_children.h"
#include "manifests/manifest_store.h"
#include "manifests/protection.h"
#include "manifests/repo_lock.h"
#include "manifests/subject_index.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {
namespace {

// What one scan of the tags directory learned about a manifest.
struct TagScan {
  std::vector<std::string> naming;  // tag directories whose links name it
  bool complete = true;             // false: an existing listing or link could not be read
};

TagScan scan_tags(const char* repo, const Path& tags_dir, std::string_view hex) {
  TagScan scan;
  dir_list list;
  if (int e = list_dir_all_status(tags_dir.c_str(), &list)) {
    scan.complete = platform::is_absent(e);  // no tags directory: no tags at all
    return scan;
  }
  for (const auto& e : list.entries) {
    if (!e.is_dir) continue;
    switch (tag_link_names(repo, e.name, hex)) {
      case TagLink::names:
        scan.naming.push_back(e.name);
        break;
      case TagLink::unknown:
        scan.complete = false;
        break;
      case TagLink::other:
        break;
    }
  }
  return scan;
}

void remove_if_file(const Path& p) {
  if (is_file(p.c_str())) platform::remove_file(p.c_str());
}

// Body, content type and revision link. The body decides whether the manifest is stored:
// false when it could not be removed, and then the other two stay with it. Their own removal
// failures are not reported, as readers tolerate both without a body and a later deletion
// removes them.
bool remove_manifest_files(const char* repo, const char* hex, bool with_rev_dir,
                           DirSyncs& syncs) {
  Path body, ct, rev_link, rev_dir;
  if (!manifest_body_path(repo, hex, body) || !manifest_ct_path(repo, hex, ct) ||
      !manifest_rev_path(repo, hex, rev_link) || !manifest_rev_dir(repo, hex, rev_dir))
    return false;  // unreachable: a root of 3499 and a name of 255 characters leave room for these
  // The body names the subject whose index entry goes with it; read before it is removed.
  std::string text;
  const bool have_text = read_file_alloc(body.c_str(), text);
  // Removed without asking first: a failed query would pass for a missing body.
  const int e = platform::remove_file(body.c_str());
  if (e != 0 && e != platform::kErrNotFound) return false;
  if (have_text) subject_index_remove(repo, hex, text);
  remove_if_file(ct);
  remove_if_file(rev_link);
  if (with_rev_dir) platform::remove_dir(rev_dir.c_str());  // only when empty
  syncs.note_parent_of(rev_link);
  syncs.note_parent_of(rev_dir);
  syncs.note_parent_of(body);
  return true;
}

int delete_tag(const char* repo, const char* tag, const char* hex) {
  if (protection_rules_set() && protect_match(repo, tag)) {
    set_error("TAG_IMMUTABLE: %s:%s", repo, tag);
    return -1;
  }
  Path link, tags_dir;
  if (!manifest_tag_path(repo, tag, link) || !manifest_tags_dir(repo, tags_dir)) {
    set_error("path too long");
    return -1;
  }
  // Only the link goes: the tag ends with it, and its empty directories stay. The resolution
  // has just read it, so it is removed without asking first: a failed query would pass for a
  // missing link, and the tag would outlive a deletion reported as done.
  const int removed = platform::remove_file(link.c_str());
  if (removed != 0 && removed != platform::kErrNotFound) {
    set_error("delete tag failed");
    return -1;
  }
  DirSyncs syncs;
  syncs.note_parent_of(link);
  // A tag that could not be read may still name the manifest: it stays, for a later deletion
  // by digest, rather than be lost under a tag.
  const TagScan scan = scan_tags(repo, tags_dir, hex);
  // The tag is gone either way; a manifest whose body stays is merely left untagged. One that
  // an index of this repository lists stays too: removing it would break the index (the
  // collector keeps its blobs, as it marks through the index).
  if (scan.naming.empty() && scan.complete &&
      index_lists_child(repo, hex) == IndexChild::not_listed)
    remove_manifest_files(repo, hex, false, syncs);
  // A deletion reported done does not come back after a power cut.
  if (syncs.sync() != 0) {
    set_error("sync deletion failed");
    return -1;
  }
  return 0;
}

int delete_digest(const char* repo, const char* reference, const char* hex) {
  Path tags_dir;
  if (!manifest_tags_dir(repo, tags_dir)) {
    set_error("path too long");
    return -1;
  }
  // One scan decides everything before the first removal, so that a deletion that fails on
  // a protected tag or on a tag it cannot read has removed nothing: such a tag may name the
  // manifest, and is neither removed nor left dangling.
  const TagScan scan = scan_tags(repo, tags_dir, hex);
  if (protection_rules_set()) {
    for (const auto& name : scan.naming) {
      if (protect_match(repo, name)) {
        set_error("TAG_IMMUTABLE: %s:%s", repo, name.c_str());  // the tag that holds it
        return -1;
      }
    }
  }
  if (!scan.complete) {
    set_error("delete manifest tags failed: %s@%s", repo, reference);
    return -1;
  }
  bool failed = false;
  DirSyncs syncs;
  syncs.note(tags_dir);
  syncs.note_parent_of(tags_dir);
  for (const auto& name : scan.naming) {
    Path dir;
    if (!manifest_tag_dir(repo, name, dir) || delete_tree(dir.c_str()) != 0) failed = true;
  }
  platform::remove_dir(tags_dir.c_str());  // only when empty; a missing one is fine
  if (failed) {
    set_error("delete manifest tags failed: %s@%s", repo, reference);
    return -1;
  }
  // The tags are gone; a manifest that is still stored must not be reported deleted.
  if (!remove_manifest_files(repo, hex, true, syncs)) {
    set_error("delete manifest failed: %s@%s", repo, reference);
    return -1;
  }
  if (syncs.sync() != 0) {
    set_error("sync deletion failed");
    return -1;
  }
  return 0;
}

int manifest_delete(const char* repo, const char* reference) {
  if (!repo || !reference) {
    set_error("NULL argument");
    return -1;
  }
  if (!require_ready()) return -1;
  if (!repo_name_valid(repo)) {
    set_error("invalid repository name");
    return -1;
  }
  const bool by_digest = is_digest_reference(reference);
  if (!by_digest && !tag_name_valid(reference)) {
    set_error("invalid tag: %s", reference);
    return -1;
  }
  const RepoLock lock(repo);
  char hex[kHexLen + 1];
  if (manifest_resolve(repo, reference, hex) != 0) return -1;
  return by_digest ? delete_digest(repo, reference, hex) : delete_tag(repo, reference, hex);
}

}  // namespace
}  // namespace reg

extern "C" {

int reg_manifest_delete(const char* repo, const char* reference) {
  return reg::guarded(-1, [&] { return reg::manifest_delete(repo, reference); });
}

}  // extern "C"
