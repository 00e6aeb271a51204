// Who may talk to the registry server: users from an htpasswd file (bcrypt entries, as
// `htpasswd -B` writes them) checked against HTTP Basic credentials, and the rule that a
// server reachable from other machines needs TLS and credentials.
#pragma once

#include "auth_guards.h"
#include "http_message.h"

#include <map>
#include <string>
#include <string_view>

namespace tool {

class Htpasswd {
 public:
  // Reads `path`: "user:hash" lines, blank lines and '#' comments. False, with `error` set,
  // when the file cannot be read, a line is malformed, a user appears twice, or a hash is not
  // bcrypt ($2y$, $2b$, $2a$): other schemes are refused rather than half supported.
  bool load(const std::string& path, std::string& error);
  // Whether `user` is listed and `password` hashes to its entry. An unknown user costs a
  // bcrypt run at the file's usual cost all the same, so timing does not tell which names exist.
  bool verify(std::string_view user, std::string_view password) const;
  size_t size() const { return users_.size(); }
  bool has(std::string_view user) const { return users_.count(user) != 0; }

 private:
  std::map<std::string, std::string, std::less<>> users_;
  std::string decoy_;  // a bcrypt hash no password matches
};

// Decodes an Authorization header "Basic base64(user:password)"; false when it is not one.
bool parse_basic_auth(std::string_view header, std::string& user, std::string& password);

// The realm of the server's Basic challenge.
inline constexpr const char* kAuthRealm = "tarnwick-registry";

// Authenticates a request against `users` (null: everyone is the anonymous user ""). On
// success sets `user` and returns true; otherwise answers 401 with the Basic challenge, or
// 429 when the client's address has failed too often. `guards` (may be null) caches
// credentials that passed and counts failures.
bool authenticate(const Htpasswd* users, AuthGuards* guards, const HttpRequest& req,
                  HttpResponse& res, std::string& user);

// 127.0.0.0/8 in dotted form, "::1" and "localhost". Anything else, including names that
// may resolve to loopback, counts as reachable from other machines.
bool is_loopback_host(const std::string& host);

// The reason to refuse listening on `host`, or "" when it may: a host other than loopback
// needs TLS and credentials, unless the operator insists.
std::string listen_refusal(const std::string& host, bool tls, bool credentials, bool insecure);

}  // namespace tool
