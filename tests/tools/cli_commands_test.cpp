// The operator commands driven in process over a real store: what `rm` refuses, and an
// export that meets the same child many times.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cli_support.h"
#include "commands.h"
#include "core/durability.h"
#include "support/fsck_helpers.h"

namespace {

using namespace regtest;

// Points standard input at `fd` for the life of the object.
class StdinFrom {
 public:
  explicit StdinFrom(int fd) : saved_(dup(STDIN_FILENO)) { dup2(fd, STDIN_FILENO); }
  ~StdinFrom() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

class CliCommandsTest : public StoreTest {
 protected:
  tool::GlobalOptions options() const { return tool::GlobalOptions{root(), "", false, ""}; }
  bool has_repo(const std::string& repo) { return fs::exists(rootp() / "repositories" / repo); }
};

TEST_F(CliCommandsTest, OpeningTheStoreAppliesTheDurabilityItRecords) {
  tool::GlobalOptions o = options();
  o.durability = "none";
  ASSERT_TRUE(tool::open_store(o));
  EXPECT_EQ(reg::durability(), reg::Durability::none);
  ASSERT_TRUE(tool::open_store(options()));
  EXPECT_EQ(reg::durability(), reg::Durability::none);
  o.durability = "full";
  ASSERT_TRUE(tool::open_store(o));
  EXPECT_EQ(reg::durability(), reg::Durability::full);
}

TEST_F(CliCommandsTest, RmOfAnEmptyTagOrDigestIsAUsageErrorAndDeletesNothing) {
  push_image("team/app", "v1", "a");
  const auto before = snapshot_tree(rootp());
  for (const char* target : {"team/app:", "team/app@"}) {
    EXPECT_EQ(tool::run_rm(options(), target, true), 2) << target;
    EXPECT_EQ(snapshot_tree(rootp()), before) << target;
  }
}

TEST_F(CliCommandsTest, RmOfARepositoryFromATerminalNeedsYes) {
  push_image("team/app", "v1", "a");
  push_image("team/web", "v1", "b");
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0) GTEST_SKIP() << "no pseudo-terminal";
  const int terminal = open(ptsname(pty), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  {
    StdinFrom in(terminal);
    EXPECT_EQ(tool::run_rm(options(), "team/app", false), 2);
    EXPECT_TRUE(has_repo("team/app"));
    EXPECT_EQ(tool::run_rm(options(), "team/app:v1", false), 0);  // a tag needs no --yes
    EXPECT_EQ(tool::run_rm(options(), "team/app", true), 0);
    EXPECT_FALSE(has_repo("team/app"));
  }
  close(terminal);
  close(pty);
  const int null = open("/dev/null", O_RDONLY);
  {
    StdinFrom in(null);  // a script: as before, the bare name is enough
    EXPECT_EQ(tool::run_rm(options(), "team/web", false), 0);
    EXPECT_FALSE(has_repo("team/web"));
  }
  close(null);
}

TEST_F(CliCommandsTest, ExportWritesEachDistinctManifestAndBlobOnce) {
  const Image image = push_image("app", "img", "a");
  std::string child = image.digest;
  for (int level = 0; level < 3;
       ++level) {  // three levels of index, each listing its child 8 times
    const std::string body = index_manifest(std::vector<std::string>(8, child));
    char d[72] = "";
    ASSERT_EQ(reg_manifest_put("app", level == 2 ? "top" : digest_of(body).c_str(), body.data(),
                               body.size(), "application/vnd.oci.image.index.v1+json", d),
              0)
        << reg_storage_last_error();
    child = d;
  }
  const fs::path layout = tmp_.path() / "layout";
  testing::internal::CaptureStdout();
  const int rc = tool::run_export(options(), "app:top", layout.string());
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 0);
  EXPECT_NE(out.find(": 4 manifests, 3 blobs, "), std::string::npos) << out;
  int files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(layout / "blobs" / "sha256"))
    ++files;
  EXPECT_EQ(files, 7);
}

}  // namespace
