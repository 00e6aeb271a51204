// Manifests and listings, each next to its floor in the same binary on the same tree:
//  - a push and pull round trip of a 2-layer manifest against the same file writes and
//    reads done directly, once in place (fopen "wb") and once through write_file (temp file +
//    rename, what the store does so that no reader sees a torn file);
//  - the catalog of 1,000 repositories against the bare walk that discovery makes of them;
//  - the tag list of 500 tags against a bare enumeration of the tags directory, and against
//    the enumeration plus one read of each tag's link.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/fileutil.h"
#include "core/paths.h"
#include "core/sha256.h"
#include "platform/platform.h"
#include "reg_storage.h"
#include "bench_support.h"

namespace {

namespace fs = std::filesystem;

using benchsupport::hex_of;

void put_file(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

// One store for the whole run, removed at exit: 1,000 repositories in ten groups, a
// repository with 500 tags, and the blobs of the round-trip manifest.
class BenchStore {
 public:
  BenchStore() {
    dir_ = fs::temp_directory_path() /
           ("reg_manifests_bench_" + std::to_string(reg::platform::unique_token()));
    root_ = (dir_ / "store").string();
    if (reg_storage_init(root_.c_str()) != 0) std::abort();
    const fs::path repos = fs::path(root_) / "repositories";
    for (int g = 0; g < 10; ++g)
      for (int r = 0; r < 100; ++r)
        fs::create_directories(repos / ("group" + std::to_string(g)) /
                               ("repo" + std::to_string(r)) / "_manifests");
    const std::string link = "sha256:" + std::string(64, 'a');
    for (int t = 0; t < 500; ++t)
      put_file(repos / "tagged" / "_manifests" / "tags" / ("v1." + std::to_string(t)) / "current" /
                   "link",
               link);
    manifest_ =
        "{\"schemaVersion\":2,\"mediaType\":\"application/"
        "vnd.oci.image.manifest.v1+json\",\"config\":{"
        "\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
        blob("config") +
        "\",\"size\":6},\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\","
        "\"digest\":\"" +
        blob("layer-1") +
        "\",\"size\":7},{\"mediaType\":"
        "\"application/vnd.oci.image.layer.v1.tar+gzip\",\"digest\":\"" +
        blob("layer-2") + "\",\"size\":7}]}";
  }
  ~BenchStore() {
    reg_storage_cleanup();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  const std::string& root() const { return root_; }
  const std::string& manifest() const { return manifest_; }
  std::vector<std::string> blob_paths;

 private:
  std::string blob(const std::string& data) {
    const std::string hex = hex_of(data);
    const fs::path p = fs::path(root_) / "blobs" / "sha256" / hex.substr(0, 2) / hex;
    put_file(p, data);
    blob_paths.push_back(p.string());
    return "sha256:" + hex;
  }
  fs::path dir_;
  std::string root_, manifest_;
};

BenchStore& store() {
  static BenchStore s;
  return s;
}

void BM_ManifestPutGet(benchmark::State& state) {
  const std::string& body = store().manifest();
  char digest[72], ct[127], dg[72];
  for (auto _ : state) {
    if (reg_manifest_put("bench/app", "latest", body.data(), body.size(), nullptr, digest) != 0)
      state.SkipWithError(reg_storage_last_error());
    const char* got = reg_manifest_get("bench/app", "latest", ct, dg);
    if (!got) state.SkipWithError(reg_storage_last_error());
    benchmark::DoNotOptimize(got);
  }
}

// The floor: what a round trip must touch at least. Three attribute queries for the blobs,
// four files written (body, content type, revision link, tag link) into existing
// directories, then the tag link, the body and the content type read back.
struct FloorPaths {
  std::string body, ct, rev, tag;
};

FloorPaths floor_paths() {
  const fs::path m = fs::path(store().root()) / "repositories" / "floor" / "_manifests";
  const std::string hex = hex_of(store().manifest());
  FloorPaths p{(m / hex).string(), (m / (hex + ".ct")).string(),
               (m / "revisions" / "sha256" / hex / "link").string(),
               (m / "tags" / "latest" / "current" / "link").string()};
  for (const auto& f : {p.body, p.rev, p.tag}) fs::create_directories(fs::path(f).parent_path());
  return p;
}

bool write_in_place(const std::string& path, const std::string& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

template <bool kAtomic>
void BM_FloorWritesAndReads(benchmark::State& state) {
  const FloorPaths p = floor_paths();
  const std::string& body = store().manifest();
  const std::string ct = "application/vnd.oci.image.manifest.v1+json";
  const std::string link = "sha256:" + hex_of(body);
  static char buf[1 << 20];
  for (auto _ : state) {
    for (const auto& b : store().blob_paths) benchmark::DoNotOptimize(reg::is_file(b.c_str()));
    const std::pair<const std::string*, const std::string*> files[] = {
        {&p.body, &body}, {&p.ct, &ct}, {&p.rev, &link}, {&p.tag, &link}};
    for (const auto& [path, data] : files) {
      const bool ok = kAtomic ? reg::write_file(path->c_str(), data->data(), data->size()) == 0
                              : write_in_place(*path, *data);
      if (!ok) state.SkipWithError("write failed");
    }
    std::size_t n = 0;
    for (const auto* path : {&p.tag, &p.body, &p.ct})
      if (reg::read_file(path->c_str(), buf, sizeof buf, &n) != 0)
        state.SkipWithError("read failed");
    benchmark::DoNotOptimize(buf);
  }
}

void BM_Catalog1000(benchmark::State& state) {
  store();
  for (auto _ : state) {
    const char* json = reg_catalog_json(0, nullptr);
    if (!json) state.SkipWithError(reg_storage_last_error());
    benchmark::DoNotOptimize(json);
  }
}

// The walk discovery makes, bare: enumerate each directory, ask for each child's
// `_manifests`, descend; no listing records, names, sorting or JSON.
int bare_walk(const std::string& dir, int depth) {
  int found = 0;
  reg::platform::enumerate_dir(dir.c_str(), [&](const char* name, reg::platform::Kind kind) {
    if (kind != reg::platform::Kind::dir || std::string_view(name) == "_manifests") return true;
    const std::string child = dir + "/" + name;
    reg::platform::FileAttr a;
    if (reg::platform::get_attr((child + "/_manifests").c_str(), &a) == 0 && a.is_dir) ++found;
    if (depth < 8) found += bare_walk(child, depth + 1);
    return true;
  });
  return found;
}

void BM_BareWalk1000(benchmark::State& state) {
  const std::string top = store().root() + "/repositories";
  for (auto _ : state) benchmark::DoNotOptimize(bare_walk(top, 0));
}

void BM_TagsList500(benchmark::State& state) {
  store();
  for (auto _ : state) {
    const char* json = reg_tags_list_json("tagged");
    if (!json) state.SkipWithError(reg_storage_last_error());
    benchmark::DoNotOptimize(json);
  }
}

void BM_EnumerateTagsDir500(benchmark::State& state) {
  const std::string tags = store().root() + "/repositories/tagged/_manifests/tags";
  for (auto _ : state) {
    int n = 0;
    reg::platform::enumerate_dir(tags.c_str(),
                                 [&](const char*, reg::platform::Kind) { return ++n, true; });
    benchmark::DoNotOptimize(n);
  }
}

void BM_EnumerateAndReadLinks500(benchmark::State& state) {
  const std::string tags = store().root() + "/repositories/tagged/_manifests/tags";
  for (auto _ : state) {
    int n = 0;
    reg::platform::enumerate_dir(tags.c_str(), [&](const char* name, reg::platform::Kind) {
      char buf[128];
      n += reg::read_file((tags + "/" + name + "/current/link").c_str(), buf, sizeof buf,
                          nullptr) == 0;
      return true;
    });
    benchmark::DoNotOptimize(n);
  }
}

}  // namespace

BENCHMARK(BM_FloorWritesAndReads<false>)->Name("BM_FloorInPlaceWrites");  // floor: in-place files
BENCHMARK(BM_FloorWritesAndReads<true>)->Name("BM_FloorAtomicWrites");    // floor: temp + rename
BENCHMARK(BM_ManifestPutGet);                                             // ratio to the two above
BENCHMARK(BM_BareWalk1000);                                               // floor of the catalog
BENCHMARK(BM_Catalog1000);
BENCHMARK(BM_EnumerateTagsDir500);       // floor: the enumeration alone
BENCHMARK(BM_EnumerateAndReadLinks500);  // floor: enumeration and one link read per tag
BENCHMARK(BM_TagsList500);

BENCHMARK_MAIN();
