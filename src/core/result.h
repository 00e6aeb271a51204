// The one writer of the shared result buffer. Every append is all or nothing and leaves room
// for the terminating NUL (and for a reserved tail), so a result that does not fit ends early
// as valid text and nothing is ever written past the buffer.
#pragma once

#include <cstddef>
#include <string_view>

namespace reg {

class ResultWriter {
 public:
  ResultWriter();
  // Keeps `n` bytes free for a closing text appended with append_tail().
  void reserve_tail(std::size_t n) { reserved_ = n; }
  bool append(std::string_view s);
  bool appendf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Appends "\"" + escaped(s) + "\"".
  bool append_json_string(std::string_view s);
  // Appends into the reserved room.
  bool append_tail(std::string_view s);
  std::size_t size() const { return len_; }
  void truncate(std::size_t len) { len_ = len; }
  // NUL-terminates and returns the buffer.
  const char* finish();

 private:
  bool fits(std::size_t n) const;
  char* buf_;
  std::size_t cap_;
  std::size_t len_ = 0;
  std::size_t reserved_ = 0;
};

}  // namespace reg
