// The process-wide context: storage root, ready flag, upload-id generator state, and, kept per
// calling thread, the last-error text and the result buffer. The tag-protection rule text
// lives with its rules (manifests/protection.cpp).
//
// Threads: every exported call holds the context shared for its whole run (CallScope), and
// reg_storage_init and reg_storage_cleanup hold it exclusively (ContextChange), so the root
// never changes under a running call while ordinary calls never wait for each other.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace reg {

inline constexpr std::size_t kRootCap = 3500;  // root of at most 3499 characters
inline constexpr std::size_t kErrorCap = 1024;
inline constexpr std::size_t kResultCap = 1 << 20;
inline constexpr std::uint32_t kSeedFallback = 0x9E3779B9u;  // the generator state is never 0

extern char s_root[kRootCap];
extern int s_ready;
extern thread_local char s_error[kErrorCap];
extern std::atomic<std::uint32_t> s_seed;

// The calling thread's result buffer (kResultCap bytes), made on its first text result.
char* result_buffer();

// The only writer of the last-error text (vsnprintf rules: cut at 1023, always terminated).
void set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void clear_error();

// The ready guard: records "not initialized - call reg_storage_init first" when not ready.
bool require_ready();

// Shared hold of the context for one exported call; nested calls on one thread hold it once.
class CallScope {
 public:
  CallScope();
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// Exclusive hold while the root or the ready flag changes; waits for running calls to end.
class ContextChange {
 public:
  ContextChange();
  ~ContextChange();
  ContextChange(const ContextChange&) = delete;
  ContextChange& operator=(const ContextChange&) = delete;
};

}  // namespace reg
