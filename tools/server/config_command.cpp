// config check: the configuration file checked as serve would check it, before an operator
// restarts a service on it.
#include "access_policy.h"
#include "server_security.h"
#include "settings.h"

#include <cstdio>

namespace tool {
namespace {

// Loads the files the configuration names, as serve does before it listens.
std::string named_file_failure(const ServeOptions& o) {
  std::string error;
  Htpasswd users;
  if (!o.htpasswd.empty() && !users.load(o.htpasswd, error)) return error;
  AccessPolicy policy;
  if (!o.policy.empty() && !policy.load(o.policy, error)) return error;
  TokenVerifier tokens;
  if (!o.tokens.key.empty() && !tokens.load(o.tokens, error)) return error;
  return "";
}

}  // namespace

int run_config_check(const std::string& file) {
  Settings s;
  std::string error;
  if (!load_settings_file(file, s, error)) return fail("config: " + error);
  if (std::string why = serve_refusal(s.serve); !why.empty()) return fail(file + ": " + why);
  if (std::string why = named_file_failure(s.serve); !why.empty())
    return fail(file + ": " + why);
  std::printf("# %s is valid; the effective configuration:\n%s", file.c_str(),
              render_settings(s).c_str());
  return 0;
}

}  // namespace tool
