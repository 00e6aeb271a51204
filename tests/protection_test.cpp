// Tag protection: the rule grammar (separators, blanks, colon and slash forms, the 511 and
// 4095 character cuts), the glob matcher, and what reg_tag_is_protected never protects.
#include "manifests/protection.h"

#include <gtest/gtest.h>

#include <string>

#include "reg_storage.h"

namespace regtest {
namespace {

class ProtectionTest : public ::testing::Test {
 protected:
  void TearDown() override { reg_tag_protection_set(nullptr); }
};

struct GlobCase {
  const char* pattern;
  const char* text;
  int expected;
};

TEST(GlobMatchTest, MatchesWholeTextWithSingleResumePoint) {
  const GlobCase cases[] = {
      {"", "", 1},       {"", "a", 0},        {"*", "", 1},          {"*", "team/app/x", 1},
      {"a*", "a", 1},    {"a*", "abc", 1},    {"*c", "abc", 1},      {"*c", "abcd", 0},
      {"*ab", "aab", 1}, {"a*ab", "aaab", 1}, {"a*b*c", "aXbYc", 1}, {"a*b*c", "aXbYcZ", 0},
      {"**", "x", 1},    {"a**", "a", 1},     {"?", "a", 0},         {"?", "?", 1},
      {"[a]", "a", 0},   {"abc", "ab", 0},    {"ab", "abc", 0},      {"A*", "abc", 0},
  };
  for (const auto& tc : cases)
    EXPECT_EQ(reg::glob_match(tc.pattern, tc.text), tc.expected) << tc.pattern << " ~ " << tc.text;
}

struct RuleCase {
  std::string rules;
  std::string repo, tag;
  int expected;
};

TEST_F(ProtectionTest, RulesProtectWhatTheyName) {
  const std::string long_repo(600, 'r');
  const std::string a511(511, 'a'), a300(300, 'a'), b300(300, 'b');
  const std::string deep_slash = std::string(520, 'x') + "/t";  // its '/' lies past 511
  const RuleCase cases[] = {
      {"", "any", "latest", 0},
      {"release-*", "any/repo", "release-1", 1},
      {"release-*", "any", "Release-1", 0},
      {"release-*", "any", "prerelease-1", 0},
      {"latest", "x", "latest", 1},
      {":latest", "x", "latest", 1},
      {"/latest", "x", "latest", 1},
      {"team/app:rc*", "team/app", "rc2", 1},
      {"team/app:rc*", "team/app2", "rc2", 0},
      {"team/app:rc*", "team/app", "x", 0},
      {"team/app/rc*", "team/app", "rc2", 1},
      {"team/app/rc*", "team/app2", "rc2", 0},
      {"team/*:stable", "team/a/b", "stable", 1},
      {"prod/*", "prod", "anything", 1},
      {"prod/*", "prod2", "anything", 0},
      {"*", "a/b", "c", 1},
      {"team/app : rc1", "team/app", "rc1", 1},
      {" \tlatest\t ", "x", "latest", 1},
      {"team/app/ rc1", "team/app", " rc1", 1},  // no blanks are removed in the slash form
      {"team/app/ rc1", "team/app", "rc1", 0},
      {"app:", "app", "", 0},
      {"app:", "app", "x", 0},
      {"app/", "app", "x", 0},
      {"a:b:c", "a", "b:c", 0},
      {"a:b:c", "a", "b", 0},
      {"a:1, b:2;c:3", "b", "2", 1},
      {"a:1, b:2;c:3", "c", "3", 1},
      {"a:1, b:2;c:3", "a", "2", 0},
      {"a:1,,;", "a", "1", 1},
      {",;, ;", "a", "1", 0},
      {"v?", "x", "v?", 1},
      {"v?", "x", "v1", 0},
      {long_repo + ":t", a511, "t", 0},
      {long_repo + ":t", long_repo.substr(0, 511), "t", 1},  // the repository pattern is cut
      {long_repo + ":t", long_repo, "t", 0},
      {a300 + "/" + b300, a300, b300, 1},
      {deep_slash, "any", deep_slash, 1},  // no '/' seen: the whole rule is the tag pattern
      {deep_slash, std::string(520, 'x'), "t", 0},
  };
  for (const auto& tc : cases) {
    reg_tag_protection_set(tc.rules.c_str());
    EXPECT_EQ(reg_tag_is_protected(tc.repo.c_str(), tc.tag.c_str()), tc.expected)
        << "rules '" << tc.rules.substr(0, 40) << "' repo " << tc.repo.substr(0, 40) << " tag "
        << tc.tag;
    if (!tc.tag.empty()) {
      EXPECT_EQ(reg::protect_match(tc.repo, tc.tag), tc.expected);
    }
  }
}

TEST_F(ProtectionTest, DigestsEmptyTagsAndNullsAreNeverProtected) {
  reg_tag_protection_set("*");
  const std::string digest = "sha256:" + std::string(64, 'a');
  EXPECT_EQ(reg_tag_is_protected("app", digest.c_str()), 0);
  EXPECT_EQ(reg_tag_is_protected("app", ""), 0);
  EXPECT_EQ(reg_tag_is_protected("app", nullptr), 0);
  EXPECT_EQ(reg_tag_is_protected(nullptr, "v1"), 0);
  EXPECT_EQ(reg_tag_is_protected("app", "v1"), 1);
  reg_tag_protection_set(nullptr);
  EXPECT_EQ(reg_tag_is_protected("app", "v1"), 0);
  reg_tag_protection_set("*");
  reg_tag_protection_set("");
  EXPECT_EQ(reg_tag_is_protected("app", "v1"), 0);
  EXPECT_FALSE(reg::protection_rules_set());
}

TEST_F(ProtectionTest, RuleTextIsCutAt4095Characters) {
  // 4086 characters of filler rules, then a rule that the cut shortens by one character.
  std::string rules;
  for (int i = 0; i < 681; ++i) rules += "zz:zz,";
  rules += "abcdefghij";
  ASSERT_EQ(rules.size(), 4096u);
  reg_tag_protection_set(rules.c_str());
  EXPECT_EQ(reg_tag_is_protected("any", "abcdefghi"), 1);
  EXPECT_EQ(reg_tag_is_protected("any", "abcdefghij"), 0);
}

TEST_F(ProtectionTest, RulesSurviveInitialisationAndCleanup) {
  reg_tag_protection_set("latest");
  reg_storage_cleanup();
  EXPECT_EQ(reg_tag_is_protected("app", "latest"), 1);  // no ready guard either
}

}  // namespace
}  // namespace regtest
