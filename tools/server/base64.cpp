#include "base64.h"

namespace tool {
namespace {

constexpr const char* kStandard =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char* kUrl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int value_of(char c, Base64Alphabet alphabet) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  const char* table = alphabet == Base64Alphabet::url ? kUrl : kStandard;
  if (c == table[62]) return 62;
  if (c == table[63]) return 63;
  return -1;
}

}  // namespace

bool base64_decode(std::string_view in, Base64Alphabet alphabet, std::string& out) {
  out.clear();
  if (alphabet == Base64Alphabet::standard)
    while (!in.empty() && in.back() == '=') in.remove_suffix(1);
  if (in.size() % 4 == 1) return false;
  unsigned bits = 0;
  int count = 0;
  for (char c : in) {
    const int v = value_of(c, alphabet);
    if (v < 0) return false;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return true;
}

std::string base64_encode(std::string_view in, Base64Alphabet alphabet) {
  const char* table = alphabet == Base64Alphabet::url ? kUrl : kStandard;
  std::string out;
  out.reserve((in.size() * 4 + 2) / 3);
  unsigned bits = 0;
  int count = 0;
  for (unsigned char c : in) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) out += table[(bits >> (count -= 6)) & 63];
  }
  if (count > 0) out += table[(bits << (6 - count)) & 63];
  return out;
}

}  // namespace tool
