#include "fsck/crash_repair.h"

#include <cstdint>

#include "core/context.h"
#include "core/durability.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "maintenance/gc_internal.h"
#include "platform/platform.h"

namespace reg {
namespace {

// A temporary file lives for one write; a minute of idleness means its writer is gone.
constexpr std::int64_t kTempIdleSecs = 60;

std::string absolute(const std::string& rel) { return std::string(s_root) + platform::kSep + rel; }

// Whether the file is there, regular, and (when min_idle > 0) untouched for min_idle seconds.
bool removable(const std::string& path, std::int64_t min_idle, bool empty_only) {
  platform::FileAttr a;
  if (platform::get_attr(path.c_str(), &a) != 0 || !a.is_file()) return false;
  if (empty_only && a.size != 0) return false;
  std::int64_t t = 0;
  return min_idle <= 0 ||
         (file_unix_time(a, &t) && platform::wall_clock_seconds() - t >= min_idle);
}

// What the repair does with a finding's file, or nullptr when it leaves it.
struct Action {
  const char* why;
  std::int64_t min_idle = 0;
  bool empty_only = false;
};

bool action_for(const FsckFinding& f, Action& a) {
  switch (f.kind) {
    case FsckKind::leftover_temp:
      a = {"temporary file of a write that did not complete", kTempIdleSecs};
      return true;
    case FsckKind::leftover_finishing:
      a = {"upload set aside by a finish that was cut short", kStaleUploadSecs};
      return true;
    case FsckKind::blob_digest_mismatch:
      a = {"the next push uploads it again"};
      return true;
    case FsckKind::invalid_tag_link:
      a = {"empty tag link; the tag is gone, a push makes it again", 0, true};
      return true;
    case FsckKind::invalid_revision_link:
      a = {"empty revision link; a push makes it again", 0, true};
      return true;
    case FsckKind::empty_content_type:
      a = {"empty content-type file; the default media type is served", 0, true};
      return true;
    default:
      return false;
  }
}

// "repositories/<repo>/_manifests/<hex>" -> repo and hex.
bool split_body_path(const std::string& rel, std::string& repo, std::string& hex) {
  const std::string top = "repositories/", mid = "/_manifests/";
  const std::size_t at = rel.rfind(mid);
  if (rel.rfind(top, 0) != 0 || at == std::string::npos || at < top.size()) return false;
  repo = rel.substr(top.size(), at - top.size());
  hex = rel.substr(at + mid.size());
  return hex64_valid(hex.c_str());
}

// The tags of `repo` whose link names sha256:`hex`, in byte order.
std::string tags_naming(const std::string& repo, const std::string& hex) {
  Path dir, link;
  dir_list tags;
  std::string names;
  if (!manifest_tags_dir(repo.c_str(), dir) || list_dir_all(dir.c_str(), &tags) != 0) return "";
  std::vector<std::string> sorted;
  for (const auto& e : tags.entries) sorted.push_back(e.name);
  sort_str(sorted);
  for (const auto& tag : sorted) {
    char buf[kLinkReadCap];
    std::size_t n = 0;
    if (!manifest_tag_path(repo.c_str(), tag.c_str(), link) ||
        read_file(link.c_str(), buf, sizeof buf, &n) != 0)
      continue;
    if (std::string_view(buf, n) == std::string(kDigestPrefix) + hex)
      names += (names.empty() ? "" : ", ") + tag;
  }
  return names;
}

void report_damaged_manifest(const FsckFinding& f, CrashRepair& out) {
  std::string repo, hex;
  if (!split_body_path(f.path, repo, hex)) return;
  const std::string tags = tags_naming(repo, hex);
  out.damaged_manifests.push_back(repo + "@" + std::string(kDigestPrefix) + hex + ": " + f.detail +
                                  (tags.empty() ? " (no tag names it)" : " (tags: " + tags + ")") +
                                  "; push it again");
}

}  // namespace

void repair_crash_leftovers(const FsckReport& check, CrashRepair& out) {
  out = CrashRepair{};
  DirSyncs syncs;
  for (const FsckFinding& f : check.findings) {
    if (f.kind == FsckKind::manifest_digest_mismatch) {
      report_damaged_manifest(f, out);
      continue;
    }
    Action a{};
    if (!action_for(f, a)) continue;
    const std::string path = absolute(f.path);
    if (!removable(path, a.min_idle, a.empty_only)) continue;
    if (platform::remove_file(path.c_str()) != 0) {
      ++out.not_removed;
      continue;
    }
    syncs.note_parent_of(path);
    const bool blob = f.kind == FsckKind::blob_digest_mismatch;
    out.removed.push_back(f.path + ": " + (blob ? "damaged blob (" + f.detail + "); " : "") +
                          a.why);
  }
  // The removals stand once their directories are synced: a cut after the repair does not
  // bring an empty blob back to be taken for the real one.
  if (syncs.sync() != 0) ++out.not_removed;
}

}  // namespace reg

namespace reg {

bool repair_store(StoreRepair& out) {
  out = StoreRepair{};
  FsckReport check;
  if (!fsck_store(check)) return false;
  repair_crash_leftovers(check, out.crash);
  return fsck_repair(out.index);
}

std::string store_repair_text(const StoreRepair& r) {
  std::string text;
  for (const auto& line : r.crash.removed) text += "repair: removed " + line + "\n";
  for (const auto& line : r.crash.damaged_manifests)
    text += "repair: damaged manifest " + line + "\n";
  text += "repair: " + std::to_string(r.crash.removed.size()) + " files removed, " +
          std::to_string(r.crash.damaged_manifests.size()) + " damaged manifests kept";
  if (r.crash.not_removed > 0)
    text += ", " + std::to_string(r.crash.not_removed) + " files could not be removed";
  return text + "\n" + fsck_repair_text(r.index);
}

}  // namespace reg
