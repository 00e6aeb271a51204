#include "core/fileutil.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/durability.h"
#include "core/paths.h"

namespace reg {
namespace {

using platform::File;

// The longest temporary name: '.', 40 characters of the base name, ".tmp-" and two 64-bit
// numbers in hex separated by '-'.
constexpr std::size_t kTempNameMax = 1 + 40 + 5 + 16 + 1 + 16;

// Temporary names start with '.' and carry ".tmp-": never a digest hex, a tag directory or
// an upload id, so no scan of the store takes one for an entry.
bool temp_path_for(const char* path, Path& out) {
  static std::atomic<std::uint64_t> counter{0};
  const char* slash = std::strrchr(path, platform::kSep);
  const std::string_view dir = slash ? std::string_view(path, slash - path) : std::string_view(".");
  const char* base = slash ? slash + 1 : path;
  char name[96];
  std::snprintf(name, sizeof name, ".%.40s.tmp-%llx-%llx", base,
                static_cast<unsigned long long>(platform::unique_token()),
                static_cast<unsigned long long>(counter.fetch_add(1)));
  return child_path(dir, name, out);
}

bool write_all(const char* path, const void* data, std::size_t len) {
  std::unique_ptr<File> f;
  if (platform::open_file(path, File::Mode::create_new, &f) != 0) return false;
  std::size_t put = 0;
  const bool wrote = len == 0 || f->write(data, len, &put) == 0;
  const bool closed = f->close() == 0;
  return wrote && closed && put == len;
}

// 0 or the platform's error number; something else than a directory there is no directory
// (the enumeration refuses it as such, so no attribute query goes first).
int list_entries(const char* dir, dir_list* out, std::size_t cap, bool cut_names) {
  out->entries.clear();
  return platform::enumerate_dir(dir, [&](const char* name, platform::Kind k) {
    if (out->entries.size() >= cap) return false;
    std::string n(name);
    if (cut_names && n.size() > kEntryNameMax) n.resize(kEntryNameMax);
    out->entries.push_back(dir_entry{std::move(n), k == platform::Kind::dir, k});
    return true;
  });
}

}  // namespace

int write_file(const char* path, const void* data, std::size_t len) {
  Path tmp;
  if (!temp_path_for(path, tmp)) return -1;
  if (!write_all(tmp.c_str(), data, len) || platform::rename_path(tmp.c_str(), path) != 0) {
    platform::remove_file(tmp.c_str());
    return -1;
  }
  return 0;
}

int write_file_durable(const char* path, const void* data, std::size_t len) {
  Path tmp;
  if (!temp_path_for(path, tmp)) return -1;
  // The data is on the disk before the name: a power cut never leaves the new name on an
  // empty or torn file. An empty file has no data to sync.
  if (!write_all(tmp.c_str(), data, len) || (len > 0 && durable_sync_file(tmp.c_str()) != 0) ||
      platform::rename_path(tmp.c_str(), path) != 0) {
    platform::remove_file(tmp.c_str());
    return -1;
  }
  return 0;
}

bool write_file_fits(std::string_view path) {
  const std::size_t slash = path.rfind(platform::kSep);
  const std::size_t dir_len = slash == std::string_view::npos ? 1 : slash;
  return dir_len + 1 + kTempNameMax <= kMaxPathLen;
}

int read_file(const char* path, char* buf, std::size_t cap, std::size_t* out_len) {
  return read_file_status(path, buf, cap, out_len) == 0 ? 0 : -1;
}

int read_file_status(const char* path, char* buf, std::size_t cap, std::size_t* out_len) {
  std::unique_ptr<File> f;
  if (cap == 0) return -1;  // no room even for the NUL: a caller error, never an absence
  if (int e = platform::open_file(path, File::Mode::read, &f)) return e;
  std::size_t got = 0;
  if (int e = f->read(buf, cap - 1, &got)) return e;
  buf[got] = '\0';
  if (out_len) *out_len = got;
  return 0;
}

bool read_file_alloc(const char* path, std::string& out) {
  std::unique_ptr<File> f;
  std::uint64_t size = 0;
  if (platform::open_file(path, File::Mode::read, &f) != 0 || f->size(&size) != 0) return false;
  if (size > kReadAllocCap) return false;
  std::string buf(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  if (f->read(buf.data(), buf.size(), &got) != 0) return false;
  buf.resize(got);  // a file that shrank meanwhile yields what was there
  out = std::move(buf);
  return true;
}

int list_dir(const char* dir, dir_list* out) {
  return list_entries(dir, out, kListCap, true) == 0 ? 0 : -1;
}

int list_dir_all(const char* dir, dir_list* out) {
  return list_dir_all_status(dir, out) == 0 ? 0 : -1;
}

int list_dir_all_status(const char* dir, dir_list* out) {
  return list_entries(dir, out, static_cast<std::size_t>(-1), false);
}

namespace {

// Makes `dir` and whatever is missing above it, never a directory shorter than `floor`
// characters. The directory itself is tried first: on a shared file system every call is a
// round trip, and the parent is nearly always there already.
int make_dir_and_parents(const std::string& dir, std::size_t floor,
                         std::vector<std::string>* made) {
  int e = platform::make_dir(dir.c_str());
  bool retried = false;
  if (e == platform::kErrNotFound) {
    const std::size_t slash = dir.rfind(platform::kSep);
    if (slash != std::string::npos && slash >= floor &&
        make_dir_and_parents(dir.substr(0, slash), floor, made) == 0) {
      e = platform::make_dir(dir.c_str());
      retried = true;
    }
  }
  // One that another process made between the two attempts is new as well.
  if (made && (e == 0 || (retried && e == platform::kErrExists))) made->push_back(dir);
  if (e == 0 || e == platform::kErrExists) return 0;
  return is_dir(dir.c_str()) ? 0 : -1;
}

}  // namespace

int mkdirs(const char* path, std::vector<std::string>* made) {
  std::size_t len = std::strlen(path);
  if (len == 0 || len > kMaxPathLen) return -1;
  while (len > 1 && path[len - 1] == platform::kSep) --len;
  // The storage root and its ancestors exist: only what lies below the root is created.
  const std::size_t floor = std::max<std::size_t>(1, platform::root_prefix_len(path) + 1);
  return make_dir_and_parents(std::string(path, len), floor, made);
}

int delete_tree(const char* path) {
  platform::FileAttr a;
  if (platform::get_attr(path, &a) == platform::kErrSymlink)
    return platform::remove_file(path) == 0 ? 0 : -1;  // the link goes, its target stays
  bool failed = false;
  const std::string dir(path);
  platform::enumerate_dir(path, [&](const char* name, platform::Kind k) {
    const bool d = k == platform::Kind::dir;
    Path child;
    if (!child_path(dir, name, child)) {
      failed = true;
      return true;
    }
    if (d ? delete_tree(child.c_str()) != 0 : platform::remove_file(child.c_str()) != 0)
      failed = true;
    return true;
  });
  if (platform::remove_dir(path) != 0) failed = true;
  return failed ? -1 : 0;
}

void sort_str(std::vector<std::string>& items) {
  std::stable_sort(items.begin(), items.end());  // std::string compares bytes as unsigned
}

bool is_file(const char* path) {
  platform::FileAttr a;
  return platform::get_attr(path, &a) == 0 && a.is_file();
}

Presence file_presence(const char* path, platform::FileAttr* out) {
  platform::FileAttr a;
  if (int e = platform::get_attr(path, &a))
    return platform::is_absent(e) ? Presence::absent : Presence::unreadable;
  if (!a.is_file()) return Presence::absent;
  if (out) *out = a;
  return Presence::file;
}

Presence confirm_file(const char* path) {
  std::unique_ptr<platform::File> f;
  int e = platform::open_file(path, platform::File::Mode::read, &f);
  if (e == 0) e = f->try_lock(false);
  if (e == 0 || e == platform::kErrBusy) return Presence::file;  // a holder proves it as well
  return platform::is_absent(e) ? Presence::absent : Presence::unreadable;
}

bool is_dir(const char* path) {
  platform::FileAttr a;
  return platform::get_attr(path, &a) == 0 && a.is_dir;
}

std::int64_t file_time_to_unix(std::int64_t file_time) {
  return file_time / 10000000LL - 11644473600LL;
}

bool file_unix_time(const platform::FileAttr& a, std::int64_t* out) {
  *out = file_time_to_unix(a.mtime);
  return *out >= 0;
}

}  // namespace reg
