// The platform layer: every file-system, clock and processor query of the library goes
// through these functions, so that the code above them builds unchanged on another system.
//
// Contract shared by all of them:
//  - Functions that can fail return 0 or an errno-style error number (never -1). They record
//    no message; the caller decides what a failure means.
//  - Each one begins with a fault check (fault.h), so tests can make any call fail.
//  - Paths are NUL-terminated; nothing here joins, cuts or normalises a path.
//  - Confinement: once the storage root is attached (attach_root), every path at or below it
//    is resolved from a handle of the root without following any symbolic link and without
//    leaving it, and a path outside it is refused (kErrOutside). A symbolic link anywhere on
//    the way fails with kErrSymlink, so a link planted in the store can neither be read
//    through, nor written through, nor make a deletion act outside the root. Without an
//    attached root paths are used as given (a final link is still never followed).
//  - Only regular files are opened as byte streams; a FIFO, device or socket is never read
//    (it is opened non-blocking and refused with kErrNotRegular before any read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace reg::platform {

// Directory separator used by the path builders.
inline constexpr char kSep = '/';

// What kind of entry a name is. Only `file` and `dir` belong in a store; the checker reports
// the others, readers treat them as absent.
enum class Kind { file, dir, link, fifo, socket, device, other };
const char* kind_name(Kind k);  // "regular file", "directory", "symbolic link", ...

// File attributes as the store needs them. `mtime` counts 100 ns intervals since
// 1601-01-01 UTC, so that ages convert to Unix seconds the same way on every platform.
struct FileAttr {
  Kind kind = Kind::file;
  bool is_dir = false;  // kind == Kind::dir
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  bool is_file() const { return kind == Kind::file; }
};

// Error numbers the layers above tell apart.
extern const int kErrExists;      // the name exists already
extern const int kErrNotFound;    // no such entry
extern const int kErrSymlink;     // a symbolic link on the way or at the end
extern const int kErrNotRegular;  // opened for reading, but not a regular file
extern const int kErrOutside;     // the path is not below the attached storage root
extern const int kErrBusy;        // a lock held elsewhere, when asked not to wait

// True for the errors that mean "no such entry" to a reader: nothing there, a component that
// is not a directory, a symbolic link, a special file, a name too long for any entry. Every other
// error is a failure to read or list what is there, never to be passed off as absence.
bool is_absent(int err);
// A short English reason for an error number ("symbolic link in the store", ...).
const char* describe(int err);

// The last failure of the calling thread that was not an absence (is_absent): its error
// number and the kind of call ("open", "list", ...), so that a caller can log why an
// operation failed while its messages stay fixed texts. err 0: none since the last clear.
struct Failure {
  int err = 0;
  const char* op = "";
};
Failure last_failure();
void clear_last_failure();

// Attaches the storage root for confinement (nullptr detaches it). 0 or an error number.
int attach_root(const char* root);
// Length of the attached root's text when `path` is the root or below it, else 0: the
// directories of that prefix exist and are not created or checked again.
std::size_t root_prefix_len(const char* path);

// Attributes of `path`. A symbolic link, final or on the way, is kErrSymlink: links are
// treated as absent. ENOENT when nothing is there.
int get_attr(const char* path, FileAttr* out);

// Calls `fn(name, kind)` for every entry of `dir` except "." and "..", in the order the
// system yields them, until `fn` returns false. ENOTDIR/ENOENT when `dir` cannot be enumerated.
int enumerate_dir(const char* dir, const std::function<bool(const char* name, Kind kind)>& fn);

// Creates one directory. kErrExists when the name exists already (whatever kind of entry).
int make_dir(const char* path);
int remove_dir(const char* path);   // an empty directory only
int remove_file(const char* path);  // a file or a link (removed, never followed), never a directory
// Renames `from` to `to`, replacing a file at `to` (atomic within one file system); a
// symbolic link at `to` is refused (kErrSymlink), not replaced.
int rename_path(const char* from, const char* to);
// Sets the last-write time of the file at `path` to the file system's current time (never
// through a link): a commit stamps its blob, so that its age counts from the commit.
int touch_file(const char* path);

// Durability. A write, a rename or an unlink reaches the disk only when synced: the data of a
// file with sync_file (or File::sync while it is open), a name created, renamed or removed in
// a directory with sync_dir of that directory. Callers batch them: write every file, sync each
// once, rename, then sync each directory touched once.
int sync_file(const char* path);  // the file's data and size (not its name)
int sync_dir(const char* path);   // the directory's entries

// An open byte stream. Closed by its destructor; close() reports the close result.
class File {
 public:
  enum class Mode {
    read,        // existing file, read only
    write,       // create or truncate
    append,      // existing file only, writes go to its end
    create_new,  // create; EEXIST when the name exists already
  };
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Reads up to `len` bytes; *got receives the count (0 at end of file).
  int read(void* buf, std::size_t len, std::size_t* got);
  // Writes all `len` bytes or fails; *put receives the count written (short on failure).
  int write(const void* data, std::size_t len, std::size_t* put);
  int size(std::uint64_t* out);
  // An advisory lock on the whole file, shared or exclusive, held until close; waits until
  // it is granted. Only other holders of such locks are held off, never plain reads/writes.
  int lock(bool exclusive);
  // Makes what was written durable: the data and the size, not the name (sync_dir).
  int sync();
  // The same without waiting: kErrBusy when another holder has a conflicting lock.
  int try_lock(bool exclusive);
  int close();
  // Hands the open descriptor to the caller, who closes it: for a server that sends the file
  // with the system's own calls once this layer has checked what it opened.
  int release_native_handle();

 private:
  friend int open_file(const char*, File::Mode, std::unique_ptr<File>*);
  explicit File(int fd) : fd_(fd) {}
  int fd_;
};

int open_file(const char* path, File::Mode mode, std::unique_ptr<File>* out);

// Wall clock in whole seconds since the Unix epoch.
std::int64_t wall_clock_seconds();

struct UtcTime {
  int year, month, day, hour, minute, second;  // month 1-12
};
// Converts Unix seconds to UTC calendar time; false when the value cannot be converted.
bool to_utc(std::int64_t unix_seconds, UtcTime* out);

// Monotonic millisecond tick.
std::uint64_t tick_ms();

// True when the processor offers the x86 SHA extensions (and SSE4.1 with them).
bool cpu_has_sha_ext();

// Identifies the calling thread and process; used only to make temporary names unique.
std::uint64_t unique_token();

// One pointer per thread. `release` runs for a thread's non-null pointer when that thread
// ends, never after the slot is destroyed. Unlike a thread_local with a destructor, it lets
// the shared library be unloaded. No fault check: it touches no file.
class ThreadSlot {
 public:
  explicit ThreadSlot(void (*release)(void*));
  ~ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;
  void set(void* p);

 private:
  std::uint64_t key_;
  bool valid_;
};

}  // namespace reg::platform
