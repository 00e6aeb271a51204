// The process-wide context: storage root, ready flag, last error, result buffer, upload-id
// generator state and the tag-protection rule text. Nothing else is process-wide.
#pragma once

#include <cstddef>
#include <cstdint>

namespace reg {

inline constexpr std::size_t kRootCap = 3500;  // root of at most 3499 characters
inline constexpr std::size_t kErrorCap = 1024;
inline constexpr std::size_t kResultCap = 1 << 20;
inline constexpr std::size_t kProtectCap = 4096;
inline constexpr std::uint32_t kSeedFallback = 0x9E3779B9u;  // the generator state is never 0

extern char s_root[kRootCap];
extern int s_ready;
extern char s_error[kErrorCap];
extern char s_result[kResultCap];
extern std::uint32_t s_seed;
extern char s_protect[kProtectCap];

// The only writer of the last-error text (vsnprintf rules: cut at 1023, always terminated).
void set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void clear_error();

// The ready guard: records "not initialized - call reg_storage_init first" when not ready.
bool require_ready();

}  // namespace reg
