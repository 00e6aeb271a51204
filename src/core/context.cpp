#include "core/context.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/boundary.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {

char s_root[kRootCap];
int s_ready;
char s_error[kErrorCap];
char s_result[kResultCap];
std::uint32_t s_seed;
char s_protect[kProtectCap];

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
bool make_store_dir(std::initializer_list<std::string_view> parts) {
  Path p;
  if (!store_path(parts, p) || mkdirs(p.c_str()) != 0) {
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
  if (!make_store_dir({"blobs", "sha256"}) || !make_store_dir({"repositories"}) ||
      !make_store_dir({"uploads"}))
    return -1;

  Path config;
  platform::FileAttr attr;
  if (!store_path({"config.json"}, config)) {
    set_error("write config.json failed");
    return -1;
  }
  if (platform::get_attr(config.c_str(), &attr) != 0 || !attr.is_file()) {
    if (write_file(config.c_str(), kConfigJson, sizeof kConfigJson - 1) != 0) {
      set_error("write config.json failed");
      return -1;
    }
  }

  const std::int64_t now = platform::wall_clock_seconds();
  s_ready = 1;
  clear_error();
  std::uint32_t seed = static_cast<std::uint32_t>(now) ^
                       static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&s_seed));
  s_seed = seed ? seed : kSeedFallback;
  return 0;
}

}  // namespace
}  // namespace reg

extern "C" {

int reg_storage_init(const char* root_dir) {
  return reg::guarded(-1, [&] { return reg::storage_init(root_dir); });
}

void reg_storage_cleanup(void) {
  reg::s_root[0] = '\0';
  reg::s_ready = 0;
  reg::platform::attach_root(nullptr);
}

const char* reg_storage_last_error(void) { return reg::s_error; }

}  // extern "C"
