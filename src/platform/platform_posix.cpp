// POSIX implementation of the platform layer. The only file of the library that makes system
// calls or reads errno.
#include "platform/platform.h"

#include <cerrno>
#include <cpuid.h>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/beneath_posix.h"
#include "platform/fault.h"

namespace reg::platform {
namespace {

// Seconds between 1601-01-01 and 1970-01-01, the offset between file times and Unix time.
constexpr std::int64_t kEpochDelta = 11644473600LL;

std::int64_t to_file_time(const struct timespec& ts) {
  return (static_cast<std::int64_t>(ts.tv_sec) + kEpochDelta) * 10000000LL + ts.tv_nsec / 100;
}

struct DirCloser {
  void operator()(DIR* d) const noexcept { closedir(d); }
};

Kind kind_of_mode(mode_t m) {
  if (S_ISREG(m)) return Kind::file;
  if (S_ISDIR(m)) return Kind::dir;
  if (S_ISLNK(m)) return Kind::link;
  if (S_ISFIFO(m)) return Kind::fifo;
  if (S_ISSOCK(m)) return Kind::socket;
  if (S_ISCHR(m) || S_ISBLK(m)) return Kind::device;
  return Kind::other;
}

Kind kind_of_dirent(unsigned char t) {
  switch (t) {
    case DT_REG:
      return Kind::file;
    case DT_DIR:
      return Kind::dir;
    case DT_LNK:
      return Kind::link;
    case DT_FIFO:
      return Kind::fifo;
    case DT_SOCK:
      return Kind::socket;
    case DT_CHR:
    case DT_BLK:
      return Kind::device;
    default:
      return Kind::other;
  }
}

// The last failure of this thread that was not an absence, for the caller to log with what it
// answers. Trivially destructible, so no thread-exit hook ties the library to the process.
thread_local int t_failure_err = 0;
thread_local fault::Op t_failure_op = fault::Op::any;

const char* op_name(fault::Op op) {
  switch (op) {
    case fault::Op::stat:
      return "stat";
    case fault::Op::list:
      return "list";
    case fault::Op::mkdir:
      return "mkdir";
    case fault::Op::rmdir:
      return "rmdir";
    case fault::Op::remove:
      return "remove";
    case fault::Op::rename:
      return "rename";
    case fault::Op::open:
      return "open";
    case fault::Op::read:
      return "read";
    case fault::Op::write:
      return "write";
    case fault::Op::close:
      return "close";
    case fault::Op::lock:
      return "lock";
    case fault::Op::sync_file:
      return "sync";
    case fault::Op::sync_dir:
      return "directory sync";
    default:
      return "call";
  }
}

// fdatasync carries a file's data and size, all a reader of the store needs; a directory's
// entries need the full fsync.
int sync_descriptor(int fd, bool whole) {
  int r;
  do {
    r = whole ? ::fsync(fd) : ::fdatasync(fd);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return errno;
  if (auto* o = fault::disk_observer()) whole ? o->dir_synced(fd) : o->file_synced(fd);
  return 0;
}

// For the power-cut model: whether an open for writing creates the name or empties a file.
bool name_exists(const char* path) {
  beneath::Parent at;
  struct stat st;
  return beneath::open_parent(path, &at) == 0 &&
         fstatat(at.dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void tell_opened(fault::DiskObserver* o, int fd, File::Mode mode, bool existed) {
  if (mode == File::Mode::create_new || (mode == File::Mode::write && !existed))
    o->file_created(fd);
  else if (mode == File::Mode::write)
    o->file_truncated(fd);
}

}  // namespace

const int kErrExists = EEXIST;
const int kErrNotFound = ENOENT;
const int kErrSymlink = ELOOP;
const int kErrNotRegular = ENXIO;
const int kErrOutside = EXDEV;
const int kErrBusy = EWOULDBLOCK;

// A name longer than an entry's name may be can name nothing: absent too.
bool is_absent(int err) {
  // ESTALE: a distributed file system's handle of a file that another host removed.
  return err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENXIO || err == EISDIR ||
         err == ENAMETOOLONG || err == ESTALE;
}

const char* describe(int err) {
  switch (err) {
    case ELOOP:
      return "symbolic link in the store";
    case ENXIO:
      return "not a regular file";
    case EXDEV:
      return "outside the storage root";
    default:
      return std::strerror(err);
  }
}

static int noted(fault::Op op, int err) {
  if (err != 0 && !is_absent(err)) {
    t_failure_err = err;
    t_failure_op = op;
  }
  return err;
}

Failure last_failure() { return Failure{t_failure_err, op_name(t_failure_op)}; }

void clear_last_failure() {
  t_failure_err = 0;
  t_failure_op = fault::Op::any;
}

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::file:
      return "regular file";
    case Kind::dir:
      return "directory";
    case Kind::link:
      return "symbolic link";
    case Kind::fifo:
      return "FIFO";
    case Kind::socket:
      return "socket";
    case Kind::device:
      return "device";
    case Kind::other:
      break;
  }
  return "special file";
}

int attach_root(const char* root) { return beneath::attach_root(root); }

std::size_t root_prefix_len(const char* path) { return beneath::root_prefix_len(path); }

static int get_attr_unnoted(const char* path, FileAttr* out) {
  if (int e = fault::hit(fault::Op::stat)) return e;
  beneath::Parent at;
  if (int e = beneath::open_parent(path, &at)) return e;
  struct stat st;
  if (fstatat(at.dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  out->kind = kind_of_mode(st.st_mode);
  if (out->kind == Kind::link) return ELOOP;
  out->is_dir = out->kind == Kind::dir;
  out->size = static_cast<std::uint64_t>(st.st_size);
  out->mtime = to_file_time(st.st_mtim);
  return 0;
}

int get_attr(const char* path, FileAttr* out) {
  return noted(fault::Op::stat, get_attr_unnoted(path, out));
}

static int enumerate_dir_unnoted(const char* dir,
                                 const std::function<bool(const char*, Kind)>& fn) {
  if (int e = fault::hit(fault::Op::list)) return e;
  beneath::Fd fd;
  if (int e = beneath::open_path(dir, O_RDONLY | O_DIRECTORY | O_NONBLOCK, 0, &fd)) return e;
  std::unique_ptr<DIR, DirCloser> d(fdopendir(fd.get()));
  if (!d) return errno;
  const int dfd = fd.release();  // owned by the stream from here on
  for (;;) {
    errno = 0;
    struct dirent* ent = readdir(d.get());
    if (!ent) return errno;
    const char* name = ent->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    Kind kind = kind_of_dirent(ent->d_type);
    if (ent->d_type == DT_UNKNOWN) {
      struct stat st;
      kind = fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? kind_of_mode(st.st_mode)
                                                               : Kind::other;
    }
    if (!fn(name, kind)) return 0;
  }
}

int enumerate_dir(const char* dir, const std::function<bool(const char*, Kind)>& fn) {
  return noted(fault::Op::list, enumerate_dir_unnoted(dir, fn));
}

static int make_dir_unnoted(const char* path) {
  if (int e = fault::hit(fault::Op::mkdir)) return e;
  beneath::Parent at;
  if (int e = beneath::open_parent(path, &at)) return e;
  if (mkdirat(at.dir, at.name.c_str(), 0755) != 0) return errno;
  if (auto* o = fault::disk_observer()) o->dir_created(at.dir, at.name.c_str());
  return 0;
}

int make_dir(const char* path) { return noted(fault::Op::mkdir, make_dir_unnoted(path)); }

static int remove_dir_unnoted(const char* path) {
  if (int e = fault::hit(fault::Op::rmdir)) return e;
  beneath::Parent at;
  if (int e = beneath::open_parent(path, &at)) return e;
  return unlinkat(at.dir, at.name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

int remove_dir(const char* path) { return noted(fault::Op::rmdir, remove_dir_unnoted(path)); }

static int remove_file_unnoted(const char* path) {
  if (int e = fault::hit(fault::Op::remove)) return e;
  beneath::Parent at;
  if (int e = beneath::open_parent(path, &at)) return e;
  return unlinkat(at.dir, at.name.c_str(), 0) == 0 ? 0 : errno;
}

int remove_file(const char* path) { return noted(fault::Op::remove, remove_file_unnoted(path)); }

static int rename_path_unnoted(const char* from, const char* to) {
  if (int e = fault::hit(fault::Op::rename)) return e;
  beneath::Parent src, dst;
  if (int e = beneath::open_parent(from, &src)) return e;
  if (int e = beneath::open_parent(to, &dst)) return e;
  struct stat st;
  if (fstatat(dst.dir, dst.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
    return ELOOP;
  return renameat(src.dir, src.name.c_str(), dst.dir, dst.name.c_str()) == 0 ? 0 : errno;
}

int rename_path(const char* from, const char* to) {
  return noted(fault::Op::rename, rename_path_unnoted(from, to));
}

int sync_file(const char* path) {
  if (int e = fault::hit(fault::Op::sync_file)) return noted(fault::Op::sync_file, e);
  beneath::Fd fd;
  if (int e = beneath::open_path(path, O_RDONLY | O_NONBLOCK, 0, &fd))
    return noted(fault::Op::sync_file, e);
  return noted(fault::Op::sync_file, sync_descriptor(fd.get(), false));
}

int sync_dir(const char* path) {
  if (int e = fault::hit(fault::Op::sync_dir)) return noted(fault::Op::sync_dir, e);
  beneath::Fd fd;
  if (int e = beneath::open_path(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK, 0, &fd))
    return noted(fault::Op::sync_dir, e);
  return noted(fault::Op::sync_dir, sync_descriptor(fd.get(), true));
}

int touch_file(const char* path) {
  if (int e = fault::hit(fault::Op::write)) return e;
  beneath::Parent at;
  if (int e = beneath::open_parent(path, &at)) return e;
  const struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  return utimensat(at.dir, at.name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

int File::read(void* buf, std::size_t len, std::size_t* got) {
  *got = 0;
  if (int e = fault::hit(fault::Op::read)) return noted(fault::Op::read, e);
  auto* p = static_cast<char*>(buf);
  while (*got < len) {
    ssize_t n = ::read(fd_, p + *got, len - *got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return noted(fault::Op::read, errno);
    }
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return 0;
}

int File::write(const void* data, std::size_t len, std::size_t* put) {
  *put = 0;
  const auto* p = static_cast<const char*>(data);
  if (int e = fault::hit(fault::Op::write)) {
    // An injected failure still lands half the bytes, as a full disk would.
    ssize_t n = ::write(fd_, p, len / 2);
    if (n > 0) *put = static_cast<std::size_t>(n);
    return noted(fault::Op::write, e);
  }
  while (*put < len) {
    ssize_t n = ::write(fd_, p + *put, len - *put);
    if (n < 0) {
      if (errno == EINTR) continue;
      return noted(fault::Op::write, errno);
    }
    *put += static_cast<std::size_t>(n);
  }
  return 0;
}

int File::size(std::uint64_t* out) {
  if (int e = fault::hit(fault::Op::stat)) return noted(fault::Op::stat, e);
  struct stat st;
  if (fstat(fd_, &st) != 0) return noted(fault::Op::stat, errno);
  *out = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

int File::lock(bool exclusive) {
  if (int e = fault::hit(fault::Op::lock)) return noted(fault::Op::lock, e);
  int r;
  do {
    r = flock(fd_, exclusive ? LOCK_EX : LOCK_SH);
  } while (r != 0 && errno == EINTR);
  return r == 0 ? 0 : noted(fault::Op::lock, errno);
}

int File::sync() {
  if (int e = fault::hit(fault::Op::sync_file)) return noted(fault::Op::sync_file, e);
  return noted(fault::Op::sync_file, sync_descriptor(fd_, false));
}

int File::try_lock(bool exclusive) {
  if (int e = fault::hit(fault::Op::lock)) return noted(fault::Op::lock, e);
  int r;
  do {
    r = flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r == 0) return 0;
  // A refusal because of another holder is an answer, not a failure to remember.
  return errno == EWOULDBLOCK ? errno : noted(fault::Op::lock, errno);
}

int File::release_native_handle() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

int File::close() {
  const int fd = fd_;
  fd_ = -1;
  if (int e = fault::hit(fault::Op::close)) {
    ::close(fd);
    return noted(fault::Op::close, e);
  }
  return ::close(fd) == 0 ? 0 : noted(fault::Op::close, errno);
}

static int open_file_unnoted(const char* path, File::Mode mode, beneath::Fd* out) {
  if (int e = fault::hit(fault::Op::open)) return e;
  int flags = O_NOCTTY;
  switch (mode) {
    case File::Mode::read:
      // Non-blocking, so that a FIFO planted in the store cannot stall the open; it is
      // refused below before anything is read.
      flags |= O_RDONLY | O_NONBLOCK;
      break;
    case File::Mode::write:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case File::Mode::append:
      flags |= O_WRONLY | O_APPEND | O_NONBLOCK;
      break;
    case File::Mode::create_new:
      flags |= O_WRONLY | O_CREAT | O_EXCL;
      break;
  }
  fault::DiskObserver* const observer = fault::disk_observer();
  const bool existed = observer && mode == File::Mode::write && name_exists(path);
  beneath::Fd fd;
  if (int e = beneath::open_path(path, flags, 0644, &fd)) return e;
  if (observer) tell_opened(observer, fd.get(), mode, existed);
  // Only regular files are byte streams here.
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
  if (flags & O_NONBLOCK) fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  *out = std::move(fd);
  return 0;
}

int open_file(const char* path, File::Mode mode, std::unique_ptr<File>* out) {
  beneath::Fd fd;
  if (int e = open_file_unnoted(path, mode, &fd)) return noted(fault::Op::open, e);
  out->reset(new File(fd.release()));  // File's constructor is private to this layer
  return 0;
}

std::int64_t wall_clock_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool to_utc(std::int64_t unix_seconds, UtcTime* out) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  struct tm tm;
  if (!gmtime_r(&t, &tm)) return false;
  *out = UtcTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
  return true;
}

std::uint64_t tick_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

bool cpu_has_sha_ext() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool sse41 = (c & bit_SSE4_1) != 0;
  const bool ssse3 = (c & bit_SSSE3) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return sse41 && ssse3 && (b & (1u << 29)) != 0;
#else
  return false;
#endif
}

ThreadSlot::ThreadSlot(void (*release)(void*)) : key_(0), valid_(false) {
  pthread_key_t k;
  if (pthread_key_create(&k, release) == 0) {
    key_ = static_cast<std::uint64_t>(k);
    valid_ = true;
  }
}

ThreadSlot::~ThreadSlot() {
  if (valid_) pthread_key_delete(static_cast<pthread_key_t>(key_));
}

void ThreadSlot::set(void* p) {
  if (valid_) pthread_setspecific(static_cast<pthread_key_t>(key_), p);
}

std::uint64_t unique_token() {
  return (static_cast<std::uint64_t>(getpid()) << 32) ^
         static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pthread_self()));
}

}  // namespace reg::platform
