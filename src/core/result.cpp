#include "core/result.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/context.h"
#include "core/fileutil.h"

namespace reg {

ResultWriter::ResultWriter() : buf_(result_buffer()), cap_(kResultCap) { buf_[0] = '\0'; }

bool ResultWriter::fits(std::size_t n) const { return len_ + n + reserved_ < cap_; }

bool ResultWriter::append(std::string_view s) {
  if (!fits(s.size())) return false;
  std::memcpy(buf_ + len_, s.data(), s.size());
  len_ += s.size();
  return true;
}

bool ResultWriter::appendf(const char* fmt, ...) {
  char tmp[1024];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(tmp, sizeof tmp, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof tmp) return false;
  return append(std::string_view(tmp, static_cast<std::size_t>(n)));
}

bool ResultWriter::append_json_string(std::string_view s) {
  std::string piece = "\"";
  json_escape_to(piece, s);
  piece += '"';
  return append(piece);
}

bool ResultWriter::append_tail(std::string_view s) {
  if (len_ + s.size() >= cap_) return false;
  std::memcpy(buf_ + len_, s.data(), s.size());
  len_ += s.size();
  return true;
}

const char* ResultWriter::finish() {
  buf_[len_] = '\0';
  return buf_;
}

}  // namespace reg
