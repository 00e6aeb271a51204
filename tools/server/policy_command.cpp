// `tarnwick-registry policy check`: reads a policy as the server would and, given a user and
// a repository, says what the policy grants there and which rules grant it.
#include "access_policy.h"
#include "serve.h"
#include "server_security.h"

#include <cstdio>

namespace tool {

int run_policy_check(const PolicyCheckOptions& o) {
  AccessPolicy policy;
  std::string error;
  if (!policy.load(o.file, error)) return fail(error);
  std::printf("%s: valid, %zu rules\n", o.file.c_str(), policy.rule_count());
  int rc = 0;
  if (!o.htpasswd.empty()) {
    Htpasswd users;
    if (!users.load(o.htpasswd, error)) return fail(error);
    for (const auto& u : policy.users_named()) {
      if (users.has(u)) continue;
      std::printf("warning: %s is named by the policy but not in %s\n", u.c_str(),
                  o.htpasswd.c_str());
      rc = 1;
    }
  }
  if (o.repo.empty()) return rc;
  if (o.user.empty() && !o.anonymous)
    return fail("policy check: --repo needs --user or --anonymous");
  const std::string who = o.anonymous ? std::string() : o.user;
  const Actions a = policy.allowed(who, o.repo);
  std::printf("%s on %s: %s\n", who.empty() ? "anonymous" : who.c_str(), o.repo.c_str(),
              a ? actions_text(a).c_str() : "nothing (denied)");
  for (const auto& why : policy.explain(who, o.repo)) std::printf("  granted by %s\n", why.c_str());
  return rc;
}

}  // namespace tool
