// Hostile store entries met by the server and the operator commands: a blob that is a link
// out of the store or a FIFO, a manifest body that links to a secret, a blob linking to
// /dev/zero under `export`, and a killed `gc` whose collector must not outlive it.
#include <reg_storage.h>

#include "api_helpers.h"
#include "store_lock.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace tooltest {
namespace {

namespace fs = std::filesystem;

fs::path blob_file(const std::string& root, const std::string& digest) {
  const std::string hex = digest.substr(7);
  return fs::path(root) / "blobs" / "sha256" / hex.substr(0, 2) / hex;
}

// Live (not zombie) processes of the process group `pgrp`.
int live_processes_in_group(pid_t pgrp) {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc")) {
    std::ifstream in(e.path() / "stat");
    std::string stat;
    if (!in || !std::getline(in, stat)) continue;
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    long ppid = 0, group = 0;
    rest >> state >> ppid >> group;
    if (group == pgrp && state != 'Z' && state != 'X') ++n;
  }
  return n;
}

void write_text(const fs::path& p, const std::string& s) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << s;
}

TEST_F(ApiTest, StoreEntriesThatLinkOutOrBlockAreNotServed) {
  const fs::path outside = fs::path(root()).parent_path() / "outside";
  write_text(outside / "secret", "secret outside the store");
  // A blob that is a link to a file outside: not served, and DELETE leaves the target.
  const std::string linked = push_blob("hostile/app", "blob to be linked out");
  fs::remove(blob_file(root(), linked));
  fs::create_symlink(outside / "secret", blob_file(root(), linked));
  EXPECT_EQ(cli().Get(("/v2/hostile/app/blobs/" + linked).c_str())->status, 404);
  EXPECT_EQ(cli().Head(("/v2/hostile/app/blobs/" + linked).c_str())->status, 404);
  cli().Delete(("/v2/hostile/app/blobs/" + linked).c_str());
  EXPECT_TRUE(fs::exists(outside / "secret"));
  // A FIFO as a blob answers at once.
  const std::string fifo = push_blob("hostile/app", "blob to become a fifo");
  fs::remove(blob_file(root(), fifo));
  ASSERT_EQ(mkfifo(blob_file(root(), fifo).c_str(), 0644), 0);
  EXPECT_EQ(cli().Get(("/v2/hostile/app/blobs/" + fifo).c_str())->status, 404);
  // A manifest body that links to the secret is not served by its digest.
  const std::string fake = "sha256:" + std::string(64, 'f');
  const fs::path m = fs::path(root()) / "repositories" / "hostile" / "evil" / "_manifests";
  fs::create_directories(m);
  fs::create_symlink(outside / "secret", m / fake.substr(7));
  auto r = cli().Get(("/v2/hostile/evil/manifests/" + fake).c_str());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
  EXPECT_EQ(r->body.find("secret"), std::string::npos);
  fs::remove(m / fake.substr(7));
  fs::remove(blob_file(root(), linked));
  fs::remove(blob_file(root(), fifo));
}

class HostileCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    root_ = dir_ + "/store";
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
  }
  void TearDown() override {
    reg_storage_cleanup();
    fs::remove_all(dir_);
  }
  std::string put_blob(const std::string& data) {
    char id[37], d[72];
    EXPECT_EQ(reg_blob_start_upload(id), 0);
    EXPECT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0);
    const std::string digest = tool::sha256_digest(data);
    EXPECT_EQ(reg_blob_finish_upload(id, digest.c_str(), d), 0) << reg_storage_last_error();
    return digest;
  }
  std::string dir_, root_;
};

TEST_F(HostileCommandTest, ExportRefusesABlobThatLinksToADevice) {
  const std::string config = put_blob("{}"), layer = put_blob("a layer");
  const std::string body =
      R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
      R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
      config +
      R"(","size":2},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar",)"
      R"("digest":")" +
      layer + "\",\"size\":7}]}";
  char d[72];
  ASSERT_EQ(reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, d), 0);
  fs::remove(blob_file(root_, layer));
  fs::create_symlink("/dev/zero", blob_file(root_, layer));
  alarm(30);  // following the link would copy zeros until the disk is full
  std::string err;
  EXPECT_NE(run_tool({"--root", root_, "export", "app:v1", dir_ + "/layout"}, nullptr, &err), 0);
  alarm(0);
  EXPECT_NE(err.find("blob " + layer), std::string::npos) << err;
}

TEST_F(HostileCommandTest, AKilledCollectionLeavesNoCollectorHoldingTheStore) {
  tool::StoreLock push;  // a push in progress: the collector waits for it
  std::string error;
  ASSERT_TRUE(push.acquire_shared(root_, 1000, error)) << error;
  const pid_t gc = fork();
  if (gc == 0) {
    setpgid(0, 0);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    execl(TARNWICK_REGISTRY_BIN, TARNWICK_REGISTRY_BIN, "--root", root_.c_str(), "gc",
          "--no-progress", static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(gc, gc);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the collector is waiting
  kill(gc, SIGKILL);
  waitpid(gc, nullptr, 0);
  bool group_gone = false;
  for (int i = 0; i < 50 && !group_gone; ++i) {
    group_gone = live_processes_in_group(gc) == 0;
    if (!group_gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(group_gone) << "the collector outlived the killed gc";
  kill(-gc, SIGKILL);
  push.release();
}

}  // namespace
}  // namespace tooltest
