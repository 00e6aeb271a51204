// Garbage collection and tag retention next to the floor of the same walks done plainly.
//
// GC store: 100 repositories of 100 manifests each (10,000), each manifest naming a config and
// eight layers of its own (90,000 named blobs), plus 10,000 blobs that nothing names. The
// floor reads every manifest body and stats every blob file. The real run deletes the 10,000
// unnamed blobs; they are written back between iterations with the timer paused.
//
// Retention store: 100 repositories of 200 tags each; the floor lists every tags directory and
// stats and reads every tag link.
//
// The stores are built in $REG_BENCH_DIR, else /dev/shm, else the temporary directory, and
// removed at exit. Peak heap
// bytes during a call are counted by the replaced global operator new (the library's parser
// allocates through it as well).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "core/fileutil.h"
#include "core/paths.h"
#include "core/sha256.h"
#include "platform/platform.h"
#include "reg_storage.h"
#include "bench_support.h"

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // the replaced operators pair with malloc

namespace {

// ---- Heap accounting --------------------------------------------------------------------------

std::atomic<long long> g_heap_now{0};
std::atomic<long long> g_heap_peak{0};

void* counted_alloc(std::size_t n) {
  void* p = std::malloc(n + 16);
  if (!p) return nullptr;
  *static_cast<std::size_t*>(p) = n;
  const long long now = g_heap_now += static_cast<long long>(n);
  long long peak = g_heap_peak.load();
  while (now > peak && !g_heap_peak.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(p) + 16;
}

void counted_free(void* p) {
  if (!p) return;
  // Through an integer: GCC at -O3 inlines this into a container's node deletion and
  // would otherwise see the header as outside the node.
  char* base = reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(p) - 16);
  g_heap_now -= static_cast<long long>(*reinterpret_cast<std::size_t*>(base));
  std::free(base);
}

}  // namespace

