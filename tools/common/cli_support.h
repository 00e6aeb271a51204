// Helpers shared by the operator commands: opening the store, reporting failures, formatting.
#pragma once

#include <string>
#include <string_view>

namespace tool {

// Options every command sees.
struct GlobalOptions {
  std::string root;
  std::string protect;  // tag-protection rules; empty for none
  bool json = false;    // print the library's JSON unchanged
  std::string durability;  // "full", "none", or empty: as the store records it
};

// Opens the store (and applies the protection rules and the store's durability setting,
// store_durability.h); prints the library's message and returns false on failure.
bool open_store(const GlobalOptions& opts);

// Prints "tarnwick-registry: <what>: <library message>" to stderr; returns the exit code 1.
int fail_with_library(const char* what);
int fail(const std::string& message);

// 1536 -> "1.5 KiB"; below 1024 bytes "N B".
std::string human_size(long long bytes);

// "1.2 s", "350 ms".
std::string human_duration_ms(long long ms);

// A reference as the commands take it: "repo:tag", "repo@sha256:..." or "repo".
struct ImageRef {
  std::string repo;
  std::string reference;  // tag or digest; empty for a bare repository
  char separator = '\0';  // '@' or ':' when the text has one, even with nothing after it
  bool is_digest() const { return reference.rfind("sha256:", 0) == 0; }
};
ImageRef parse_image_ref(std::string_view text);

}  // namespace tool
