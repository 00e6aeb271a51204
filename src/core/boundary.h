// The C boundary: every exported function runs its C++ body through `guarded`, so that no
// exception ever reaches a C caller. std::bad_alloc becomes an ordinary failure.
#pragma once

#include <new>
#include <utility>

#include "core/context.h"

namespace reg {

template <class R, class F>
R guarded(R on_failure, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::bad_alloc&) {
    set_error("out of memory");
  } catch (...) {
    set_error("internal error");
  }
  return on_failure;
}

}  // namespace reg
