#include "server_security.h"

#include "base64.h"
#include "server_errors.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <crypt.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>

namespace tool {
namespace {

constexpr size_t kBcryptLength = 60;  // "$2y$" cost "$" 22 salt and 31 hash characters

bool is_bcrypt(std::string_view hash) {
  if (hash.size() != kBcryptLength) return false;
  if (hash.substr(0, 4) != "$2y$" && hash.substr(0, 4) != "$2b$" && hash.substr(0, 4) != "$2a$")
    return false;
  return hash[4] >= '0' && hash[4] <= '9' && hash[5] >= '0' && hash[5] <= '9' && hash[6] == '$';
}

// Compares without stopping at the first difference; the hashes are of equal length.
bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// A hash at the cost most users have, with a fixed salt and a digest no password yields.
std::string decoy_hash(const std::map<std::string, std::string, std::less<>>& users) {
  std::map<std::string, int> costs;
  for (const auto& u : users) ++costs[u.second.substr(4, 2)];
  std::string cost = "05";
  int most = 0;
  for (const auto& [c, n] : costs)
    if (n > most) {
      most = n;
      cost = c;
    }
  return "$2y$" + cost + "$" + std::string(53, '.');
}

void send_challenge(HttpResponse& res, const char* message) {
  send_error(res, 401, "UNAUTHORIZED", message);
  res.set_header("WWW-Authenticate", std::string("Basic realm=\"") + kAuthRealm + "\"");
}

bool starts_with_ci(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

}  // namespace

bool Htpasswd::load(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "htpasswd: cannot read " + path;
    return false;
  }
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::string where = "htpasswd " + path + " line " + std::to_string(n) + ": ";
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos) {
      error = where + "expected user:hash";
      return false;
    }
    std::string user = line.substr(0, colon);
    std::string hash = line.substr(colon + 1);
    if (!is_bcrypt(hash)) {
      error = where + "the entry of " + user + " is not bcrypt (make it with htpasswd -B)";
      return false;
    }
    if (!users_.emplace(user, hash).second) {
      error = where + user + " appears twice";
      return false;
    }
  }
  if (users_.empty()) {
    error = "htpasswd " + path + ": no users";
    return false;
  }
  decoy_ = decoy_hash(users_);
  return true;
}

bool Htpasswd::verify(std::string_view user, std::string_view password) const {
  auto it = users_.find(user);
  const std::string& hash = it == users_.end() ? decoy_ : it->second;
  auto data = std::make_unique<crypt_data>();  // about 32 KiB: not on a worker's stack
  std::string pw(password);
  const char* out = crypt_r(pw.c_str(), hash.c_str(), data.get());
  bool match = out != nullptr && out[0] != '*' && same_text(out, hash);
  // A NUL would end the password early for crypt_r, letting a prefix pass.
  return match && it != users_.end() && password.find('\0') == std::string_view::npos;
}

bool parse_basic_auth(std::string_view header, std::string& user, std::string& password) {
  if (!starts_with_ci(header, "basic ")) return false;
  header.remove_prefix(6);
  while (!header.empty() && header.front() == ' ') header.remove_prefix(1);
  while (!header.empty() && header.back() == ' ') header.remove_suffix(1);
  std::string decoded;
  if (header.empty() || !base64_decode(header, Base64Alphabet::standard, decoded)) return false;
  size_t colon = decoded.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  user = decoded.substr(0, colon);
  password = decoded.substr(colon + 1);
  return true;
}

bool authenticate(const Htpasswd* users, AuthGuards* guards, const HttpRequest& req,
                  HttpResponse& res, std::string& user) {
  user.clear();
  if (users == nullptr) return true;
  std::string name, password;
  if (!parse_basic_auth(req.get_header_value("Authorization"), name, password)) {
    send_challenge(res, "authentication required");
    return false;
  }
  // Credentials that passed lately are let in before the failure limit is looked at: an
  // address shared with a guesser keeps working for those who know their password.
  bool cached = guards != nullptr && guards->cache.known(name, password);
  if (!cached) {
    if (guards != nullptr && !guards->limiter.allowed(req.remote_addr)) {
      send_error(res, 429, "TOOMANYREQUESTS", "too many failed authentication attempts");
      res.set_header("Retry-After", "60");
      return false;
    }
    bool leader = false;
    if (guards == nullptr || !guards->cache.join_check(name, password, leader)) {
      bool ok = users->verify(name, password);
      if (ok && guards != nullptr) guards->cache.remember(name, password);
      if (leader) guards->cache.end_check(name, password);
      if (!ok) {
        if (guards != nullptr) guards->limiter.failed(req.remote_addr);
        send_challenge(res, "invalid username or password");
        return false;
      }
    }
  }
  user = name;
  return true;
}

bool is_loopback_host(const std::string& host) {
  if (host == "localhost") return true;
  unsigned char addr[16];
  if (inet_pton(AF_INET, host.c_str(), addr) == 1) return addr[0] == 127;
  return inet_pton(AF_INET6, host.c_str(), addr) == 1 &&
         std::memcmp(addr, &in6addr_loopback, sizeof addr) == 0;
}

std::string listen_refusal(const std::string& host, bool tls, bool credentials, bool insecure) {
  if (insecure || is_loopback_host(host) || (tls && credentials)) return "";
  return "serve: refusing to listen on " + host +
         " without --tls-cert, --tls-key and --htpasswd (pass --insecure to do it anyway)";
}

}  // namespace tool
