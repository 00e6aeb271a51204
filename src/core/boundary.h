// The C boundary: every exported function runs its C++ body through `guarded`, so that no
// exception ever reaches a C caller. std::bad_alloc becomes an ordinary failure.
#pragma once

#include <new>
#include <utility>

#include "core/context.h"

namespace reg {

// The body alone, for the calls that take the context exclusively themselves.
template <class R, class F>
R guarded_body(R on_failure, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::bad_alloc&) {
    set_error("out of memory");
  } catch (...) {
    set_error("internal error");
  }
  return on_failure;
}

// An ordinary exported call: runs with the context held shared (see CallScope).
template <class R, class F>
R guarded(R on_failure, F&& body) noexcept {
  return guarded_body(on_failure, [&]() -> R {
    const CallScope scope;
    return std::forward<F>(body)();
  });
}

}  // namespace reg
