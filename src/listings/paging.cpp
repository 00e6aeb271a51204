#include "listings/paging.h"

#include <algorithm>
#include <cstring>

#include "core/fileutil.h"

namespace reg {
namespace {

// Just after `last` when it is present, else at the first greater name.
std::size_t page_start(const std::vector<std::string>& names, const char* last) {
  if (!last || !*last) return 0;
  const std::string_view l(last);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == l) return i + 1;
    if (names[i] > l) return i;
  }
  return names.size();
}

}  // namespace

void reset_page_outputs(int* has_more, char* next_last, std::size_t next_last_size) {
  if (has_more) *has_more = 0;
  if (next_last && next_last_size) next_last[0] = '\0';
}

const char* write_page(ResultWriter& out, const std::vector<std::string>& names, int n,
                       const char* last, int* has_more, char* next_last,
                       std::size_t next_last_size) {
  constexpr std::string_view kClose = "]}";
  out.reserve_tail(kClose.size());
  const std::size_t start = page_start(names, last);
  const std::size_t end =
      n > 0 ? std::min(start + static_cast<std::size_t>(n), names.size()) : names.size();
  std::size_t written = start;
  std::string piece;
  for (std::size_t i = start; i < end; ++i) {
    piece.assign(i > start ? ",\"" : "\"");
    json_escape_to(piece, names[i]);
    piece += '"';
    if (!out.append(piece)) break;  // full: the page ends after the last whole name
    written = i + 1;
  }
  out.append_tail(kClose);
  if (has_more) *has_more = written < names.size() ? 1 : 0;
  if (next_last && next_last_size && written > start) {
    const std::string& name = names[written - 1];
    const std::size_t len = std::min(name.size(), next_last_size - 1);
    std::memcpy(next_last, name.data(), len);
    next_last[len] = '\0';
  }
  return out.finish();
}

}  // namespace reg
