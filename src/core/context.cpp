#include "core/context.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "core/boundary.h"
#include "core/durability.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {

char s_root[kRootCap];
int s_ready;
thread_local char s_error[kErrorCap];
std::atomic<std::uint32_t> s_seed;

namespace {

// Calls hold `shared` shared. A change first closes the turnstile and raises `changing`, so
// calls arriving meanwhile wait at the turnstile instead of keeping `shared` taken for ever
// (the shared lock itself prefers readers and would starve the change).
struct ContextLock {
  std::shared_mutex shared;
  std::mutex turnstile;
  std::atomic<bool> changing{false};
};

ContextLock& context_lock() {
  static ContextLock l;
  return l;
}

thread_local int t_call_depth = 0;

}  // namespace

namespace {

void release_result_buffer(void* p) { std::unique_ptr<char[]> owned(static_cast<char*>(p)); }

// Hands each thread's buffer back when the thread ends. (A thread_local with a destructor
// would pin the shared library in memory for good.)
platform::ThreadSlot& result_slot() {
  static platform::ThreadSlot slot(release_result_buffer);
  return slot;
}

thread_local char* t_result = nullptr;

}  // namespace

char* result_buffer() {
  if (t_result) return t_result;
  auto buf = std::make_unique_for_overwrite<char[]>(kResultCap);
  result_slot().set(buf.get());
  t_result = buf.release();
  return t_result;
}

CallScope::CallScope() {
  if (t_call_depth++ != 0) return;
  ContextLock& l = context_lock();
  if (l.changing.load(std::memory_order_acquire)) const std::lock_guard wait(l.turnstile);
  l.shared.lock_shared();
}

CallScope::~CallScope() {
  if (--t_call_depth == 0) context_lock().shared.unlock_shared();
}

ContextChange::ContextChange() {
  ContextLock& l = context_lock();
  l.turnstile.lock();
  l.changing.store(true, std::memory_order_release);
  l.shared.lock();
}

ContextChange::~ContextChange() {
  ContextLock& l = context_lock();
  l.shared.unlock();
  l.changing.store(false, std::memory_order_release);
  l.turnstile.unlock();
}

void set_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(s_error, sizeof s_error, fmt, ap);
  va_end(ap);
}

void clear_error() { s_error[0] = '\0'; }

bool require_ready() {
  if (s_ready) return true;
  set_error("not initialized - call reg_storage_init first");
  return false;
}

namespace {

constexpr char kConfigJson[] =
    "{\n"
    "  \"schemaVersion\": 2,\n"
    "  \"title\": \"tarnwick-registry-storage\",\n"
    "  \"version\": \"1.12.0\",\n"
    "  \"maxUploadSize\": -1\n"
    "}\n";
static_assert(sizeof kConfigJson - 1 == 111);

// Creates one fixed directory below the root; records the message on failure.
bool make_store_dir(std::initializer_list<std::string_view> parts, DirSyncs& syncs) {
  Path p;
  if (!store_path(parts, p) || syncs.make_dirs(p.c_str()) != 0) {
    set_error("mkdirs failed: %s", p.c_str());
    return false;
  }
  return true;
}

int storage_init(const char* root_dir) {
  if (!root_dir || !*root_dir) {
    set_error("storage root dir is empty");
    return -1;
  }
  if (s_ready) {
    s_ready = 0;
    s_root[0] = '\0';
  }
  const std::size_t len = std::strlen(root_dir);
  if (len > kRootCap - 1) {
    set_error("storage root dir too long (max 3499 chars)");
    return -1;
  }
  std::memcpy(s_root, root_dir, len + 1);
  if (s_root[len - 1] == platform::kSep) s_root[len - 1] = '\0';

  // The root is created as given; everything below it is reached only through its handle.
  platform::attach_root(nullptr);
  if (mkdirs(s_root) != 0 || platform::attach_root(s_root) != 0) {
    set_error("mkdirs failed: %s", s_root);
    return -1;
  }
  // What this creates is durable before the store is reported ready.
  DirSyncs syncs;
  if (!make_store_dir({"blobs", "sha256"}, syncs) || !make_store_dir({"repositories"}, syncs) ||
      !make_store_dir({"uploads"}, syncs))
    return -1;

  Path config;
  platform::FileAttr attr;
  if (!store_path({"config.json"}, config)) {
    set_error("write config.json failed");
    return -1;
  }
  if (platform::get_attr(config.c_str(), &attr) != 0 || !attr.is_file()) {
    if (write_file_durable(config.c_str(), kConfigJson, sizeof kConfigJson - 1) != 0) {
      set_error("write config.json failed");
      return -1;
    }
    syncs.note_parent_of(config);
  }
  if (syncs.sync() != 0) {
    set_error("sync store directories failed");
    return -1;
  }

  const std::int64_t now = platform::wall_clock_seconds();
  s_ready = 1;
  clear_error();
  std::uint32_t seed = static_cast<std::uint32_t>(now) ^
                       static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&s_seed));
  s_seed.store(seed ? seed : kSeedFallback);
  return 0;
}

}  // namespace
}  // namespace reg

extern "C" {

int reg_storage_init(const char* root_dir) {
  return reg::guarded_body(-1, [&] {
    const reg::ContextChange change;
    return reg::storage_init(root_dir);
  });
}

void reg_storage_cleanup(void) {
  reg::guarded_body(0, [] {
    const reg::ContextChange change;
    reg::s_root[0] = '\0';
    reg::s_ready = 0;
    reg::platform::attach_root(nullptr);
    return 0;
  });
}

const char* reg_storage_last_error(void) { return reg::s_error; }

}  // extern "C"
