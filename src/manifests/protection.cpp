#include "manifests/protection.h"

#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "core/boundary.h"
#include "core/context.h"
#include "reg_storage.h"

namespace reg {
namespace {

constexpr std::size_t kRepoPatternMax = 511;
constexpr std::size_t kProtectCap = 4096;

// The rule text, replaced whole under the exclusive lock and read under the shared one.
char s_protect[kProtectCap];
std::shared_mutex s_protect_mutex;

// A private copy of the rules: rules set meanwhile affect only later evaluations.
std::string protection_rules() {
  const std::shared_lock lock(s_protect_mutex);
  return s_protect;
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

struct Rule {
  std::string_view repo;
  std::string_view tag;
};

// Splits one trimmed, non-empty rule; false when it can never match.
bool parse_rule(std::string_view rule, Rule* out) {
  const std::size_t colon = rule.find(':');
  if (colon != std::string_view::npos) {
    std::string_view repo = rule.substr(0, colon);
    while (!repo.empty() && (repo.back() == ' ' || repo.back() == '\t')) repo.remove_suffix(1);
    repo = repo.substr(0, kRepoPatternMax);
    std::string_view tag = rule.substr(colon + 1);
    while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
    out->repo = repo.empty() ? std::string_view("*") : repo;
    out->tag = tag;
  } else {
    const std::size_t slash = rule.substr(0, kRepoPatternMax).rfind('/');
    if (slash == std::string_view::npos) {
      out->repo = "*";
      out->tag = rule;
    } else {
      out->repo =
          slash == 0 ? std::string_view("*") : rule.substr(0, slash).substr(0, kRepoPatternMax);
      out->tag = rule.substr(slash + 1);
    }
  }
  return !out->tag.empty() && out->tag.find(':') == std::string_view::npos;
}

}  // namespace

int glob_match(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0;
  std::size_t star = std::string_view::npos, star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_text = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else {
      if (star == std::string_view::npos) return 0;
      p = star + 1;
      t = ++star_text;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool protection_rules_set() {
  const std::shared_lock lock(s_protect_mutex);
  return s_protect[0] != '\0';
}

int protect_match(std::string_view repo, std::string_view tag) {
  const std::string rules = protection_rules();
  if (rules.empty()) return 0;
  std::size_t start = 0;
  while (start <= rules.size()) {
    std::size_t end = rules.find_first_of(",;", start);
    if (end == std::string::npos) end = rules.size();
    const std::string_view rule = trim_blanks(std::string_view(rules).substr(start, end - start));
    Rule r;
    if (!rule.empty() && parse_rule(rule, &r) && glob_match(r.repo, repo) && glob_match(r.tag, tag))
      return 1;
    start = end + 1;
  }
  return 0;
}

void set_protection_rules(const char* rules) {
  const std::unique_lock lock(s_protect_mutex);
  if (!rules) {
    s_protect[0] = '\0';
    return;
  }
  std::strncpy(s_protect, rules, kProtectCap - 1);
  s_protect[kProtectCap - 1] = '\0';
}

}  // namespace reg

extern "C" {

void reg_tag_protection_set(const char* rules) {
  reg::guarded_body(0, [&] {
    reg::set_protection_rules(rules);
    return 0;
  });
}

int reg_tag_is_protected(const char* repo, const char* tag) {
  return reg::guarded(0, [&] {
    if (!repo || !tag || !*tag || std::strncmp(tag, "sha256:", 7) == 0 ||
        !reg::protection_rules_set())
      return 0;
    return reg::protect_match(repo, tag);
  });
}

}  // extern "C"
