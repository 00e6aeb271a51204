// reg_retention_json: tag retention by count and age across all repositories.
//
// Every candidate keeps its whole repository and tag names: numbering per repository and the
// deletions must never mix two repositories whose names share a prefix. Every repository and
// every tag directory is seen: a rule by count ranks a tag among all tags of its repository.
// A tag passed over (its link unreadable) can only make the others rank newer, so no tag is
// selected that the whole store would keep.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/boundary.h"
#include "core/context.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "core/result.h"
#include "listings/discovery.h"
#include "manifests/protection.h"
#include "manifests/repo_lock.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {
namespace {

constexpr int kMaxListed = 500;  // entries of the report's "deleted" list
constexpr std::int64_t kSecsPerDay = 86400;

struct retention_tag {
  std::string repository;
  std::string tag;
  std::string digest;  // the link's first 71 characters (up to a NUL)
  std::int64_t time = 0;
  bool selected = false;
};

struct RetentionCounts {
  int repos_scanned = 0;
  int tags_total = 0;
  int tags_deleted = 0;
  int latest_protected = 0;
  int protected_tags = 0;
  int selected = 0;
};

struct RetentionRules {
  bool dry_run;
  int keep_n;  // clamped: 0 is off
  int days;    // clamped: 0 is off
  bool include_latest;
  std::int64_t now;
};

// The content of the tag link, as a candidate records it; false when it cannot be read or
// does not begin with "sha256:".
bool read_link_digest(const Path& link, std::string& digest) {
  char buf[kLinkReadCap];
  std::size_t len = 0;
  if (read_file(link.c_str(), buf, sizeof buf, &len) != 0 || std::strncmp(buf, "sha256:", 7) != 0)
    return false;
  digest.assign(buf, strnlen(buf, kDigestLen));
  return true;
}

void add_candidate(const std::string& repo, const std::string& tag,
                   std::vector<retention_tag>& out) {
  Path link;
  if (!manifest_tag_path(repo, tag, link)) return;
  retention_tag c;
  platform::FileAttr a;
  // A link whose attributes cannot be queried is no candidate: taken as very old, a newest
  // tag would be deleted for a passing I/O error. Passing over it never selects a tag that
  // the whole store would keep (see the head of this file).
  if (platform::get_attr(link.c_str(), &a) != 0 || !a.is_file()) return;
  if (!file_unix_time(a, &c.time)) c.time = 0;  // present, but no usable time: very old
  if (!read_link_digest(link, c.digest)) return;
  c.repository = repo;
  c.tag = tag;
  out.push_back(std::move(c));
}

void collect_candidates(const std::vector<std::string>& repos, std::vector<retention_tag>& out) {
  for (const auto& repo : repos) {
    // A name no call can address (too long, or cut by discovery) has no tags to delete.
    if (!repo_name_valid(repo.c_str())) continue;
    Path tags;
    dir_list list;
    if (!manifest_tags_dir(repo, tags) || list_dir_all(tags.c_str(), &list) != 0) continue;
    for (const auto& e : list.entries) {
      if (e.is_dir && e.name.size() <= kMaxTagLen) add_candidate(repo, e.name, out);
    }
  }
}

void select_tags(std::vector<retention_tag>& cands, const RetentionRules& r, RetentionCounts& n) {
  const std::string* repo = nullptr;
  int number = 0;
  for (auto& c : cands) {
    if (!repo || *repo != c.repository) {
      repo = &c.repository;
      number = 0;
    }
    ++number;
    const bool by_count = r.keep_n > 0 && number > r.keep_n;
    const bool by_age =
        r.days > 0 && r.now - c.time >= static_cast<std::int64_t>(r.days) * kSecsPerDay;
    if (!by_count && !by_age) continue;
    if (!r.include_latest && c.tag == "latest")
      ++n.latest_protected;
    else if (protection_rules_set() && protect_match(c.repository, c.tag))
      ++n.protected_tags;
    else {
      c.selected = true;
      ++n.selected;
    }
  }
}

// A tag pushed again since it was read is left alone: it is not the tag that was selected.
bool still_names(const retention_tag& c) {
  Path link;
  std::string digest;
  return manifest_tag_path(c.repository, c.tag, link) && read_link_digest(link, digest) &&
         digest == c.digest;
}

void delete_selected(const std::vector<retention_tag>& cands, const RetentionRules& r,
                     RetentionCounts& n) {
  for (const auto& c : cands) {
    if (!c.selected) continue;
    const RepoLock lock(c.repository);  // no push of the tag between the look and the delete
    if (r.dry_run ||
        (still_names(c) && reg_manifest_delete(c.repository.c_str(), c.tag.c_str()) == 0))
      ++n.tags_deleted;
  }
}

std::string report_entry(const retention_tag& c, std::int64_t now) {
  std::string e = "{\"repository\":\"";
  json_escape_to(e, c.repository);
  e += "\",\"tag\":\"";
  json_escape_to(e, c.tag);
  e += "\",\"digest\":\"";
  json_escape_to(e, c.digest);  // a hand-edited link may hold anything after "sha256:"
  e += "\",\"age_days\":";
  e += std::to_string((now - c.time) / kSecsPerDay);
  e += '}';
  return e;
}

// Writes the report; returns the number of entries listed. The list ends early, still valid
// JSON, when the next entry would not fit the result buffer.
int write_report(const std::vector<retention_tag>& cands, const RetentionRules& r,
                 const RetentionCounts& n) {
  ResultWriter out;
  out.reserve_tail(2);
  out.appendf(
      "{\"dry_run\":%s,\"keep_n\":%d,\"days\":%d,\"include_latest\":%s,\"repos_scanned\":%d,\"tags_"
      "total\":%d,"
      "\"tags_deleted\":%d,\"tags_kept\":%d,\"latest_protected\":%d,\"protected\":%d,\"deleted\":[",
      r.dry_run ? "true" : "false", r.keep_n, r.days, r.include_latest ? "true" : "false",
      n.repos_scanned, n.tags_total, n.tags_deleted, n.tags_total - n.tags_deleted,
      n.latest_protected, n.protected_tags);
  int listed = 0;
  for (const auto& c : cands) {
    if (!c.selected) continue;
    std::string entry = listed ? "," : "";
    entry += report_entry(c, r.now);
    if (listed == kMaxListed || !out.append(entry)) break;
    ++listed;
  }
  out.append_tail("]}");
  out.finish();
  return listed;
}

int retention_tag_cmp(const retention_tag& a, const retention_tag& b) {
  if (const int c = a.repository.compare(b.repository)) return c;
  if (a.time != b.time) return a.time > b.time ? -1 : 1;  // newest first
  return a.tag.compare(b.tag);
}

const char* retention_json(int dry_run, int keep_n, int days, int include_latest, int* truncated) {
  if (truncated) *truncated = 0;
  if (!require_ready()) return nullptr;
  RetentionCounts n;
  std::vector<retention_tag> cands;
  {
    const std::vector<std::string> repos = discover_repos();
    n.repos_scanned = static_cast<int>(repos.size());
    collect_candidates(repos, cands);
  }
  const RetentionRules r{dry_run != 0, std::max(keep_n, 0), std::max(days, 0), include_latest != 0,
                         platform::wall_clock_seconds()};
  std::sort(cands.begin(), cands.end(), [](const retention_tag& a, const retention_tag& b) {
    return retention_tag_cmp(a, b) < 0;
  });
  n.tags_total = static_cast<int>(cands.size());
  select_tags(cands, r, n);
  delete_selected(cands, r, n);
  const int listed = write_report(cands, r, n);
  if (truncated) *truncated = n.selected > listed ? 1 : 0;
  clear_error();  // also any message a failed deletion left
  return result_buffer();
}

}  // namespace
}  // namespace reg

extern "C" {

const char* reg_retention_json(int dry_run, int keep_n, int days, int include_latest,
                               int* truncated) {
  return reg::guarded<const char*>(nullptr, [&] {
    return reg::retention_json(dry_run, keep_n, days, include_latest, truncated);
  });
}

}  // extern "C"
