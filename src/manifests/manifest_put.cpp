// Manifest upload: validation of the document and of everything it names, tag protection,
// then the four kinds of file (body, content type, revision link, tag link).
#include <yyjson.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/boundary.h"
#include "core/context.h"
#include "core/durability.h"
#include "core/fileutil.h"
#include "core/json_members.h"
#include "core/paths.h"
#include "core/sha256.h"
#include "listings/discovery.h"
#include "manifests/manifest_store.h"
#include "manifests/blob_records.h"
#include "manifests/protection.h"
#include "manifests/repo_lock.h"
#include "manifests/subject_index.h"
#include "reg_storage.h"

namespace reg {
namespace {

// Discovery walks nine levels: a deeper repository would be invisible to every listing.
constexpr int kMaxRepoComponents = kMaxRepoDepth + 1;
constexpr std::size_t kMaxMediaTypeLen = 255;
constexpr std::size_t kMaxContentTypeLen = 126;

struct DocFree {
  void operator()(yyjson_doc* d) const noexcept { yyjson_doc_free(d); }
};
using DocPtr = std::unique_ptr<yyjson_doc, DocFree>;

// Every file and directory one push touches, built before anything is read or written.
struct PutPaths {
  Path manifests, body, ct, rev_dir, rev_link, tag_dir, tag_link;
};

bool build_put_paths(const char* repo, const char* hex, const char* tag, PutPaths& p) {
  if (!manifests_dir(repo, p.manifests) || !manifest_body_path(repo, hex, p.body) ||
      !manifest_ct_path(repo, hex, p.ct) || !manifest_rev_dir(repo, hex, p.rev_dir) ||
      !manifest_rev_path(repo, hex, p.rev_link))
    return false;
  if (tag && (!manifest_tag_current_dir(repo, tag, p.tag_dir) ||
              !manifest_tag_path(repo, tag, p.tag_link)))
    return false;
  return write_file_fits(p.body) && write_file_fits(p.ct) && write_file_fits(p.rev_link) &&
         (!tag || write_file_fits(p.tag_link));
}

// The digests of a descriptor: every "digest" member, each a string of exactly 71 characters
// that digest_valid accepts (the length test keeps an embedded NUL from passing off a longer
// text as a digest). Empty when there is none or one is not valid.
std::vector<const char*> descriptor_digests(yyjson_val* desc) {
  std::vector<const char*> out;
  const bool valid = each_member(desc, "digest", [&](yyjson_val* d) {
    if (!yyjson_is_str(d) || yyjson_get_len(d) != kDigestLen || !digest_valid(yyjson_get_str(d)))
      return false;
    out.push_back(yyjson_get_str(d));
    return true;
  });
  if (!valid) out.clear();
  return out;
}

// The index children are looked for in this repository first; the walk of the whole store
// runs at most once per push, and only when some child is stored elsewhere. It sees every
// repository, also those beyond the catalog's count, depth and listing limits.
class ChildFinder {
 public:
  explicit ChildFinder(const char* repo) : repo_(repo) {}
  bool stored(const char* hex) {
    if (body_in(repo_, hex)) return true;
    if (!walked_) {
      discover_all_repos(repos_);  // an incomplete walk still searches what it saw
      walked_ = true;
    }
    for (const auto& r : repos_)
      if (body_in(r, hex)) return true;
    return false;
  }

