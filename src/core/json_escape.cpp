#include "core/json_escape.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace reg {
namespace {

constexpr char kReplacement[] = "\\ufffd";  // U+FFFD for a byte that is not UTF-8

// Length of the well-formed UTF-8 sequence that begins at s[i] (no overlong form, no
// surrogate, nothing above U+10FFFF), or 0.
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = byte(0);
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xbf;  // range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  }
  if (n == 0 || i + n > s.size() || byte(1) < lo || byte(1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((byte(k) & 0xc0) != 0x80) return 0;
  return n;
}

// The short escape of a byte below 0x80, or 0 when it has none.
char short_escape(unsigned char c) {
  switch (c) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case 0x08:
      return 'b';
    case 0x09:
      return 't';
    case 0x0A:
      return 'n';
    case 0x0C:
      return 'f';
    case 0x0D:
      return 'r';
    default:
      return 0;
  }
}

// Writes the escaped form of the character at s[i] to out (at most 6 bytes) and its length
// to *n; returns how many bytes of s it stands for.
std::size_t escape_char(std::string_view s, std::size_t i, char* out, std::size_t* n) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (const char e = short_escape(c)) {
    out[0] = '\\';
    out[1] = e;
    *n = 2;
    return 1;
  }
  if (c < 0x20) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\u%04x", c);
    std::memcpy(out, hex, 6);
    *n = 6;
    return 1;
  }
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    *n = 1;
    return 1;
  }
  if (const std::size_t len = utf8_sequence(s, i)) {
    std::memcpy(out, s.data() + i, len);
    *n = len;
    return len;
  }
  std::memcpy(out, kReplacement, sizeof kReplacement - 1);
  *n = sizeof kReplacement - 1;
  return 1;
}

}  // namespace

int json_escape_append(char* dst, std::size_t cap, const char* src) {
  std::size_t n = 0;
  const std::string_view s = src ? std::string_view(src) : std::string_view();
  for (std::size_t i = 0; i < s.size();) {
    char piece[8];
    std::size_t len = 0;
    const std::size_t used = escape_char(s, i, piece, &len);
    // Each source byte needs 9 free bytes when its turn comes; a sequence, copied byte for
    // byte, needs them for its last byte, and is otherwise dropped whole rather than cut.
    if (n + (used - 1) + 8 >= cap) break;
    std::memcpy(dst + n, piece, len);
    n += len;
    i += used;
  }
  if (n < cap) dst[n] = '\0';
  return static_cast<int>(n);
}

void json_escape_to(std::string& out, std::string_view src) {
  src = src.substr(0, std::min(src.size(), src.find('\0')));
  for (std::size_t i = 0; i < src.size();) {
    char piece[8];
    std::size_t len = 0;
    i += escape_char(src, i, piece, &len);
    out.append(piece, len);
  }
}

}  // namespace reg
