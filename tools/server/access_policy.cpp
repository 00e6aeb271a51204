#include "access_policy.h"

#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "manifests/protection.h"

namespace tool {
namespace {

std::string where(const toml::node& n, const std::string& source) {
  return source + " line " + std::to_string(n.source().begin.line);
}

// An array of strings; false (error set) when `node` is something else.
bool strings_of(const toml::node* node, const std::string& key, const std::string& source,
                std::vector<std::string>& out, std::string& error) {
  out.clear();
  if (node == nullptr) return true;
  const toml::array* arr = node->as_array();
  if (arr == nullptr) {
    error = where(*node, source) + ": " + key + " must be an array of strings";
    return false;
  }
  for (const toml::node& el : *arr) {
    const auto s = el.value<std::string>();
    if (!s || !el.is_string() || s->empty()) {
      error = where(el, source) + ": " + key + " must hold non-empty strings";
      return false;
    }
    out.push_back(*s);
  }
  return true;
}

bool only_keys(const toml::table& t, std::initializer_list<std::string_view> keys,
               const std::string& what, const std::string& source, std::string& error) {
  for (const auto& [k, v] : t) {
    if (std::find(keys.begin(), keys.end(), k.str()) == keys.end()) {
      error = where(v, source) + ": unknown key " + std::string(k.str()) + " in " + what;
      return false;
    }
  }
  return true;
}

bool matches_any(const std::vector<std::string>& globs, std::string_view repo) {
  for (const auto& g : globs)
    if (reg::glob_match(g, repo)) return true;
  return false;
}

}  // namespace

Actions action_of(std::string_view name) {
  if (name == "pull") return kPull;
  if (name == "push") return kPush;
  if (name == "delete") return kDelete;
  return 0;
}

std::string actions_text(Actions a) {
  std::string out;
  for (const auto& [bit, name] : {std::pair{kPull, "pull"}, {kPush, "push"}, {kDelete, "delete"}})
    if (a & bit) out += (out.empty() ? "" : ",") + std::string(name);
  return out;
}

bool AccessPolicy::load(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "policy: cannot read " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  return load_text(text.str(), path, error);
}

bool AccessPolicy::load_text(std::string_view text, const std::string& source, std::string& error) {
  toml::table doc;
  try {
    doc = toml::parse(text, source);
  } catch (const toml::parse_error& e) {
    error = "policy " + source + " line " + std::to_string(e.source().begin.line) + ": " +
            std::string(e.description());
    return false;
  }
  if (!only_keys(doc, {"groups", "anonymous", "rule"}, "the policy", source, error)) return false;
  *this = AccessPolicy{};
  std::map<std::string, std::vector<std::string>, std::less<>> members;
  if (const toml::node* g = doc.get("groups")) {
    const toml::table* t = g->as_table();
    if (t == nullptr) {
      error = where(*g, source) + ": groups must be a table";
      return false;
    }
    for (const auto& [name, list] : *t) {
      std::vector<std::string> users;
      if (!strings_of(&list, "group " + std::string(name.str()), source, users, error))
        return false;
      for (const auto& u : users) groups_of_[u].insert(std::string(name.str()));
      members[std::string(name.str())] = std::move(users);
    }
  }
  if (const toml::node* a = doc.get("anonymous")) {
    const toml::table* t = a->as_table();
    if (t == nullptr || !only_keys(*t, {"pull"}, "[anonymous]", source, error)) {
      if (t == nullptr) error = where(*a, source) + ": anonymous must be a table";
      return false;
    }
    if (!strings_of(t->get("pull"), "pull", source, anonymous_pull_, error)) return false;
  }
  std::vector<std::vector<std::string>> rule_users;
  if (const toml::node* r = doc.get("rule")) {
    const toml::array* arr = r->as_array();
    if (arr == nullptr || !arr->is_array_of_tables()) {
      error = where(*r, source) + ": rules are written [[rule]]";
      return false;
    }
    for (const toml::node& n : *arr) {
      const toml::table& t = *n.as_table();
      if (!only_keys(t, {"repositories", "users", "groups", "actions"}, "a rule", source, error))
        return false;
      Rule rule;
      rule.number = static_cast<int>(rules_.size()) + 1;
      std::vector<std::string> users, groups, actions;
      if (!strings_of(t.get("repositories"), "repositories", source, rule.repositories, error) ||
          !strings_of(t.get("users"), "users", source, users, error) ||
          !strings_of(t.get("groups"), "groups", source, groups, error) ||
          !strings_of(t.get("actions"), "actions", source, actions, error))
        return false;
      if (rule.repositories.empty() || actions.empty() || (users.empty() && groups.empty())) {
        error = where(n, source) + ": a rule needs repositories, actions and users or groups";
        return false;
      }
      for (const auto& a : actions) {
        if (!action_of(a)) {
          error = where(n, source) + ": unknown action " + a + " (pull, push or delete)";
          return false;
        }
        rule.actions |= action_of(a);
      }
      for (const auto& g : groups) {
        auto it = members.find(g);
        if (it == members.end()) {
          error = where(n, source) + ": unknown group " + g;
          return false;
        }
        users.insert(users.end(), it->second.begin(), it->second.end());
      }
      rules_.push_back(std::move(rule));
      rule_users.push_back(std::move(users));
    }
  }
  // Indexed once the rules stay where they are.
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    std::set<std::string> seen;
    for (const auto& u : rule_users[i]) {
      if (!seen.insert(u).second) continue;
      if (u == "*")
        any_user_.push_back(&rules_[i]);
      else
        by_user_[u].push_back(&rules_[i]);
    }
  }
  return true;
}

const std::vector<const AccessPolicy::Rule*>& AccessPolicy::rules_for(std::string_view user) const {
  static const std::vector<const Rule*> kNone;
  auto it = by_user_.find(user);
  return it == by_user_.end() ? kNone : it->second;
}

Actions AccessPolicy::allowed(std::string_view user, std::string_view repo) const {
  Actions a = matches_any(anonymous_pull_, repo) ? Actions{kPull} : Actions{0};
  if (user.empty()) return a;
  for (const auto* list : {&rules_for(user), &any_user_})
    for (const Rule* r : *list)
      if ((a | r->actions) != a && matches_any(r->repositories, repo)) a |= r->actions;
  return a;
}

std::vector<std::string> AccessPolicy::explain(std::string_view user, std::string_view repo) const {
  std::vector<std::string> out;
  for (const auto& g : anonymous_pull_)
    if (reg::glob_match(g, repo)) out.push_back("[anonymous] pull = \"" + g + "\": pull");
  if (user.empty()) return out;
  std::vector<const Rule*> rules = rules_for(user);
  rules.insert(rules.end(), any_user_.begin(), any_user_.end());
  std::sort(rules.begin(), rules.end(),
            [](const Rule* a, const Rule* b) { return a->number < b->number; });
  for (const Rule* r : rules)
    for (const auto& g : r->repositories)
      if (reg::glob_match(g, repo)) {
        out.push_back("rule " + std::to_string(r->number) + " (\"" + g +
                      "\"): " + actions_text(r->actions));
        break;
      }
  return out;
}

std::set<std::string> AccessPolicy::users_named() const {
  std::set<std::string> out;
  for (const auto& [u, rules] : by_user_) out.insert(u);
  for (const auto& [u, groups] : groups_of_) out.insert(u);
  return out;
}

}  // namespace tool
