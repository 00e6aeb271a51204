// Repository discovery: what counts as a repository, walk order, and the depth and name
// limits of the catalog's walk against the complete walk.
#include "listings/discovery.h"

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "support/test_support.h"

namespace regtest {
namespace {

class DiscoveryTest : public StoreTest {
 protected:
  fs::path repos() const { return rootp() / "repositories"; }
  void make_repo(const std::string& name) { fs::create_directories(repos() / name / "_manifests"); }
  static std::set<std::string> as_set(const std::vector<std::string>& v) {
    return {v.begin(), v.end()};
  }
  std::vector<std::string> all() {
    std::vector<std::string> out;
    EXPECT_TRUE(reg::discover_all_repos(out));
    return out;
  }
};

TEST_F(DiscoveryTest, RepositoryIsADirectoryHoldingManifestsDirectory) {
  make_repo("team");
  make_repo("team/app");   // nested in a repository
  make_repo("group/web");  // below a plain grouping directory
  make_repo(".hidden");    // dot and underscore names are ordinary
  make_repo("_private");
  make_repo("_manifests/inside");  // never entered
  make_repo("team/_manifests/x");  // a repository's own store is never entered
  fs::create_directories(repos() / "notrepo" / "sub");
  write_all(repos() / "filerepo" / "_manifests", "a file, not a directory");
  write_all(repos() / "plainfile", "x");
  fs::create_directory_symlink(repos() / "team", repos() / "linked");  // never followed
  const std::set<std::string> expected = {"team", "team/app", "group/web", ".hidden", "_private"};
  EXPECT_EQ(as_set(reg::discover_repos()), expected);
  EXPECT_EQ(as_set(all()), expected);
}

TEST_F(DiscoveryTest, EachRepositoryComesBeforeThoseNestedBelowIt) {
  make_repo("a");
  make_repo("a/b");
  make_repo("a/b/c");
  make_repo("z/y");
  for (const auto& names : {reg::discover_repos(), all()}) {
    auto pos = [&](const std::string& n) {
      return std::find(names.begin(), names.end(), n) - names.begin();
    };
    EXPECT_LT(pos("a"), pos("a/b"));
    EXPECT_LT(pos("a/b"), pos("a/b/c"));
    EXPECT_EQ(names.size(), 4u);
  }
}

TEST_F(DiscoveryTest, NineLevelsAreWalkedTenOnlyByTheCompleteWalk) {
  make_repo("1/2/3/4/5/6/7/8/9");
  make_repo("a/b/c/d/e/f/g/h/i/j");
  EXPECT_EQ(reg::discover_repos(), std::vector<std::string>{"1/2/3/4/5/6/7/8/9"});
  EXPECT_EQ(as_set(all()), (std::set<std::string>{"1/2/3/4/5/6/7/8/9", "a/b/c/d/e/f/g/h/i/j"}));
}

TEST_F(DiscoveryTest, NameLongerThanARepositoryNameIsPassedOverNotCut) {
  const std::string at_limit = std::string(127, 'a') + "/" + std::string(127, 'b');  // 255
  make_repo(at_limit);
  make_repo(at_limit + "x");      // 256: cut to 255 it would be the repository above
  make_repo(at_limit + "/deep");  // and so would everything below
  EXPECT_EQ(reg::discover_repos(), std::vector<std::string>{at_limit});
  EXPECT_EQ(all().size(), 3u);  // the collector still sees every store
}

TEST_F(DiscoveryTest, EveryEntryOfEveryDirectoryIsWalked) {
  for (int i = 0; i < 600; ++i) make_repo("wide/r" + std::to_string(i));
  for (int g = 0; g < 2; ++g)
    for (int i = 0; i < 300; ++i) make_repo("g" + std::to_string(g) + "/r" + std::to_string(i));
  EXPECT_EQ(reg::discover_repos().size(), 1200u);
  EXPECT_EQ(all().size(), 1200u);
}

TEST_F(DiscoveryTest, MissingTreeIsEmptyAndUnlistableTreeIsIncomplete) {
  fs::remove_all(repos());
  std::vector<std::string> out{"stale"};
  EXPECT_TRUE(reg::discover_all_repos(out));
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(reg::discover_repos().empty());
  make_repo("a/b");
  make_repo("c");
  reg::fault::arm(reg::fault::Op::list, 2, EIO);  // the second directory cannot be listed
  EXPECT_FALSE(reg::discover_all_repos(out));
  reg::fault::disarm();
}

}  // namespace
}  // namespace regtest
