#include "store_durability.h"

#include "core/durability.h"
#include "core/fileutil.h"
#include "platform/platform.h"

namespace tool {
namespace {

constexpr const char* kFileName = "durability";

StoreDurability g_current{"full", false};

std::string file_path(const std::string& root) {
  std::string p = root;
  if (p.empty() || p.back() != reg::platform::kSep) p += reg::platform::kSep;
  return p + kFileName;
}

// The recorded name ("" when the store records none). False when it cannot be read.
bool read_recorded(const std::string& path, std::string& name, std::string& error) {
  char buf[64];
  std::size_t len = 0;
  const int e = reg::read_file_status(path.c_str(), buf, sizeof buf, &len);
  if (e != 0 && reg::platform::is_absent(e)) {
    name.clear();
    return true;
  }
  if (e != 0) {
    error = std::string("cannot read the store's durability setting: ") +
            reg::platform::describe(e);
    return false;
  }
  name.assign(buf, len);
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r' || name.back() == ' '))
    name.pop_back();
  if (!durability_name_valid(name)) {
    error = "the store's durability file holds neither full nor none";
    return false;
  }
  return true;
}

// The record itself is always synced: a store that forgot it was set to `full` after a power
// cut would silently stop syncing.
bool write_recorded(const std::string& root, const std::string& name, std::string& error) {
  const std::string path = file_path(root);
  const std::string text = name + "\n";
  if (reg::write_file(path.c_str(), text.data(), text.size()) != 0 ||
      reg::platform::sync_file(path.c_str()) != 0 ||
      reg::platform::sync_dir(root.c_str()) != 0) {
    error = "cannot record the store's durability setting";
    return false;
  }
  return true;
}

}  // namespace

bool durability_name_valid(const std::string& name) {
  reg::Durability d;
  return reg::parse_durability(name, &d);
}

bool apply_store_durability(const std::string& root, const std::string& given,
                            StoreDurability& out, std::string& error) {
  if (!given.empty() && !durability_name_valid(given)) {
    error = "durability must be full or none, not '" + given + "'";
    return false;
  }
  std::string recorded;
  if (!read_recorded(file_path(root), recorded, error)) return false;
  StoreDurability chosen{given.empty() ? recorded : given, true};
  if (chosen.name.empty()) chosen = {"full", false};
  if (!given.empty() && given != recorded && !write_recorded(root, given, error)) return false;
  reg::Durability d;
  reg::parse_durability(chosen.name, &d);
  reg::set_durability(d);
  g_current = chosen;
  out = chosen;
  return true;
}

const StoreDurability& current_store_durability() { return g_current; }

}  // namespace tool