 private:
  static bool body_in(std::string_view repo, const char* hex) {
    Path p;
    return manifest_body_path(repo, hex, p) && confirm_file(p.c_str()) == Presence::file;
  }
  const char* repo_;
  std::vector<std::string> repos_;
  bool walked_ = false;
};

bool validate_index(yyjson_val* manifests, ChildFinder& finder) {
  if (!yyjson_is_arr(manifests)) {
    set_error("manifest \"manifests\" must be an array");
    return false;
  }
  if (yyjson_arr_size(manifests) == 0) {
    set_error("manifest index must reference at least 1 manifest");
    return false;
  }
  std::size_t i, n;
  yyjson_val* entry;
  yyjson_arr_foreach(manifests, i, n, entry) {
    const std::vector<const char*> digests = descriptor_digests(entry);
    if (digests.empty()) {
      set_error("manifest index entry %zu missing valid digest", i);
      return false;
    }
    for (const char* digest : digests) {
      if (!finder.stored(digest + kDigestPrefix.size())) {
        set_error("BLOB_UNKNOWN: %s", digest);
        return false;
      }
    }
  }
  return true;
}

// Asked of the file system, not of cached attributes: on a shared store a collection on another
// host may have removed the blob a moment ago, and acknowledging the manifest would lose it.
// A blob that cannot be looked up is no unknown blob: the client would upload it again to no
// end, while the store needs an operator.
bool all_stored(const std::vector<const char*>& digests) {
  for (const char* digest : digests) {
    Path p;
    const Presence got =
        blob_path_for_digest(digest, p) ? confirm_file(p.c_str()) : Presence::absent;
    if (got == Presence::file) continue;
    if (got == Presence::unreadable)
      set_error("cannot read blob: %s", digest);
    else
      set_error("BLOB_UNKNOWN: %s", digest);
    return false;
  }
  return true;
}

bool validate_config(yyjson_val* config) {
  const std::vector<const char*> digests = descriptor_digests(config);
  if (digests.empty()) {
    set_error("manifest missing valid config.digest");
    return false;
  }
  return all_stored(digests);
}

bool validate_layers(yyjson_val* layers) {
  if (!yyjson_is_arr(layers)) {
    set_error("manifest layers must be an array");
    return false;
  }
  std::size_t i, n;
  yyjson_val* layer;
  yyjson_arr_foreach(layers, i, n, layer) {
    const std::vector<const char*> digests = descriptor_digests(layer);
    if (digests.empty()) {
      set_error("manifest layer %zu missing valid digest", i);
      return false;
    }
    if (!all_stored(digests)) return false;
  }
  return true;
}

// Every occurrence of a key is checked: a body naming a second config or layer list under
// the same key must not slip a missing blob past the check of the first.
bool validate_image(yyjson_val* root) {
  if (!yyjson_obj_get(root, "config")) {
    set_error("manifest missing valid config.digest");
    return false;
  }
  return each_member(root, "config", validate_config) &&
         each_member(root, "layers", validate_layers);
}

// Parses and checks the document; fills the body's own media type when it has a usable one.
bool validate_manifest(const char* repo, const char* body, std::size_t len,
                       std::string& media_type) {
  // Without YYJSON_READ_INSITU the input is only read, never written.
  DocPtr doc(yyjson_read_opts(const_cast<char*>(body), len, 0, nullptr, nullptr));
  if (!doc) {
    set_error("manifest JSON parse failed");
    return false;
  }
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root)) {
    set_error("manifest must be a JSON object");
    return false;
  }
  if (yyjson_obj_size(root) == 0) {
    set_error("manifest missing valid config.digest");
    return false;
  }
  yyjson_val* mt = yyjson_obj_get(root, "mediaType");
  if (yyjson_is_str(mt) && yyjson_get_len(mt) >= 1 && yyjson_get_len(mt) <= kMaxMediaTypeLen)
    media_type.assign(yyjson_get_str(mt), yyjson_get_len(mt));
  if (yyjson_obj_get(root, "manifests")) {
    ChildFinder finder(repo);
    return each_member(root, "manifests", [&](yyjson_val* m) { return validate_index(m, finder); });
  }
  return validate_image(root);
}

// The client's type wins unless it is absent or the generic default, which the body's own
// media type refines.
std::string_view choose_content_type(const char* content_type, const std::string& media_type) {
  if (content_type && *content_type && kDefaultMediaType != content_type) return content_type;
  return media_type.empty() ? kDefaultMediaType : std::string_view(media_type);
}

// A protected tag may be pushed again only with the bytes it already names.
bool protected_tag_moves(const char* repo, const char* tag, const char* hex) {
  if (!protection_rules_set() || !protect_match(repo, tag)) return false;
  char buf[kLinkReadCap];
  std::size_t n = 0;
  if (!read_tag_link(repo, tag, buf, sizeof buf, &n)) return false;
  const std::string_view link(buf, n);
  return link.starts_with(kDigestPrefix) && link.substr(kDigestPrefix.size()) != hex;
}

// A directory it creates becomes durable with its parents' entries, synced after the
// directory itself, which gets the new files.
bool ensure_dir(const Path& dir, DirSyncs& syncs) {
  syncs.note(dir);
  return syncs.make_dirs(dir.c_str()) == 0;
}

// The directory of the blob record, synced before the body so that the blobs a stored
// manifest names are readable through its repository after a power cut too.
void note_records_dir(const PutPaths& p, DirSyncs& syncs) {
  Path records;
  if (child_path(p.manifests, kBlobRecordsDirName, records)) syncs.note(records);
}

