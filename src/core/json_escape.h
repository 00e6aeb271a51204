// The one JSON string escaper of the project. Quotes, backslashes and control bytes take
// their escapes; well-formed UTF-8 is copied unchanged; every other byte (a tag placed by
// hand may hold any) becomes \ufffd, so that every JSON text written is valid UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace reg {

// Escapes `src` as the inside of a JSON string into dst (cap bytes from dst on), stopping when
// fewer than 9 bytes are free; a UTF-8 sequence is written whole or not at all. Returns the
// bytes written, not counting the NUL.
int json_escape_append(char* dst, std::size_t cap, const char* src);
// The same escaping, whole, appended to `out` (up to the first NUL of `src`).
void json_escape_to(std::string& out, std::string_view src);

}  // namespace reg
