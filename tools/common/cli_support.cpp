#include "cli_support.h"

#include <reg_storage.h>

#include "store_durability.h"

#include <cstdio>

namespace tool {

bool open_store(const GlobalOptions& opts) {
  if (opts.root.empty()) {
    fail("no storage root: pass --root DIR");
    return false;
  }
  if (!opts.durability.empty() && !durability_name_valid(opts.durability)) {
    fail("durability must be full or none, not '" + opts.durability + "'");
    return false;
  }
  reg_tag_protection_set(opts.protect.empty() ? nullptr : opts.protect.c_str());
  if (reg_storage_init(opts.root.c_str()) != 0) {
    fail_with_library("cannot open the store");
    return false;
  }
  StoreDurability applied;
  std::string error;
  if (!apply_store_durability(opts.root, opts.durability, applied, error)) {
    fail(error);
    return false;
  }
  return true;
}

int fail_with_library(const char* what) {
  std::fprintf(stderr, "tarnwick-registry: %s: %s\n", what, reg_storage_last_error());
  return 1;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "tarnwick-registry: %s\n", message.c_str());
  return 1;
}

std::string human_size(long long bytes) {
  static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double v = static_cast<double>(bytes);
  int unit = 0;
  while (v >= 1024.0 && unit < 5) {
    v /= 1024.0;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

std::string human_duration_ms(long long ms) {
  char buf[32];
  if (ms < 1000)
    std::snprintf(buf, sizeof buf, "%lld ms", ms);
  else
    std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
  return buf;
}

ImageRef parse_image_ref(std::string_view text) {
  ImageRef r;
  size_t at = text.find('@');
  if (at != std::string_view::npos) {
    r.repo = text.substr(0, at);
    r.reference = text.substr(at + 1);
    r.separator = '@';
    return r;
  }
  // A tag follows the last ':' after the last '/', so "host:5000/app" is not cut.
  size_t slash = text.rfind('/');
  size_t colon = text.rfind(':');
  if (colon != std::string_view::npos && (slash == std::string_view::npos || colon > slash)) {
    r.repo = text.substr(0, colon);
    r.reference = text.substr(colon + 1);
    r.separator = ':';
  } else {
    r.repo = text;
  }
  return r;
}

}  // namespace tool
