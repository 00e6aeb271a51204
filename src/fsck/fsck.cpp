// The store checker's walk of the root, the blob store, the uploads and the GC state; the
// repositories are checked in fsck_manifests.cpp. Nothing here writes, creates or removes.
#include "fsck/fsck.h"
#include "maintenance/gc_online.h"

#include <yyjson.h>

#include <algorithm>
#include <cstring>

#include "blobs/upload_hash.h"
#include "core/context.h"
#include "core/paths.h"
#include "core/sha256.h"
#include "fsck/fsck_internal.h"
#include "maintenance/gc_internal.h"
#include "platform/platform.h"

namespace reg {
namespace {

struct KindInfo {
  FsckKind kind;
  const char* name;
  FsckSeverity severity;
};

constexpr FsckSeverity C = FsckSeverity::corrupt;
constexpr FsckSeverity W = FsckSeverity::warning;

constexpr KindInfo kKinds[] = {
    {FsckKind::blob_digest_mismatch, "blob_digest_mismatch", C},
    {FsckKind::blob_unreadable, "blob_unreadable", C},
    {FsckKind::manifest_digest_mismatch, "manifest_digest_mismatch", C},
    {FsckKind::manifest_unreadable, "manifest_unreadable", C},
    {FsckKind::invalid_tag_link, "invalid_tag_link", C},
    {FsckKind::invalid_revision_link, "invalid_revision_link", C},
    {FsckKind::unreadable_link, "unreadable_link", C},
    {FsckKind::dangling_tag_link, "dangling_tag_link", C},
    {FsckKind::missing_blob, "missing_blob", C},
    {FsckKind::missing_child_manifest, "missing_child_manifest", C},
    {FsckKind::missing_subject_entry, "missing_subject_entry", C},
    {FsckKind::misfiled_subject_entry, "misfiled_subject_entry", C},
    {FsckKind::missing_store_directory, "missing_store_directory", C},
    {FsckKind::unreadable_directory, "unreadable_directory", C},
    {FsckKind::special_entry, "special_entry", C},
    {FsckKind::dangling_revision_link, "dangling_revision_link", W},
    {FsckKind::dangling_subject_entry, "dangling_subject_entry", W},
    {FsckKind::missing_revision_link, "missing_revision_link", W},
    {FsckKind::missing_content_type, "missing_content_type", W},
    {FsckKind::empty_content_type, "empty_content_type", W},
    {FsckKind::orphan_content_type, "orphan_content_type", W},
    {FsckKind::missing_blob_record, "missing_blob_record", W},
    {FsckKind::unparsable_manifest, "unparsable_manifest", W},
    {FsckKind::misplaced_blob, "misplaced_blob", W},
    {FsckKind::stale_upload, "stale_upload", W},
    {FsckKind::leftover_finishing, "leftover_finishing", W},
    {FsckKind::leftover_temp, "leftover_temp", W},
    {FsckKind::invalid_gc_snapshot, "invalid_gc_snapshot", W},
    {FsckKind::missing_config, "missing_config", W},
    {FsckKind::path_too_long, "path_too_long", W},
    {FsckKind::unknown_entry, "unknown_entry", W},
};

const KindInfo& kind_info(FsckKind kind) {
  for (const auto& k : kKinds)
    if (k.kind == kind) return k;
  return kKinds[0];  // unreachable: every kind is in the table
}

constexpr std::string_view kPartSuffix = ".part";
constexpr std::string_view kFinishingSuffix = ".finishing";
constexpr std::size_t kFanoutLen = 2;

bool uuid_prefix_with(std::string_view name, std::string_view suffix) {
  return name.size() == kUuidLen + suffix.size() && name.ends_with(suffix) &&
         uuid_valid(std::string(name.substr(0, kUuidLen)).c_str());
}

// ---- Blob store --------------------------------------------------------------------------

void check_blob(FsckWalk& w, const FsckPath& fanout, std::string_view fanout_name,
                const dir_entry& e) {
  FsckPath f;
  if (!fsck_child(w, fanout, e.name, f)) return;
  if (e.is_dir || !hex64_valid(e.name.c_str())) return fsck_stray(w, f, e);
  if (std::string_view(e.name).substr(0, kFanoutLen) != fanout_name) {
    w.add(FsckKind::misplaced_blob, f.rel, "blob file outside the fan-out directory of its name");
    return;
  }
  unsigned char bin[32];
  platform::FileAttr a;
  if (platform::get_attr(f.abs.c_str(), &a) != 0 || sha256_file(f.abs.c_str(), bin) != 0) {
    if (!fsck_gone(f.abs)) w.add(FsckKind::blob_unreadable, f.rel, "blob cannot be read");
    return;
  }
  char hex[kHexLen + 1];
  bin_to_hex(bin, hex);
  if (e.name != hex)
    w.add(FsckKind::blob_digest_mismatch, f.rel, std::string("content hashes to sha256:") + hex);
  ++w.report.counts.blobs;
  w.report.counts.blob_bytes += static_cast<std::int64_t>(a.size);
}

void check_blobs(FsckWalk& w, const FsckPath& blobs) {
  std::vector<dir_entry> top, fans, items;
  if (!fsck_list(w, blobs, top)) return;
  bool have_sha = false;
  for (const auto& e : top) {
    FsckPath p;
    if (!fsck_child(w, blobs, e.name, p)) continue;
    if (e.is_dir && e.name == "sha256")
      have_sha = true;
    else
      fsck_stray(w, p, e);
  }
  FsckPath sha;
  if (!have_sha) {
    w.add(FsckKind::missing_store_directory, "blobs/sha256", "the blob store directory is missing");
    return;
  }
  if (!fsck_child(w, blobs, "sha256", sha) || !fsck_list(w, sha, fans)) return;
  for (const auto& f : fans) {
    FsckPath fan;
    if (!fsck_child(w, sha, f.name, fan)) continue;
    const bool fan_name =
        f.name.size() == kFanoutLen && std::all_of(f.name.begin(), f.name.end(), [](char c) {
          return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        });
    if (!f.is_dir || !fan_name) {
      fsck_stray(w, fan, f);
      continue;
    }
    if (!fsck_list(w, fan, items)) continue;
    for (const auto& e : items) check_blob(w, fan, f.name, e);
  }
}

// ---- Uploads and GC state -----------------------------------------------------------------

void check_upload(FsckWalk& w, const FsckPath& p, const dir_entry& e) {
  if (e.is_dir && e.name == kUploadHashDir) return;     // hash states of open uploads
  if (e.is_dir && e.name == kUploadSessionDir) return;  // a server's sessions of open uploads
  if (!e.is_dir && uuid_prefix_with(e.name, kFinishingSuffix)) {
    w.add(FsckKind::leftover_finishing, p.rel,
          "upload set aside by a finish that is running or was cut short");
    return;
  }
  if (e.is_dir || !uuid_prefix_with(e.name, kPartSuffix)) return fsck_stray(w, p, e);
  platform::FileAttr a;
  std::int64_t t = 0;
  if (platform::get_attr(p.abs.c_str(), &a) != 0 || !file_unix_time(a, &t))
    return;  // gone meanwhile
  if (w.now - t >= kStaleUploadSecs)
    w.add(FsckKind::stale_upload, p.rel,
          "upload idle for " + std::to_string(w.now - t) + " s; the next collection removes it");
  else
    ++w.report.counts.uploads;
}

void check_uploads(FsckWalk& w, const FsckPath& uploads) {
  std::vector<dir_entry> list;
  if (!fsck_list(w, uploads, list)) return;
  for (const auto& e : list) {
    FsckPath p;
    if (fsck_child(w, uploads, e.name, p)) check_upload(w, p, e);
  }
}

void check_gc_snapshot(FsckWalk& w, const FsckPath& p) {
  std::string text;
  if (!read_file_alloc(p.abs.c_str(), text)) return;  // gone meanwhile, or read as idle
  DocPtr doc(yyjson_read(text.data(), text.size(), 0));
  if (!doc || !yyjson_is_obj(yyjson_doc_get_root(doc.get())))
    w.add(FsckKind::invalid_gc_snapshot, p.rel,
          "progress snapshot is no JSON object (read as idle)");
}

void check_gc_state(FsckWalk& w, const FsckPath& gc) {
  std::vector<dir_entry> list;
  if (!fsck_list(w, gc, list)) return;
  for (const auto& e : list) {
    FsckPath p;
    if (!fsck_child(w, gc, e.name, p)) continue;
    // "lock" is the operator tool's lock file between pushes and collections, "clock" the
    // file a collection takes the store's time from, and "control.sock" the socket through
    // which a running server takes collection requests.
    const bool known =
        !e.is_dir && (e.name == "progress.json" || e.name == "cancel" || e.name == "last_run" ||
                      e.name == "lock" || e.name == "clock");
    if (!known)
      fsck_stray(w, p, e);
    else if (e.name == "progress.json")
      check_gc_snapshot(w, p);
  }
}

// ---- Root ---------------------------------------------------------------------------------

void check_root(FsckWalk& w, const FsckPath& root) {
  std::vector<dir_entry> list;
  if (!fsck_list(w, root, list)) return;
  bool have_config = false, have_blobs = false, have_repos = false, have_uploads = false;
  for (const auto& e : list) {
    FsckPath p;
    if (!fsck_child(w, root, e.name, p)) continue;
    if (!e.is_dir && e.name == "config.json") {
      have_config = true;
    } else if (!e.is_dir && e.name == "durability") {
      // the operator tool's record of the store's durability setting
    } else if (e.is_dir && e.name == "blobs") {
      have_blobs = true;
      check_blobs(w, p);
    } else if (e.is_dir && e.name == "repositories") {
      have_repos = true;
      fsck_check_repositories(w, p);
    } else if (e.is_dir && e.name == "uploads") {
      have_uploads = true;
      check_uploads(w, p);
    } else if (e.is_dir && e.name == "_gc") {
      check_gc_state(w, p);
    } else {
      fsck_stray(w, p, e);
    }
  }
  if (!have_config)
    w.add(FsckKind::missing_config, "config.json",
          "missing (the library writes but never reads it)");
  if (!have_blobs)
    w.add(FsckKind::missing_store_directory, "blobs", "the blob store directory is missing");
  if (!have_repos)
    w.add(FsckKind::missing_store_directory, "repositories",
          "the repositories directory is missing");
  if (!have_uploads)
    w.add(FsckKind::missing_store_directory, "uploads", "the uploads directory is missing");
}

// Index children may live in any repository, so they are checked once all bodies are known.
void check_children(FsckWalk& w) {
  for (const auto& c : w.children)
    if (!w.bodies.count(c.digest.substr(kDigestPrefix.size())))
      w.add(FsckKind::missing_child_manifest, c.where,
            "names " + c.digest + ", which no repository stores");
}

}  // namespace

const char* fsck_kind_name(FsckKind kind) { return kind_info(kind).name; }
FsckSeverity fsck_kind_severity(FsckKind kind) { return kind_info(kind).severity; }

int FsckReport::corrupt() const {
  return static_cast<int>(std::count_if(findings.begin(), findings.end(), [](const FsckFinding& f) {
    return fsck_kind_severity(f.kind) == FsckSeverity::corrupt;
  }));
}

int FsckReport::warnings() const { return static_cast<int>(findings.size()) - corrupt(); }

void FsckWalk::add(FsckKind kind, const std::string& path, std::string detail) {
  report.findings.push_back(FsckFinding{kind, path, std::move(detail)});
}

bool fsck_child(FsckWalk& w, const FsckPath& dir, std::string_view name, FsckPath& out) {
  out.rel = dir.rel.empty() ? std::string(name) : dir.rel + "/" + std::string(name);
  if (child_path(dir.abs, name, out.abs)) return true;
  w.add(FsckKind::path_too_long, out.rel, "path longer than 4095 characters; not checked");
  return false;
}

bool fsck_gone(const Path& path) {
  platform::FileAttr a;
  return platform::get_attr(path.c_str(), &a) == platform::kErrNotFound;
}

bool fsck_list(FsckWalk& w, const FsckPath& dir, std::vector<dir_entry>& out) {
  dir_list list;
  out.clear();
  if (list_dir_all(dir.abs.c_str(), &list) != 0) {
    if (!fsck_gone(dir.abs))
      w.add(FsckKind::unreadable_directory, dir.rel, "directory cannot be listed; not checked");
    return false;
  }
  out.clear();
  // Readers treat links and special files as absent; here each is reported once and the
  // rest of the walk never looks at it.
  for (auto& e : list.entries) {
    if (e.kind == platform::Kind::file || e.kind == platform::Kind::dir) {
      out.push_back(std::move(e));
      continue;
    }
    const std::string rel = dir.rel.empty() ? e.name : dir.rel + "/" + e.name;
    if (rel == "_gc/control.sock" && e.kind == platform::Kind::socket) continue;  // a server's
    w.add(FsckKind::special_entry, rel,
          std::string(platform::kind_name(e.kind)) + " in the store (never followed or read)");
  }
  std::sort(out.begin(), out.end(),
            [](const dir_entry& a, const dir_entry& b) { return a.name < b.name; });
  return true;
}

bool fsck_is_temp_name(std::string_view name) {
  return name.size() > 1 && name[0] == '.' && name.find(".tmp-", 1) != std::string_view::npos;
}

void fsck_stray(FsckWalk& w, const FsckPath& p, const dir_entry& e) {
  if (!e.is_dir && fsck_is_temp_name(e.name))
    w.add(FsckKind::leftover_temp, p.rel, "temporary file of a write that did not complete");
  else
    w.add(FsckKind::unknown_entry, p.rel, e.is_dir ? "unexpected directory" : "unexpected file");
}

bool fsck_attach(const char* root) {
  if (!root || !*root) {
    set_error("storage root dir is empty");
    return false;
  }
  const std::size_t len = std::strlen(root);
  if (len > kRootCap - 1) {
    set_error("storage root dir too long (max 3499 chars)");
    return false;
  }
  char dir[kRootCap];
  std::memcpy(dir, root, len + 1);
  if (len > 1 && dir[len - 1] == platform::kSep) dir[len - 1] = '\0';
  platform::FileAttr a;
  const ContextChange change;
  platform::attach_root(nullptr);
  if (platform::get_attr(dir, &a) != 0 || !a.is_dir || platform::attach_root(dir) != 0) {
    set_error("storage root is not a directory: %s", dir);
    return false;
  }
  std::memcpy(s_root, dir, sizeof dir);
  s_ready = 1;
  clear_error();
  return true;
}

bool fsck_store(FsckReport& out) {
  out = FsckReport{};
  if (!require_ready()) return false;
  FsckWalk w{out, platform::wall_clock_seconds(), {}, {}};
  const FsckPath root{s_root, ""};
  check_root(w, root);
  check_children(w);
  out.counts.untagged_manifests = gc_count_untagged();
  return true;
}

}  // namespace reg
