// Hostile store entries met by the server and the operator commands: at every kind of entry
// (blob, fan-out directory, repository, _manifests, tags directory, tag directory, link,
// body, .ct, upload) a symbolic link into a canary directory beside the root, a FIFO or a
// device, under every request of the API and every command; a blob linking to /dev/zero
// under `export`; and a killed `gc` whose collector must not outlive it.
#include <reg_storage.h>

#include "api_helpers.h"
#include "store_lock.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <fstream>
#include <map>
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

// ---- Every kind of entry, through the server and every command ----------------------------

enum class Plant { link, fifo, device };

// One image per place, in a repository of its own, so that every place is planted at once.
struct Place {
  const char* name;
  std::string repo, config, layer, body, digest;
  fs::path rel;            // the planted entry, relative to the root
  std::string absent_get;  // a GET that must not succeed once the entry is planted
};

std::map<std::string, std::string> tree_of(const fs::path& dir) {
  std::map<std::string, std::string> out;
  if (!fs::exists(fs::symlink_status(dir))) return out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    const auto st = it->symlink_status();
    std::string content = fs::is_directory(st) ? "<dir>" : "<other>";
    if (fs::is_regular_file(st)) {
      std::ifstream in(it->path(), std::ios::binary);
      content.assign(std::istreambuf_iterator<char>(in), {});
    }
    out[fs::relative(it->path(), dir).string()] = content;
  }
  return out;
}

class HostileMatrixTest : public HostileCommandTest {
 protected:
  std::string image(Place& p, const std::string& layer_data) {
    p.config = put_blob("{\"repo\":\"" + p.repo + "\"}");
    p.layer = put_blob(layer_data);
    p.body =
        R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
        R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
        p.config +
        R"(","size":1},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":")" +
        p.layer + R"(","size":1}]})";
    char d[72];
    EXPECT_EQ(reg_manifest_put(p.repo.c_str(), "v1", p.body.data(), p.body.size(), nullptr, d), 0)
        << reg_storage_last_error();
    p.digest = d;
    return d;
  }

  // The places, their images pushed; the fan-out's layer last, in a fan-out of its own.
  std::vector<Place> build() {
    std::vector<Place> places;
    auto add = [&](const char* name, const std::string& repo) {
      places.push_back(Place{name, repo, "", "", "", "", "", ""});
      image(places.back(), "layer of " + repo);
      return &places.back();
    };
    auto m = [](const std::string& repo) { return fs::path("repositories") / repo / "_manifests"; };
    Place* p = add("blob", "m-blob");
    p->rel = blob_rel(p->layer);
    p->absent_get = "/v2/m-blob/blobs/" + p->layer;
    p = add("repository", "m-repo");
    p->rel = fs::path("repositories") / "m-repo";
    p->absent_get = "/v2/m-repo/manifests/v1";
    p = add("_manifests", "m-manifests");
    p->rel = m("m-manifests");
    p->absent_get = "/v2/m-manifests/manifests/" + p->digest;
    p = add("tags directory", "m-tags");
    p->rel = m("m-tags") / "tags";
    p->absent_get = "/v2/m-tags/manifests/v1";
    p = add("tag directory", "m-tagdir");
    p->rel = m("m-tagdir") / "tags" / "v1";
    p->absent_get = "/v2/m-tagdir/manifests/v1";
    p = add("link", "m-link");
    p->rel = m("m-link") / "tags" / "v1" / "current" / "link";
    p->absent_get = "/v2/m-link/manifests/v1";
    p = add("body", "m-body");
    p->rel = m("m-body") / p->digest.substr(7);
    p->absent_get = "/v2/m-body/manifests/" + p->digest;
    p = add("ct", "m-ct");
    p->rel = m("m-ct") / (p->digest.substr(7) + ".ct");
    p = add("upload", "m-upload");
    char id[37];
    EXPECT_EQ(reg_blob_start_upload(id), 0);
    EXPECT_EQ(reg_blob_append_chunk(id, "abc", 3), 0);
    p->rel = fs::path("uploads") / (std::string(id) + ".part");
    places.push_back(Place{"fan-out directory", "m-fanout", "", "", "", "", "", ""});
    p = &places.back();
    for (int salt = 0;; ++salt) {  // a layer alone in its fan-out directory
      const std::string data = "fan-out layer " + std::to_string(salt);
      if (!fs::exists(fs::path(root_) / blob_rel(tool::sha256_digest(data)).parent_path())) {
        image(*p, data);
        break;
      }
    }
    p->rel = blob_rel(p->layer).parent_path();
    p->absent_get = "/v2/m-fanout/blobs/" + p->layer;
    return places;
  }

  static fs::path blob_rel(const std::string& digest) {
    const std::string hex = digest.substr(7);
    return fs::path("blobs") / "sha256" / hex.substr(0, 2) / hex;
  }

  // A link points at the entry itself, moved into the canary, so that an operation that
  // followed it would find exactly what it looks for (a .ct there says text/html).
  bool plant(const fs::path& canary, const Place& p, Plant kind) {
    const fs::path at = fs::path(root_) / p.rel;
    if (kind == Plant::link) {
      const fs::path moved = canary / p.repo;
      fs::rename(at, moved);
      if (p.rel.extension() == ".ct") write_text(moved, "text/html");
      fs::create_symlink(moved, at);
      return true;
    }
    fs::remove_all(at);
    if (kind == Plant::fifo) return mkfifo(at.c_str(), 0644) == 0;
    return mknod(at.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;
  }

  // The checker reports every plant as corrupt, before anything has removed one.
  void expect_reported(const std::vector<Place>& places) {
    std::string out, err;
    ASSERT_NE(run_tool({"--root", root_, "fsck"}, &out, &err), 0);
    for (const Place& p : places)
      EXPECT_NE(out.find("special_entry            " + p.rel.string() + ":"), std::string::npos)
          << p.name << "\n"
          << out << err;
  }

  void serve_everything(const std::vector<Place>& places) {
    ServerProcess server(root_, {}, {"--gc-wait-ms", "100"});
    httplib::Client c = server.client();
    c.set_read_timeout(10);  // a request blocked on a FIFO fails the test instead of hanging it
    auto answered = [&](const httplib::Result& r, const std::string& what) {
      EXPECT_TRUE(r) << what << ": no answer";
    };
    answered(c.Get("/v2/_catalog"), "catalog");
    for (const Place& p : places) {
      SCOPED_TRACE(p.name);
      const std::string base = "/v2/" + p.repo;
      if (!p.absent_get.empty()) {
        auto r = c.Get(p.absent_get.c_str());
        answered(r, p.absent_get);
        if (r) {
          EXPECT_NE(r->status, 200) << p.absent_get;
        }
      }
      for (const std::string& path :
           {base + "/manifests/v1", base + "/manifests/" + p.digest, base + "/tags/list",
            base + "/blobs/" + p.layer, base + "/referrers/" + p.digest}) {
        auto r = c.Get(path.c_str());
        answered(r, path);
        if (r) {
          EXPECT_NE(r->get_header_value("Content-Type"), "text/html") << path;
        }
        answered(c.Head(path.c_str()), "HEAD " + path);
      }
      const std::string layer_data = "layer of " + p.repo;
      answered(c.Post((base + "/blobs/uploads/?digest=" + p.layer).c_str(), layer_data,
                      "application/octet-stream"),
               "upload");
      for (const char* tag : {"v1", "v2"})
        answered(c.Put((base + "/manifests/" + tag).c_str(), p.body,
                       "application/vnd.oci.image.manifest.v1+json"),
                 "PUT");
      for (const std::string& path :
           {base + "/manifests/v1", base + "/manifests/" + p.digest, base + "/blobs/" + p.layer})
        answered(c.Delete(path.c_str()), "DELETE " + path);
    }
    EXPECT_EQ(server.stop(), 0);
  }

  void run_every_command(const std::vector<Place>& places, const std::string& layout) {
    std::string out, err;
    auto cmd = [&](std::vector<std::string> args) {
      args.insert(args.begin(), {"--root", root_});
      run_tool(args, &out, &err);
    };
    cmd({"fsck"});
    cmd({"catalog"});
    cmd({"stats"});
    cmd({"gc", "status"});
    cmd({"gc", "--dry-run", "--no-progress"});
    for (const Place& p : places) {
      SCOPED_TRACE(p.name);
      cmd({"tags", p.repo});
      cmd({"referrers", p.digest});
      cmd({"export", p.repo + ":v1", dir_ + "/export-" + p.repo});
      cmd({"import", layout, p.repo + ":imported"});
      cmd({"rm", p.repo + ":v1"});
      cmd({"rm", p.repo + "@" + p.digest});
    }
    cmd({"retention", "--keep", "1", "--include-latest"});
    cmd({"gc", "--no-progress"});
    cmd({"fsck", "--repair"});
    for (const Place& p : places) cmd({"rm", "--yes", p.repo});
  }
};

