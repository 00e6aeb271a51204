// Tag protection: operator rules that make tags immutable.
#pragma once

#include <string_view>

namespace reg {

// 1 when `pattern` matches the whole `text`; '*' matches any run, '/' included.
int glob_match(std::string_view pattern, std::string_view text);
// 1 when some rule protects `tag` of `repo`; 0 when the rule text is empty or none matches.
int protect_match(std::string_view repo, std::string_view tag);
// True when rules are set at all (callers skip scans that only protection needs).
bool protection_rules_set();
// Replaces the rule text whole (null empties it; longer than 4095 characters is cut).
void set_protection_rules(const char* rules);

}  // namespace reg
