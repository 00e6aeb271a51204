// The access policy: who may pull, push and delete which repositories. Read from a TOML file:
//
//   [groups]
//   devs = ["alice", "bob"]
//
//   [anonymous]
//   pull = ["public/*"]          # repositories anyone may pull, without credentials
//
//   [[rule]]
//   repositories = ["team/*", "tools"]   # globs as in tag protection: '*' matches any run
//   users = ["carol"]                    # "*" stands for every authenticated user
//   groups = ["devs"]
//   actions = ["pull", "push", "delete"]
//
// Users are those of the htpasswd file (or the subjects of tokens). Whatever no rule grants is
// denied. Without a policy the server grants everything, as before.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

enum Action : unsigned { kPull = 1, kPush = 2, kDelete = 4 };
using Actions = unsigned;

// "pull,push" and the like; 0 for an unknown name.
Actions action_of(std::string_view name);
std::string actions_text(Actions a);  // "pull,push"; "" for none

class AccessPolicy {
 public:
  // Parses `path`. False, with `error` naming the file and the line, when it cannot be read,
  // is not TOML, or holds an unknown key, action, group or a value of the wrong type: a
  // policy is refused whole rather than applied in part.
  bool load(const std::string& path, std::string& error);
  bool load_text(std::string_view text, const std::string& source, std::string& error);

  // What `user` ("" for anonymous) may do on `repo`.
  Actions allowed(std::string_view user, std::string_view repo) const;
  // Why: the rules (by number, from 1) and anonymous globs that grant something on `repo`.
  std::vector<std::string> explain(std::string_view user, std::string_view repo) const;

  // Every user the policy names, for a check against the htpasswd file.
  std::set<std::string> users_named() const;
  std::size_t rule_count() const { return rules_.size(); }

 private:
  struct Rule {
    int number = 0;
    std::vector<std::string> repositories;
    Actions actions = 0;
  };
  const std::vector<const Rule*>& rules_for(std::string_view user) const;

  std::vector<Rule> rules_;
  std::vector<std::string> anonymous_pull_;
  std::map<std::string, std::set<std::string>, std::less<>> groups_of_;  // user -> groups
  // Rules that apply to each user the policy names, and to every other authenticated user.
  std::map<std::string, std::vector<const Rule*>, std::less<>> by_user_;
  std::vector<const Rule*> any_user_;
};

using PolicyPtr = std::shared_ptr<const AccessPolicy>;

}  // namespace tool
