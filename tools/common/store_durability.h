// The store's durability setting as the operator chose it: recorded in the file `durability`
// at the storage root, so that every command and every server on the store syncs alike.
#pragma once

#include <string>

namespace tool {

// What open_store settled on for this process, and where it came from.
struct StoreDurability {
  std::string name;       // "full" or "none"
  bool recorded = false;  // the store holds the setting (else the default, full)
};

// True for "full" and "none".
bool durability_name_valid(const std::string& name);

// Applies the store's setting to this process: `given` (the operator's --durability or the
// configuration's `durability`; empty when neither says) wins and is recorded in the store when
// the store holds another; else the recorded one; else full. Call after reg_storage_init.
// False, with `error` set and nothing changed, when the recorded setting cannot be read or is
// neither full nor none, or recording fails.
bool apply_store_durability(const std::string& root, const std::string& given,
                            StoreDurability& out, std::string& error);

// The setting open_store applied last (full before any).
const StoreDurability& current_store_durability();

}  // namespace tool
