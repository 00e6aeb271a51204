// Paging shared by the catalog and the tag list: page by size and last name seen, with an
// optional "more follow" flag and the name to pass as `last` next time.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/result.h"

namespace reg {

// Done before any check, so that the outputs read "no more, no name" on every failure.
void reset_page_outputs(int* has_more, char* next_last, std::size_t next_last_size);

// Appends one page of the sorted `names` to `out` as the inside of a JSON array, then the
// closing "]}", and fills the outputs. A page that would overflow the result buffer ends
// early after the last whole name: `has_more` then says 1 and `next_last` names that entry,
// so the caller's next page continues there. Returns the finished result text.
const char* write_page(ResultWriter& out, const std::vector<std::string>& names, int n,
                       const char* last, int* has_more, char* next_last,
                       std::size_t next_last_size);

}  // namespace reg
