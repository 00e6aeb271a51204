// Blob store: chunked upload and commit next to the same file work done bare, and blob
// lookups in a store of 100,000 blobs next to the bare attribute query they rest on.
//
// Rows come in pairs; read each library row as a ratio to the baseline below it.
//   BM_AppendChunks/N    reg_blob_append_chunk of N 1 MiB chunks (open, lock, write, close each)
//   BM_PlainAppend/N     the same chunks appended to a plain file, open/write/close per chunk
//   BM_FinishUpload/N    reg_blob_finish_upload of an N MiB upload (set aside, check the
//                        hash state the appends carried, rename)
//   BM_Sha256File/N      sha256_file of the same N MiB, just written
//   BM_BlobExists, BM_BlobGetSize   per call, cycling through 100,000 stored blobs
//   BM_GetAttr           platform::get_attr of the same blob paths
// Peak memory: run one size alone under /usr/bin/time -v (see bench/README.md).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/sha256.h"
#include "platform/platform.h"
#include "reg_storage.h"
#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using reg::platform::File;

constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr int kStoredBlobs = 100000;

std::vector<unsigned char> make_chunk() { return benchsupport::pseudo_random_bytes(kChunk); }

const std::vector<unsigned char>& chunk() {
  static const std::vector<unsigned char> buf = make_chunk();
  return buf;
}

std::string hex_of(const unsigned char* bin) {
  char hex[65];
  reg::bin_to_hex(bin, hex);
  return hex;
}

// An initialised store in the temporary directory, removed at exit.
class Store {
 public:
  Store() : dir_(fs::temp_directory_path() / "reg_blobs_bench") {
    fs::remove_all(dir_);
    ok_ = reg_storage_init(dir_.string().c_str()) == 0;
  }
  ~Store() {
    reg_storage_cleanup();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }
  fs::path dir() const { return dir_; }

 private:
  fs::path dir_;
  bool ok_ = false;
};

Store& store() {
  static Store s;
  return s;
}

// The digest of `mib` copies of the chunk, as a client would claim it.
std::string digest_of_chunks(int mib) {
  reg::sha256_ctx ctx;
  reg::sha256_init(&ctx);
  for (int i = 0; i < mib; ++i) reg::sha256_update(&ctx, chunk().data(), kChunk);
  unsigned char bin[32];
  reg::sha256_final(&ctx, bin);
  return "sha256:" + hex_of(bin);
}

bool append_chunks(const char* id, int mib) {
  for (int i = 0; i < mib; ++i)
    if (reg_blob_append_chunk(id, chunk().data(), kChunk) != 0) return false;
  return true;
}

bool plain_append(const std::string& path, int mib) {
  for (int i = 0; i < mib; ++i) {
    std::unique_ptr<File> f;
    std::size_t put = 0;
    if (reg::platform::open_file(path.c_str(), File::Mode::append, &f) != 0 ||
        f->write(chunk().data(), kChunk, &put) != 0 || f->close() != 0)
      return false;
  }
  return true;
}

void BM_AppendChunks(benchmark::State& state) {
  const int mib = static_cast<int>(state.range(0));
  if (!store().ok()) return state.SkipWithError(reg_storage_last_error());
  for (auto _ : state) {
    char id[37];
    state.PauseTiming();
    reg_blob_start_upload(id);
    state.ResumeTiming();
    if (!append_chunks(id, mib)) return state.SkipWithError(reg_storage_last_error());
    state.PauseTiming();
    reg_blob_cancel_upload(id);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * mib * static_cast<std::int64_t>(kChunk));
}

void BM_PlainAppend(benchmark::State& state) {
  const int mib = static_cast<int>(state.range(0));
  const std::string path = (store().dir() / "plain.bin").string();
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<File> f;
    reg::platform::open_file(path.c_str(), File::Mode::write, &f);  // empty, as a new upload
    f.reset();
    state.ResumeTiming();
    if (!plain_append(path, mib)) return state.SkipWithError("plain append failed");
    state.PauseTiming();
    fs::remove(path);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * mib * static_cast<std::int64_t>(kChunk));
}

