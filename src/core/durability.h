// The store's durability setting and the syncs that carry it out.
//
// `full` (the default): an operation that reports success has synced what it wrote first (the
// data of each new file before the rename that publishes it, then each directory whose
// entries it changed, once). `none`: nothing is synced, as for a cache or a test store; a
// power cut may then lose acknowledged operations. A process-wide setting of the library's
// internal interface, which the operator tool chooses; the exported functions keep their
// meaning under either.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace reg {

enum class Durability { full, none };

Durability durability();
void set_durability(Durability d);
const char* durability_name(Durability d);                // "full", "none"
bool parse_durability(std::string_view text, Durability* out);

// Syncs `path`'s data under `full`; 0 under `none`. 0 or an error number.
int durable_sync_file(const char* path);

// The directories one operation changed, synced once each, in the order they were first
// noted (callers note the deepest first, so a name becomes durable only after what it names).
class DirSyncs {
 public:
  void note(std::string_view dir);
  void note_parent_of(std::string_view path);  // the directory that holds `path`
  // Creates `dir` and its missing ancestors below the store root (mkdirs), noting the
  // directory that holds each one it created, deepest first. 0 or -1.
  int make_dirs(const char* dir);
  // Syncs each noted directory that still exists (under `full`). 0 or the first error.
  int sync();

 private:
  std::vector<std::string> dirs_;
};

}  // namespace reg
