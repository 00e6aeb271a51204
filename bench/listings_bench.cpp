// A tag list page against a plain listing of the same directory: one repository of 100,000
// tags, a page of 100 from the middle (`last` = t050000) against enumerating the tags
// directory once. The page lists the directory too, sorts the names and reads the links of
// the page's tags only.
//
// The store goes to $REG_BENCH_DIR, else /dev/shm when present, else the temporary directory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "reg_storage.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTags = 100'000;

fs::path bench_base() {
  if (const char* d = std::getenv("REG_BENCH_DIR")) return d;
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec)) return "/dev/shm";
  return fs::temp_directory_path();
}

class TagStore {
 public:
  TagStore() : root_(bench_base() / "reg_listings_bench") {
    fs::remove_all(root_);
    tags_ = root_ / "repositories" / "app" / "_manifests" / "tags";
    const std::string link = "sha256:" + std::string(64, 'a');
    for (int i = 0; i < kTags; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "t%06d", i);
      const fs::path cur = tags_ / name / "current";
      fs::create_directories(cur);
      std::ofstream(cur / "link", std::ios::binary) << link;
    }
    if (reg_storage_init(root_.c_str()) != 0) std::abort();
  }
  ~TagStore() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& tags() const { return tags_; }

 private:
  fs::path root_, tags_;
};

const TagStore& store() {
  static const TagStore s;
  return s;
}

void BM_EnumerateTagsDir100k(benchmark::State& state) {
  const std::string dir = store().tags().string();
  for (auto _ : state) {
    std::size_t n = 0;
    reg::platform::enumerate_dir(dir.c_str(), [&](const char*, reg::platform::Kind k) {
      n += k == reg::platform::Kind::dir;
      return true;
    });
    benchmark::DoNotOptimize(n);
  }
}

void BM_TagsPage100Of100k(benchmark::State& state) {
  store();
  int more = 0;
  char next[64];
  for (auto _ : state) {
    const char* j = reg_tags_list_json_page("app", 100, "t050000", &more, next, sizeof next);
    if (!j) state.SkipWithError(reg_storage_last_error());
    benchmark::DoNotOptimize(j);
  }
  state.SetLabel(std::string("next_last=") + next);
}

BENCHMARK(BM_EnumerateTagsDir100k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TagsPage100Of100k)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