void BM_FinishUpload(benchmark::State& state) {
  const int mib = static_cast<int>(state.range(0));
  if (!store().ok()) return state.SkipWithError(reg_storage_last_error());
  const std::string digest = digest_of_chunks(mib);
  for (auto _ : state) {
    state.PauseTiming();
    char id[37], out[72];
    reg_blob_start_upload(id);
    if (!append_chunks(id, mib)) return state.SkipWithError(reg_storage_last_error());
    state.ResumeTiming();
    if (reg_blob_finish_upload(id, digest.c_str(), out) != 0)
      return state.SkipWithError(reg_storage_last_error());
    state.PauseTiming();
    reg_blob_delete(digest.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * mib * static_cast<std::int64_t>(kChunk));
}

void BM_Sha256File(benchmark::State& state) {
  const int mib = static_cast<int>(state.range(0));
  const std::string path = (store().dir() / "hashed.bin").string();
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<File> f;
    reg::platform::open_file(path.c_str(), File::Mode::write, &f);
    f.reset();
    if (!plain_append(path, mib)) return state.SkipWithError("cannot write the file");
    state.ResumeTiming();
    unsigned char bin[32];
    benchmark::DoNotOptimize(reg::sha256_file(path.c_str(), bin));
  }
  fs::remove(path);
  state.SetBytesProcessed(state.iterations() * mib * static_cast<std::int64_t>(kChunk));
}

// 100,000 blob files made directly (their content does not matter to a lookup).
struct StoredBlobs {
  std::vector<std::string> digests, paths;
  StoredBlobs() {
    std::uint32_t x = 88172645u;
    for (int i = 0; i < kStoredBlobs; ++i) {
      unsigned char bin[32];
      for (auto& b : bin) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x >> 7);
      }
      const std::string digest = "sha256:" + hex_of(bin);
      reg::Path p;
      if (!reg::blob_path_for_digest(digest, p)) continue;
      fs::create_directories(fs::path(p).parent_path());
      std::unique_ptr<File> f;
      if (reg::platform::open_file(p.c_str(), File::Mode::write, &f) != 0) continue;
      digests.push_back(digest);
      paths.push_back(p);
    }
  }
};

const StoredBlobs& stored() {
  store();
  static const StoredBlobs s;
  return s;
}

void BM_BlobExists(benchmark::State& state) {
  const auto& s = stored();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(reg_blob_exists(s.digests[i].c_str()));
    if (++i == s.digests.size()) i = 0;
  }
  state.counters["blobs"] = static_cast<double>(s.digests.size());
}

void BM_BlobGetSize(benchmark::State& state) {
  const auto& s = stored();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(reg_blob_get_size(s.digests[i].c_str()));
    if (++i == s.digests.size()) i = 0;
  }
}

void BM_GetAttr(benchmark::State& state) {
  const auto& s = stored();
  std::size_t i = 0;
  for (auto _ : state) {
    reg::platform::FileAttr a;
    benchmark::DoNotOptimize(reg::platform::get_attr(s.paths[i].c_str(), &a));
    if (++i == s.paths.size()) i = 0;
  }
}

// Page-cache work makes single runs of the large rows noisy on a shared machine: run them
// with repetitions and compare the minima (the "_min" rows).
double min_of(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(BM_AppendChunks)
    ->Arg(1024)
    ->Iterations(1)
    ->ComputeStatistics("min", min_of)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainAppend)
    ->Arg(1024)
    ->Iterations(1)
    ->ComputeStatistics("min", min_of)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FinishUpload)
    ->Arg(16)
    ->Arg(1024)
    ->Iterations(1)
    ->ComputeStatistics("min", min_of)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256File)
    ->Arg(16)
    ->Arg(1024)
    ->Iterations(1)
    ->ComputeStatistics("min", min_of)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlobExists);
BENCHMARK(BM_BlobGetSize);
BENCHMARK(BM_GetAttr);

}  // namespace

BENCHMARK_MAIN();