int write_manifest_files(const PutPaths& p, const char* repo, const char* body, std::size_t len,
                         std::string_view ct, const char* hex, bool tagged,
                         const SubjectRef* subject) {
  DirSyncs syncs;
  note_records_dir(p, syncs);
  if (!ensure_dir(p.manifests, syncs)) {
    set_error("mkdirs manifests dir failed");
    return -1;
  }
  // Before the body, and durable before it: a push cut short leaves an entry without body,
  // which readers pass over, never a referrer the index misses.
  DirSyncs subject_syncs;
  if (subject && subject_index_add(repo, hex, *subject, subject_syncs) != 0) {
    set_error("write subject index failed");
    return -1;
  }
  if (subject_syncs.sync() != 0) {
    set_error("sync manifest failed");
    return -1;
  }
  // The blobs it names become readable through the repository, before the manifest exists.
  if (blob_records_add(repo, blobs_named_by(std::string_view(body, len))) != 0) {
    set_error("write blob record failed");
    return -1;
  }
  if (write_file_durable(p.body.c_str(), body, len) != 0) {
    set_error("write manifest body failed");
    return -1;
  }
  if (write_file_durable(p.ct.c_str(), ct.data(), ct.size()) != 0) {
    set_error("write manifest ct failed");
    return -1;
  }
  if (!ensure_dir(p.rev_dir, syncs)) {
    set_error("mkdirs revision dir failed");
    return -1;
  }
  char link[80];
  std::snprintf(link, sizeof link, "sha256:%s", hex);
  if (write_file_durable(p.rev_link.c_str(), link, kDigestLen) != 0) {
    set_error("write revision link failed");
    return -1;
  }
  if (tagged) {
    if (!ensure_dir(p.tag_dir, syncs)) {
      set_error("mkdirs tag dir failed");
      return -1;
    }
    if (write_file_durable(p.tag_link.c_str(), link, kDigestLen) != 0) {
      set_error("write tag link failed");
      return -1;
    }
  }
  // Every file is written and renamed; each directory they changed is synced once, the
  // tag's last. A failure here leaves the files in place: a retry writes them again and
  // syncs.
  if (syncs.sync() != 0) {
    set_error("sync manifest failed");
    return -1;
  }
  return 0;
}

int manifest_put(const char* repo, const char* reference, const char* body, std::size_t body_len,
                 const char* content_type, char* digest_out) {
  if (!repo || !reference || !body || !digest_out) {
    set_error("NULL argument");
    return -1;
  }
  if (!require_ready()) return -1;
  if (!repo_name_valid(repo) || repo_component_count(repo) > kMaxRepoComponents) {
    set_error("invalid repository name: %s", repo);
    return -1;
  }
  if (!*reference) {
    set_error("empty reference");
    return -1;
  }
  const char* tag = is_digest_reference(reference) ? nullptr : reference;
  if (tag && !tag_name_valid(tag)) {
    set_error("invalid tag: %s", tag);
    return -1;
  }
  if (body_len > kMaxManifestBody) {
    set_error("manifest too large (max 1048575 bytes)");
    return -1;
  }
  // The digest is the name of every file: hashing first lets all paths be checked up front.
  char hex[kHexLen + 1];
  sha256_hex(std::string_view(body, body_len), hex);
  PutPaths paths;
  if (!build_put_paths(repo, hex, tag, paths)) {
    set_error("path too long");
    return -1;
  }
  // A tag is one directory name. One longer than a name may be could never be written, and
  // the push would fail only after storing the body, untagged.
  if (tag && std::strlen(tag) > kMaxTagLen) {
    set_error("invalid tag: %s", tag);
    return -1;
  }
  std::string media_type;
  if (!validate_manifest(repo, body, body_len, media_type)) return -1;
  const RepoLock lock(repo);  // the protection check and the writes it allows are one step
  if (tag && protected_tag_moves(repo, tag, hex)) {
    set_error("TAG_IMMUTABLE: %s:%s", repo, tag);
    return -1;
  }
  const std::string_view ct = choose_content_type(content_type, media_type);
  // Retrieval hands back at most 126 characters: a longer type would come back cut.
  if (ct.size() > kMaxContentTypeLen) {
    set_error("content type too long (max 126 characters)");
    return -1;
  }
  SubjectRef subject;
  const bool has_subject = subject_ref_of(std::string_view(body, body_len), hex, ct, subject);
  if (has_subject && !subject_entry_fits(repo, subject.subject_hex, hex)) {
    set_error("path too long");
    return -1;
  }
  if (write_manifest_files(paths, repo, body, body_len, ct, hex, tag != nullptr,
                           has_subject ? &subject : nullptr) != 0)
    return -1;
  std::snprintf(digest_out, kDigestLen + 1, "sha256:%s", hex);
  return 0;
}

}  // namespace
}  // namespace reg

extern "C" {

int reg_manifest_put(const char* repo, const char* reference, const char* body, size_t body_len,
                     const char* content_type, char* digest_out) {
  return reg::guarded(-1, [&] {
    return reg::manifest_put(repo, reference, body, body_len, content_type, digest_out);
  });
}

}  // extern "C"
