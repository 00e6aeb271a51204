// Base64 in the two alphabets the server meets: the standard one of HTTP Basic credentials
// and the URL-safe one of JSON Web Tokens.
#pragma once

#include <string>
#include <string_view>

namespace tool {

enum class Base64Alphabet { standard, url };  // '+' '/' or '-' '_' for the last two values

// Decodes `in` into `out`; false for a character outside the alphabet or a length no encoding
// has. The standard alphabet takes trailing '=' padding or its absence (some clients leave it
// off); the URL one takes none, as JWTs never pad.
bool base64_decode(std::string_view in, Base64Alphabet alphabet, std::string& out);
// Encodes without padding, as JWTs want it (used with the URL alphabet).
std::string base64_encode(std::string_view in, Base64Alphabet alphabet);

}  // namespace tool
