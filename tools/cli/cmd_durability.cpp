// durability: shows the store's durability setting, or records a new one.
#include "commands.h"
#include "store_durability.h"

#include <cstdio>

namespace tool {

int run_durability(const GlobalOptions& g, const std::string& value) {
  GlobalOptions opts = g;
  if (!value.empty()) opts.durability = value;
  if (!open_store(opts)) return 1;
  const StoreDurability& d = current_store_durability();
  if (g.json)
    return std::printf("{\"durability\":\"%s\",\"recorded\":%s}\n", d.name.c_str(),
                       d.recorded ? "true" : "false") < 0;
  return std::printf("%s%s\n", d.name.c_str(), d.recorded ? "" : " (the default)") < 0;
}

}  // namespace tool
