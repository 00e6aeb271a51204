// File and text utilities. They know nothing of the store's layout and record no message:
// failure is reported by the result alone, and the caller chooses the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_escape.h"  // the text utilities include the JSON escaper
#include "platform/platform.h"

namespace reg {

inline constexpr std::size_t kListCap = 512;             // entries one capped listing keeps
inline constexpr std::size_t kEntryNameMax = 511;        // longest entry name a listing keeps
inline constexpr std::size_t kReadAllocCap = 64u << 20;  // read_file_alloc's 64 MiB cap

struct dir_entry {
  std::string name;
  bool is_dir = false;
  platform::Kind kind = platform::Kind::file;
};

struct dir_list {
  std::vector<dir_entry> entries;
  int count() const { return static_cast<int>(entries.size()); }
};

// Replaces `path` whole: writes a temporary file beside it and renames it over the target, so
// readers see the old content or the new, never a torn file. 0, or -1 with the old content kept.
int write_file(const char* path, const void* data, std::size_t len);
// write_file that, under the store's `full` durability, syncs the data before the rename. The
// new name is durable once the caller syncs the directory (DirSyncs, core/durability.h).
int write_file_durable(const char* path, const void* data, std::size_t len);
// True when the temporary file that write_file creates beside `path` would fit in a path:
// callers refuse a target without that room up front instead of failing half way.
bool write_file_fits(std::string_view path);

// Reads at most cap-1 bytes and a NUL into buf. 0 or -1.
int read_file(const char* path, char* buf, std::size_t cap, std::size_t* out_len);

// As read_file, but 0 or the platform's error number, so that a reader tells a missing file
// (platform::is_absent) from one that is there and cannot be read.
int read_file_status(const char* path, char* buf, std::size_t cap, std::size_t* out_len);

// The whole file (at most 64 MiB) into `out`. false when missing, unreadable or too large.
bool read_file_alloc(const char* path, std::string& out);

// The first 512 entries of `dir` (names of at most 511 characters; longer ones are cut, as a
// listing record holds them). 0, or -1 when `dir` is not an enumerable directory.
int list_dir(const char* dir, dir_list* out);
// Every entry of `dir`, uncut: for scans that must not decide anything on a partial listing.
int list_dir_all(const char* dir, dir_list* out);
// As list_dir_all, but 0 or the platform's error number (absent or unreadable, as above).
int list_dir_all_status(const char* dir, dir_list* out);

// Makes the directory `path` and any missing above it (never the storage root or above). 0 when
// a directory is there, else -1. `made`, when given, receives the directories that were not
// there when this call came to them, highest first.
int mkdirs(const char* path, std::vector<std::string>* made = nullptr);
// Removes `path` and everything below it, depth first, going on past failures. Symbolic
// links (`path` itself included) are removed, never followed. 0 when everything went, else -1.
int delete_tree(const char* path);

// Ascending byte order; equal texts keep their order.
void sort_str(std::vector<std::string>& items);

// Attribute helpers over the platform query.
bool is_file(const char* path);  // exists and is a regular file
// Whether a regular file is at `path`: `absent` covers nothing there, a directory, a link and
// a special file; `unreadable` a failure of the query, which tells neither (`out` gets the
// attributes of a file).
enum class Presence { file, absent, unreadable };
Presence file_presence(const char* path, platform::FileAttr* out = nullptr);
bool is_dir(const char* path);
// Whether a regular file is at `path`, as the file system answers it now. A distributed file system
// may answer a plain query, and even an open, from attributes cached on this host for a second or
// more after another host removed the file; a lock is always decided by the file's server. For
// decisions that acknowledge data on the strength of a file being there.
Presence confirm_file(const char* path);
// Last-write time in Unix seconds, or false when it cannot be had.
bool file_unix_time(const platform::FileAttr& a, std::int64_t* out);
std::int64_t file_time_to_unix(std::int64_t file_time);

}  // namespace reg
