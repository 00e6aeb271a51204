// SHA-256 throughput: our two block functions and OpenSSL's EVP SHA-256 on the same 1 MiB
// buffer, and the file hash against OpenSSL fed by the same 64 KiB reads of the same file.
//
// Run with OPENSSL_ia32cap=:~0x20000000 to keep OpenSSL off the SHA extensions; its rows are
// then the reference for the portable block function (see bench/README.md).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "platform/platform.h"
#include "bench_support.h"

namespace {

constexpr std::size_t kBufLen = std::size_t{1} << 20;
constexpr std::uint64_t kFileLen = std::uint64_t{1} << 30;

std::vector<unsigned char> make_buffer(std::size_t len) {
  return benchsupport::pseudo_random_bytes(len);
}

const std::vector<unsigned char>& buffer() {
  static const std::vector<unsigned char> buf = make_buffer(kBufLen);
  return buf;
}

struct CtxFree {
  void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};
struct MdFree {
  void operator()(EVP_MD* m) const noexcept { EVP_MD_free(m); }
};

// The file for the file rows: $REG_BENCH_SHA256_FILE when set (used as it is, so that other
// tools can hash the same file), else 1 GiB written to the temporary directory and removed
// at exit.
class BenchFile {
 public:
  BenchFile() {
    if (const char* p = std::getenv("REG_BENCH_SHA256_FILE")) {
      path_ = p;
      return;
    }
    path_ = (std::filesystem::temp_directory_path() / "reg_sha256_bench_1GiB.bin").string();
    owned_ = true;
    std::ofstream f(path_, std::ios::binary);
    const auto& buf = buffer();
    for (std::uint64_t done = 0; done < kFileLen; done += buf.size()) {
      f.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(buf.size()));
    }
  }
  ~BenchFile() {
    std::error_code ec;
    if (owned_) std::filesystem::remove(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::uint64_t size() const {
    std::error_code ec;
    return std::filesystem::file_size(path_, ec);
  }

 private:
  std::string path_;
  bool owned_ = false;
};

const BenchFile& bench_file() {
  static const BenchFile f;
  return f;
}

void hash_ours(benchmark::State& state, reg::Sha256Impl impl) {
  if (!reg::sha256_select(impl)) {
    state.SkipWithError("block function not available on this processor");
    return;
  }
  const auto& buf = buffer();
  unsigned char out[32];
  for (auto _ : state) {
    reg::sha256_ctx ctx;
    reg::sha256_init(&ctx);
    reg::sha256_update(&ctx, buf.data(), buf.size());
    reg::sha256_final(&ctx, out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
  reg::sha256_select(reg::Sha256Impl::automatic);
}

void BM_Sha256ShaExt(benchmark::State& state) { hash_ours(state, reg::Sha256Impl::sha_ext); }
void BM_Sha256Portable(benchmark::State& state) { hash_ours(state, reg::Sha256Impl::portable); }

// Baseline for both rows above. The digest is fetched once, as a long-lived caller would.
void BM_OpenSslSha256(benchmark::State& state) {
  std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
  const auto& buf = buffer();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int outlen = 0;
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx.get(), md.get(), nullptr);
    EVP_DigestUpdate(ctx.get(), buf.data(), buf.size());
    EVP_DigestFinal_ex(ctx.get(), out, &outlen);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}

void BM_Sha256File(benchmark::State& state) {
  const BenchFile& f = bench_file();
  unsigned char out[32];
  if (reg::sha256_file(f.path().c_str(), out) != 0) {  // also warms the page cache
    state.SkipWithError("cannot read the benchmark file");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(reg::sha256_file(f.path().c_str(), out));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.size()));
}

// Baseline for the row above: the same reads through the platform layer, hashed by OpenSSL.
void BM_OpenSslFile(benchmark::State& state) {
  const BenchFile& f = bench_file();
  std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
  std::vector<unsigned char> chunk(65536);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int outlen = 0;
  for (auto _ : state) {
    std::unique_ptr<reg::platform::File> file;
    if (reg::platform::open_file(f.path().c_str(), reg::platform::File::Mode::read, &file) != 0) {
      state.SkipWithError("cannot read the benchmark file");
      return;
    }
    EVP_DigestInit_ex(ctx.get(), md.get(), nullptr);
    std::size_t got = 0;
    while (file->read(chunk.data(), chunk.size(), &got) == 0 && got > 0) {
      EVP_DigestUpdate(ctx.get(), chunk.data(), got);
    }
    EVP_DigestFinal_ex(ctx.get(), out, &outlen);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.size()));
}

}  // namespace

BENCHMARK(BM_OpenSslSha256);
BENCHMARK(BM_Sha256ShaExt);    // read as a ratio to BM_OpenSslSha256
BENCHMARK(BM_Sha256Portable);  // ratio to BM_OpenSslSha256 run with SHA extensions masked
BENCHMARK(BM_OpenSslFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256File)->Unit(benchmark::kMillisecond);  // ratio to BM_OpenSslFile

BENCHMARK_MAIN();
