// The mark: every digest named by the config, layers or manifests of a stored manifest.
#include <algorithm>
#include <cstring>
#include <new>

#include "core/context.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "core/sha256.h"
#include "listings/discovery.h"
#include "maintenance/gc_internal.h"
#include "platform/platform.h"

namespace reg {
namespace {

constexpr std::size_t kFoldAt = 4096;  // below this the array is left to grow unfolded

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// `hex` must be 64 lowercase hex digits (checked by the callers).
std::array<unsigned char, 32> hex_to_bin(std::string_view hex) {
  std::array<unsigned char, 32> out{};
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<unsigned char>(hex_value(hex[2 * i]) << 4 | hex_value(hex[2 * i + 1]));
  return out;
}

// Calls fn on the value of every member named `key`: duplicate keys are legal for the parser,
// and a client may honour any of them, so each one marks.
template <class Fn>
void for_each_member(yyjson_val* obj, std::string_view key, Fn&& fn) {
  yyjson_obj_iter it = yyjson_obj_iter_with(obj);
  while (yyjson_val* k = yyjson_obj_iter_next(&it))
    if (yyjson_equals_strn(k, key.data(), key.size())) fn(yyjson_obj_iter_get_val(k));
}

void mark_digest_of(yyjson_val* obj, digest_set& set) {
  if (!yyjson_is_obj(obj) || yyjson_obj_size(obj) == 0) return;
  for_each_member(obj, "digest", [&](yyjson_val* v) {
    if (yyjson_is_str(v)) hashset_add_digest(set, yyjson_get_str(v));
  });
}

void mark_array(yyjson_val* arr, digest_set& set) {
  if (!yyjson_is_arr(arr)) return;
  yyjson_arr_iter it = yyjson_arr_iter_with(arr);
  while (yyjson_val* e = yyjson_arr_iter_next(&it)) mark_digest_of(e, set);
}

// The parser allocates through operator new, like the rest of the mark, so that running out
// of memory is one condition wherever it happens.
void* alc_malloc(void*, std::size_t size) {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* alc_realloc(void* ctx, void* ptr, std::size_t old_size, std::size_t size) {
  void* p = alc_malloc(ctx, size);
  if (p && ptr) std::memcpy(p, ptr, std::min(old_size, size));
  if (p) ::operator delete(ptr);
  return p;
}
void alc_free(void*, void* ptr) { ::operator delete(ptr); }
constexpr yyjson_alc kParserAlloc = {alc_malloc, alc_realloc, alc_free, nullptr};

// Marks what the body names. False when the body is damaged: it does not hash to its name, or
// it is no JSON object (an empty file a crash left, a torn write). Such a body may stand for an
// image whose tag still exists, so it must not count as naming nothing. A parse that ran out
// of memory proves nothing about the body: the mark is then incomplete too.
bool mark_manifest(std::string& body, const std::string& hex, digest_set& set, bool subject) {
  char got[kHexLen + 1];
  sha256_hex(body, got);
  if (hex != got) return false;
  yyjson_read_err err{};
  DocPtr doc(yyjson_read_opts(body.data(), body.size(), 0, &kParserAlloc, &err));
  if (!doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) return false;
  for_each_member(root, "config", [&](yyjson_val* v) { mark_digest_of(v, set); });
  for_each_member(root, "layers", [&](yyjson_val* v) { mark_array(v, set); });
  for_each_member(root, "manifests", [&](yyjson_val* v) { mark_array(v, set); });
  if (subject) for_each_member(root, "subject", [&](yyjson_val* v) { mark_digest_of(v, set); });
  return true;
}

// True when `path` is known to be gone (removed since it was listed), as opposed to present
// but unreadable.
bool gone(const char* path) {
  platform::FileAttr a;
  return platform::get_attr(path, &a) == platform::kErrNotFound;
}

// A body that cannot be read or verified while pushes go on may be one being replaced: the
// lock-free pass of an online collection leaves it for its final phase. Anywhere else it makes
// the mark incomplete.
MarkResult body_failed(MarkLog* log, const std::string& repo, const std::string& hex,
                       const char* what) {
  if (log && !log->final_pass) {
    log->retry.emplace_back(repo, hex);
    return MarkResult::complete;
  }
  set_error("gc mark incomplete: %s %s@sha256:%s", what, repo.c_str(), hex.c_str());
  return MarkResult::incomplete;
}

MarkResult mark_body(const Path& dir, const std::string& repo, const std::string& hex,
                     digest_set& set, MarkLog* log) {
  Path body;
  std::string text;
  if (!child_path(dir, hex, body)) {
    set_error("gc mark incomplete: path too long: %s", repo.c_str());
    return MarkResult::incomplete;
  }
  if (!read_file_alloc(body.c_str(), text)) {
    if (gone(body.c_str())) return MarkResult::complete;  // deleted since the listing
    return body_failed(log, repo, hex, "cannot read manifest");
  }
  if (!mark_manifest(text, hex, set, log != nullptr))
    return body_failed(log, repo, hex, "damaged manifest");
  return MarkResult::complete;
}

MarkResult mark_repo(GcRun& run, const std::string& repo, digest_set& set, std::int64_t& read,
                     MarkLog* log) {
  Path dir;
  dir_list list;
  if (!manifests_dir(repo, dir)) {
    set_error("gc mark incomplete: path too long: %s", repo.c_str());
    return MarkResult::incomplete;
  }
  if (list_dir_all(dir.c_str(), &list) != 0) {
    if (gone(dir.c_str())) return MarkResult::complete;  // the repository was deleted meanwhile
    set_error("gc mark incomplete: cannot list manifests of %s", repo.c_str());
    return MarkResult::incomplete;
  }
  for (const auto& e : list.entries) {
    if (e.is_dir || !hex64_valid(e.name.c_str())) continue;
    if (log) {
      std::string key = mark_key(repo, e.name);
      if (log->skip && log->skip->contains(key)) continue;
      if (!log->seen.insert(std::move(key)).second) continue;
    }
    const MarkResult r = mark_body(dir, repo, e.name, set, log);
    if (r != MarkResult::complete) return r;
    if (++read % kGcCheckEvery == 0 && gc_checkpoint(run)) return MarkResult::cancelled;
  }
  return MarkResult::complete;
}

// Bodies the lock-free pass could not read whole, read again now that no push runs.
MarkResult mark_retries(digest_set& set, MarkLog& log) {
  auto retry = std::move(log.retry);
  log.retry.clear();
  for (const auto& [repo, hex] : retry) {
    Path dir;
    if (!manifests_dir(repo, dir)) continue;
    const MarkResult r = mark_body(dir, repo, hex, set, &log);
    if (r != MarkResult::complete) return r;
  }
  return MarkResult::complete;
}

MarkResult mark_all(GcRun& run, digest_set& set, MarkLog* log) {
  std::vector<std::string> repos;
  if (!discover_all_repos(repos)) {
    set_error("gc mark incomplete: cannot list repositories");
    return MarkResult::incomplete;
  }
  std::int64_t read = 0;
  for (const auto& repo : repos) {
    const MarkResult r = mark_repo(run, repo, set, read, log);
    if (r != MarkResult::complete) return r;
  }
  if (log && log->final_pass) return mark_retries(set, *log);
  return MarkResult::complete;
}

}  // namespace

void hashset_add_digest(digest_set& set, const char* digest) {
  if (!digest_valid(digest)) return;
  auto& v = set.items;
  if (v.size() == v.capacity() && v.size() >= kFoldAt) {
    // Fold before growing; grow anyway when folding freed less than half, so that folds stay
    // as rare as reallocations.
    digest_set_seal(set);
    if (v.size() > v.capacity() / 2) v.reserve(v.capacity() * 2);
  }
  v.push_back(hex_to_bin(digest + kDigestPrefix.size()));
}

void digest_set_seal(digest_set& set) {
  auto& v = set.items;
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

bool digest_set_has(const digest_set& set, std::string_view hex) {
  return digest_set_has_raw(set, hex_to_bin(hex));
}

bool digest_set_has_raw(const digest_set& set, const std::array<unsigned char, 32>& raw) {
  return std::binary_search(set.items.begin(), set.items.end(), raw);
}

std::array<unsigned char, 32> blob_raw(std::string_view hex) { return hex_to_bin(hex); }

std::string mark_key(std::string_view repo, std::string_view hex) {
  std::string k(repo);
  k += '@';
  k += hex;
  return k;
}

MarkResult gc_mark_body(const std::string& repo, const std::string& hex, digest_set& set) {
  Path dir;
  MarkLog final_log;
  final_log.final_pass = true;
  if (!manifests_dir(repo, dir)) {
    set_error("gc mark incomplete: path too long: %s", repo.c_str());
    return MarkResult::incomplete;
  }
  try {
    return mark_body(dir, repo, hex, set, &final_log);
  } catch (const std::bad_alloc&) {
    set_error("gc mark incomplete: out of memory");
    return MarkResult::incomplete;
  }
}

MarkResult gc_mark(GcRun& run, digest_set& set, MarkLog* log) {
  try {
    return mark_all(run, set, log);
  } catch (const std::bad_alloc&) {
    set_error("gc mark incomplete: out of memory");
    return MarkResult::incomplete;
  }
}

}  // namespace reg
