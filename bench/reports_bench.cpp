// Store-wide reports against their floors, on stores written file by file:
//  - statistics on 100 repositories, 5,000 tags and 50,000 blobs, against a recursive walk
//    of the same tree that only takes each entry's attributes;
//  - referrers on 2,000 manifests (200 in each of 10 repositories, within one listing of
//    each), against reading and parsing every body once.
//
// The stores go to $REG_BENCH_DIR, else /dev/shm when present (the disk under the temporary
// directory takes minutes to create 50,000 files), else the temporary directory.
#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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

fs::path bench_base() {
  if (const char* d = std::getenv("REG_BENCH_DIR")) return d;
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec)) return "/dev/shm";
  return fs::temp_directory_path();
}

void write(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

using benchsupport::hex_of;

// A store under its own directory, removed at exit.
class Store {
 public:
  explicit Store(const char* name, const std::function<void(const fs::path&)>& fill)
      : root_(bench_base() / name) {
    fs::remove_all(root_);
    fill(root_);
  }
  ~Store() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& root() const { return root_; }
  void use() const {
    if (reg_storage_init(root_.c_str()) != 0) std::abort();
  }

 private:
  fs::path root_;
};

// A manifest as the store keeps it: body, content type, revision link.
std::string place_manifest(const fs::path& m, const std::string& body) {
  const std::string hex = hex_of(body);
  write(m / hex, body);
  write(m / (hex + ".ct"), "application/vnd.oci.image.manifest.v1+json");
  write(m / "revisions" / "sha256" / hex / "link", "sha256:" + hex);
  return hex;
}

std::string image_body(const std::string& config, const std::vector<std::string>& layers) {
  std::string b =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
      "\"config\":{\"mediaType\":\"application/"
      "vnd.oci.image.config.v1+json\",\"digest\":\"sha256:" +
      config + "\",\"size\":1469},\"layers\":[";
  for (std::size_t i = 0; i < layers.size(); ++i)
    b += std::string(i ? "," : "") +
         "{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\","
         "\"digest\":\"sha256:" +
         layers[i] + "\",\"size\":3208942}";
  return b + "]}";
}

// 100 repositories of 5 manifests and 50 tags each; 50,000 blobs of 16 bytes.
void fill_stats_store(const fs::path& root) {
  for (int r = 0; r < 100; ++r) {
    const fs::path m = root / "repositories" / ("team" + std::to_string(r % 10)) /
                       ("app" + std::to_string(r)) / "_manifests";
    std::vector<std::string> hexes;
    for (int i = 0; i < 5; ++i)
      hexes.push_back(
          place_manifest(m, image_body(hex_of("c" + std::to_string(r * 5 + i)), {hex_of("l")})));
    for (int t = 0; t < 50; ++t)
      write(m / "tags" / ("v" + std::to_string(t)) / "current" / "link", "sha256:" + hexes[t % 5]);
  }
  for (int b = 0; b < 50'000; ++b) {
    const std::string hex = hex_of("blob" + std::to_string(b));
    write(root / "blobs" / "sha256" / hex.substr(0, 2) / hex, "0123456789abcdef");
  }
  fs::create_directories(root / "uploads");
}

const Store& stats_store() {
  static const Store s("reg_reports_bench_stats", fill_stats_store);
  return s;
}

// 10 repositories of 200 image manifests; every tenth names the shared subject layer.
const std::string kSubject = hex_of("shared layer");

void fill_referrers_store(const fs::path& root) {
  for (int r = 0; r < 10; ++r) {
    const fs::path m = root / "repositories" / ("repo" + std::to_string(r)) / "_manifests";
    for (int i = 0; i < 200; ++i) {
      const int n = r * 200 + i;
      std::vector<std::string> layers = {hex_of("a" + std::to_string(n)),
                                         hex_of("b" + std::to_string(n))};
      if (n % 10 == 0) layers.push_back(kSubject);
      const std::string hex =
          place_manifest(m, image_body(hex_of("c" + std::to_string(n)), layers));
      write(m / "tags" / ("v" + std::to_string(i)) / "current" / "link", "sha256:" + hex);
    }
  }
  write(root / "blobs" / "sha256" / kSubject.substr(0, 2) / kSubject, "layer");
}

const Store& referrers_store() {
  static const Store s("reg_reports_bench_referrers", fill_referrers_store);
  return s;
}

// The floor of the statistics: every entry below `dir` enumerated and its attributes taken.
std::int64_t walk_and_stat(const std::string& dir) {
  std::int64_t n = 0;
  reg::platform::enumerate_dir(dir.c_str(), [&](const char* name, reg::platform::Kind kind) {
    const std::string p = dir + "/" + name;
    reg::platform::FileAttr a;
    if (reg::platform::get_attr(p.c_str(), &a) == 0) n += static_cast<std::int64_t>(a.size & 1);
    if (kind == reg::platform::Kind::dir) n += walk_and_stat(p);
    return true;
  });
  return n;
}

void BM_WalkAndStatTree(benchmark::State& state) {
  const Store& s = stats_store();
  for (auto _ : state) benchmark::DoNotOptimize(walk_and_stat(s.root().string()));
}

void BM_StatsJson(benchmark::State& state) {
  stats_store().use();
  for (auto _ : state) {
    const char* j = reg_storage_get_stats_json();
    if (!j) state.SkipWithError(reg_storage_last_error());
    benchmark::DoNotOptimize(j);
  }
  state.SetLabel(reg_storage_get_stats_json());
}

// The floor of the referrers: every body read whole and parsed once.
void BM_ReadAndParseEveryBody(benchmark::State& state) {
  const Store& s = referrers_store();
  std::vector<std::string> bodies;
  for (const auto& e : fs::recursive_directory_iterator(s.root() / "repositories"))
    if (e.is_regular_file() && reg::hex64_valid(e.path().filename().c_str()))
      bodies.push_back(e.path().string());
  for (auto _ : state) {
    std::size_t docs = 0;
    for (const auto& p : bodies) {
      std::string body;
      if (!reg::read_file_alloc(p.c_str(), body)) continue;
      yyjson_doc* d = yyjson_read_opts(body.data(), body.size(), 0, nullptr, nullptr);
      docs += d != nullptr;
      yyjson_doc_free(d);
    }
    benchmark::DoNotOptimize(docs);
  }
  state.counters["bodies"] = static_cast<double>(bodies.size());
}

void BM_ReferrersJson(benchmark::State& state) {
  referrers_store().use();
  const std::string digest = "sha256:" + kSubject;
  std::size_t len = 0;
  for (auto _ : state) {
    const char* j = reg_referrers_json(digest.c_str());
    if (!j) state.SkipWithError(reg_storage_last_error());
    len = j ? std::strlen(j) : 0;
  }
  state.counters["result_bytes"] = static_cast<double>(len);
}

}  // namespace

BENCHMARK(BM_WalkAndStatTree)->Unit(benchmark::kMillisecond);  // baseline
BENCHMARK(BM_StatsJson)->Unit(benchmark::kMillisecond);        // read as a ratio to the line above
BENCHMARK(BM_ReadAndParseEveryBody)->Unit(benchmark::kMillisecond);  // baseline
BENCHMARK(BM_ReferrersJson)->Unit(benchmark::kMillisecond);  // read as a ratio to the line above

BENCHMARK_MAIN();