void* operator new(std::size_t n) {
  if (void* p = counted_alloc(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

namespace {

namespace fs = std::filesystem;

constexpr int kRepos = 100;
constexpr int kManifestsPerRepo = 100;
constexpr int kLayers = 8;
constexpr int kUnnamedBlobs = 10'000;
constexpr int kTagsPerRepo = 200;

using benchsupport::digest_of;

void put_file(const fs::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

fs::path bench_dir() {
  const char* env = std::getenv("REG_BENCH_DIR");
  std::error_code ec;
  const fs::path base = env                                ? fs::path(env)
                        : fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm")
                                                           : fs::temp_directory_path();
  return base / ("reg_maint_bench_" + std::to_string(reg::platform::unique_token()));
}

struct Blob {
  fs::path path;
  std::string data;
};

// Writes a blob file under `root`; returns its digest.
std::string write_blob(const fs::path& root, const std::string& data, std::vector<Blob>* keep) {
  const std::string d = digest_of(data);
  const std::string hex = d.substr(7);
  const fs::path dir = root / "blobs" / "sha256" / hex.substr(0, 2);
  fs::create_directories(dir);
  put_file(dir / hex, data);
  if (keep) keep->push_back({dir / hex, data});
  return d;
}

std::string manifest_body(const std::string& config, const std::vector<std::string>& layers) {
  std::string s =
      "{\"schemaVersion\":2,\"mediaType\":\"application/"
      "vnd.oci.image.manifest.v1+json\",\"config\":{"
      "\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
      config + "\",\"size\":100},\"layers\":[";
  for (std::size_t i = 0; i < layers.size(); ++i)
    s += (i ? "," : "") +
         std::string(
             "{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\",\"digest\":\"") +
         layers[i] + "\",\"size\":1000}";
  return s + "]}";
}

class Stores {
 public:
  static Stores& get() {
    static Stores s;
    return s;
  }
  ~Stores() {
    std::error_code ec;
    fs::remove_all(base_, ec);
  }
  std::string gc_root() const { return (base_ / "gc").string(); }
  std::string retention_root() const { return (base_ / "retention").string(); }
  // Writes back the unnamed blobs that a real run removed.
  void restore_unnamed() {
    for (const auto& b : unnamed_) {
      if (fs::exists(b.path)) continue;
      fs::create_directories(b.path.parent_path());
      put_file(b.path, b.data);
    }
  }

 private:
  Stores() : base_(bench_dir()) {
    build_gc_store(base_ / "gc");
    build_retention_store(base_ / "retention");
  }
  void build_gc_store(const fs::path& root) {
    fs::create_directories(root / "uploads");
    fs::create_directories(root / "repositories");
    int n = 0;
    for (int r = 0; r < kRepos; ++r) {
      const fs::path m =
          root / "repositories" / "team" / ("app" + std::to_string(r)) / "_manifests";
      fs::create_directories(m / "revisions" / "sha256");
      for (int i = 0; i < kManifestsPerRepo; ++i, ++n) {
        const std::string config = write_blob(root, "config " + std::to_string(n), nullptr);
        std::vector<std::string> layers;
        for (int l = 0; l < kLayers; ++l)
          layers.push_back(
              write_blob(root, "layer " + std::to_string(n) + "/" + std::to_string(l), nullptr));
        const std::string body = manifest_body(config, layers);
        const std::string d = digest_of(body);
        const std::string hex = d.substr(7);
        put_file(m / hex, body);
        put_file(m / (hex + ".ct"), "application/vnd.oci.image.manifest.v1+json");
        fs::create_directories(m / "revisions" / "sha256" / hex);
        put_file(m / "revisions" / "sha256" / hex / "link", d);
        fs::create_directories(m / "tags" / ("v" + std::to_string(i)) / "current");
        put_file(m / "tags" / ("v" + std::to_string(i)) / "current" / "link", d);
      }
    }
    for (int i = 0; i < kUnnamedBlobs; ++i)
      write_blob(root, "unnamed " + std::to_string(i), &unnamed_);
  }
  void build_retention_store(const fs::path& root) {
    const auto now = fs::file_time_type::clock::now();
    for (int r = 0; r < kRepos; ++r) {
      const fs::path tags =
          root / "repositories" / ("repo" + std::to_string(r)) / "_manifests" / "tags";
      for (int t = 0; t < kTagsPerRepo; ++t) {
        const fs::path dir = tags / ("t" + std::to_string(t)) / "current";
        fs::create_directories(dir);
        put_file(dir / "link", digest_of(std::to_string(r) + ":" + std::to_string(t)));
        fs::last_write_time(dir / "link", now - std::chrono::hours(24 * t));
      }
    }
  }
  fs::path base_;
  std::vector<Blob> unnamed_;
};

void init_store(const std::string& root) {
  if (reg_storage_init(root.c_str()) != 0)
    std::fprintf(stderr, "init failed: %s\n", reg_storage_last_error());
}

template <class Fn>
void each_entry(const std::string& dir, Fn&& fn) {
  reg::platform::enumerate_dir(dir.c_str(), [&](const char* name, reg::platform::Kind kind) {
    fn(std::string(name), kind == reg::platform::Kind::dir);
    return true;
  });
}

void report_peak(benchmark::State& state, long long peak) {
  state.counters["peak_heap_MiB"] = static_cast<double>(peak) / (1 << 20);
}

// ---- GC ------------------------------------------------------------------------------------

// The floor: every manifest body read, every blob file stat'ed.
void BM_PlainWalkReadManifestsStatBlobs(benchmark::State& state) {
  const std::string root = Stores::get().gc_root();
  for (auto _ : state) {
    std::size_t bytes = 0, blobs = 0;
    each_entry(root + "/repositories/team", [&](const std::string& repo, bool) {
      const std::string m = root + "/repositories/team/" + repo + "/_manifests";
      each_entry(m, [&](const std::string& name, bool is_dir) {
        if (is_dir || !reg::hex64_valid(name.c_str())) return;
        std::string body;
        if (reg::read_file_alloc((m + "/" + name).c_str(), body)) bytes += body.size();
      });
    });
    each_entry(root + "/blobs/sha256", [&](const std::string& fan, bool) {
      const std::string d = root + "/blobs/sha256/" + fan;
      each_entry(d, [&](const std::string& name, bool) {
        reg::platform::FileAttr a;
        blobs += reg::platform::get_attr((d + "/" + name).c_str(), &a) == 0;
      });
    });
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(blobs);
  }
}

void BM_GcDryRun(benchmark::State& state) {
  init_store(Stores::get().gc_root());
  long long peak = 0;
  for (auto _ : state) {
    g_heap_peak = g_heap_now.load();
    const long long base = g_heap_now.load();
    const char* t = reg_gc_json(1);
    if (!t) state.SkipWithError(reg_storage_last_error());
    peak = std::max(peak, g_heap_peak.load() - base);
  }
  report_peak(state, peak);
}

void BM_GcRealRun(benchmark::State& state) {
  Stores& s = Stores::get();
  init_store(s.gc_root());
  long long peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    s.restore_unnamed();
    g_heap_peak = g_heap_now.load();
    const long long base = g_heap_now.load();
    state.ResumeTiming();
    const char* t = reg_gc_json(0);
    if (!t) state.SkipWithError(reg_storage_last_error());
    peak = std::max(peak, g_heap_peak.load() - base);
  }
  s.restore_unnamed();
  report_peak(state, peak);
}

// ---- Retention --------------------------------------------------------------------------------

// The reads retention needs, done directly: every tag's current link stat'ed and read, up to
// `limit` links.
std::size_t walk_tag_links(const std::string& root, std::size_t limit) {
  std::size_t links = 0;
  each_entry(root + "/repositories", [&](const std::string& repo, bool) {
    const std::string tags = root + "/repositories/" + repo + "/_manifests/tags";
    each_entry(tags, [&](const std::string& tag, bool) {
      if (links >= limit) return;
      const std::string link = tags + "/" + tag + "/current/link";
      reg::platform::FileAttr a;
      char buf[128];
      if (reg::platform::get_attr(link.c_str(), &a) == 0 &&
          reg::read_file(link.c_str(), buf, sizeof buf, nullptr) == 0)
        ++links;
    });
  });
  return links;
}

void BM_PlainWalkTagLinks(benchmark::State& state) {
  const std::string root = Stores::get().retention_root();
  for (auto _ : state) benchmark::DoNotOptimize(walk_tag_links(root, SIZE_MAX));
}

// The same walk stopped where retention stops: it considers at most 4096 tags per call.
void BM_PlainWalkTagLinksFirst4096(benchmark::State& state) {
  const std::string root = Stores::get().retention_root();
  for (auto _ : state) benchmark::DoNotOptimize(walk_tag_links(root, 4096));
}

void BM_RetentionDryRun(benchmark::State& state) {
  init_store(Stores::get().retention_root());
  long long peak = 0;
  for (auto _ : state) {
    g_heap_peak = g_heap_now.load();
    const long long base = g_heap_now.load();
    int truncated = 0;
    const char* t = reg_retention_json(1, 10, 30, 0, &truncated);
    if (!t) state.SkipWithError(reg_storage_last_error());
    peak = std::max(peak, g_heap_peak.load() - base);
  }
  report_peak(state, peak);
}

BENCHMARK(BM_PlainWalkReadManifestsStatBlobs)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_GcDryRun)->Unit(benchmark::kMillisecond)->Iterations(5);   // ratio to the floor above
BENCHMARK(BM_GcRealRun)->Unit(benchmark::kMillisecond)->Iterations(5);  // ratio to the floor above
BENCHMARK(BM_PlainWalkTagLinks)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_PlainWalkTagLinksFirst4096)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_RetentionDryRun)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);  // ratio to the line above

}  // namespace

BENCHMARK_MAIN();