TEST_F(HostileMatrixTest, EveryPlantAtEveryEntryThroughTheServerAndEveryCommand) {
  for (Plant kind : {Plant::link, Plant::fifo, Plant::device}) {
    if (kind == Plant::device && geteuid() != 0) {
      GTEST_LOG_(INFO) << "devices not planted: mknod needs root";
      continue;
    }
    SCOPED_TRACE(kind == Plant::link ? "links" : kind == Plant::fifo ? "FIFOs" : "devices");
    reg_storage_cleanup();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
    Place healthy{"healthy", "healthy", "", "", "", "", "", ""};
    image(healthy, "a healthy layer");
    const std::string layout = dir_ + "/layout";
    ASSERT_EQ(run_tool({"--root", root_, "export", "healthy:v1", layout}), 0);
    const std::vector<Place> places = build();
    const fs::path canary = fs::path(dir_) / "canary";
    fs::create_directories(canary);
    write_text(canary / "untouched", "canary");
    for (const Place& p : places) ASSERT_TRUE(plant(canary, p, kind)) << p.name;
    reg_storage_cleanup();  // the server and the commands open the store themselves
    const auto before = tree_of(canary);
    alarm(120);  // anything that blocks on a FIFO ends the test here
    expect_reported(places);
    serve_everything(places);
    run_every_command(places, layout);
    alarm(0);
    EXPECT_EQ(tree_of(canary), before);
  }
}

}  // namespace
}  // namespace tooltest
