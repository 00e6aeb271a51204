// fsck --repair and serve --repair-on-start: the store's repair with writers and collections
// held off by the store lock for its run.
#pragma once

#include <string>

namespace tool {

// Repairs the open store at `root`; `report` gets the repair's lines. False, with `error`,
// when the store lock cannot be had or the library is not initialised.
bool repair_store(const std::string& root, std::string& report, std::string& error);

}  // namespace tool
