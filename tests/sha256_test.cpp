// SHA-256: the published test vectors on both block functions, padding boundaries, split
// independence, and the streaming file hash (large files, missing files, read faults).
#include "core/sha256.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "support/test_support.h"

namespace reg {

// Names the block function in failure messages of the parameterised tests.
void PrintTo(Sha256Impl impl, std::ostream* os) {
  switch (impl) {
    case Sha256Impl::automatic:
      *os << "automatic";
      break;
    case Sha256Impl::portable:
      *os << "portable";
      break;
    case Sha256Impl::sha_ext:
      *os << "sha_ext";
      break;
  }
}

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

std::string to_hex(const unsigned char* p, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string digest_hex(const void* data, std::size_t len) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data, len);
  unsigned char out[32];
  sha256_final(&ctx, out);
  return to_hex(out, 32);
}

// Deterministic filler (splitmix64), written byte by byte so content is the same everywhere.
void fill_pattern(std::uint64_t* seed, unsigned char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 8) {
    std::uint64_t z = (*seed += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    for (std::size_t k = 0; k < 8 && i + k < n; ++k) {
      p[i + k] = static_cast<unsigned char>(z >> (8 * k));
    }
  }
}

struct Vector {
  Bytes msg;
  std::string md;
};

// Reads "Len = / Msg = / MD =" records; Len counts bits, and Len 0 comes with Msg "00".
std::vector<Vector> read_msg_vectors(const fs::path& file) {
  std::ifstream in(file);
  std::vector<Vector> out;
  std::size_t bits = 0;
  Bytes msg;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("Len = ", 0) == 0) bits = std::stoul(line.substr(6));
    if (line.rfind("Msg = ", 0) == 0) msg = from_hex(line.substr(6));
    if (line.rfind("MD = ", 0) == 0) {
      msg.resize(bits / 8);
      out.push_back({msg, line.substr(5)});
    }
  }
  return out;
}

fs::path vector_file(const char* name) { return fs::path(REG_TESTDATA_DIR) / "sha256" / name; }

class Sha256ImplTest : public ::testing::TestWithParam<Sha256Impl> {
 protected:
  void SetUp() override {
    if (!sha256_select(GetParam())) GTEST_SKIP() << "this processor lacks the SHA extensions";
    ASSERT_EQ(sha256_active(), GetParam());
  }
  void TearDown() override { sha256_select(Sha256Impl::automatic); }

  void check_msg_file(const char* name) {
    fs::path file = vector_file(name);
    if (!fs::exists(file)) GTEST_SKIP() << "test data absent: " << file;
    std::vector<Vector> vectors = read_msg_vectors(file);
    ASSERT_GE(vectors.size(), 64u);
    for (const Vector& v : vectors) {
      EXPECT_EQ(digest_hex(v.msg.data(), v.msg.size()), v.md) << name << " length " << v.msg.size();
    }
  }
};

TEST_P(Sha256ImplTest, ShortMsgVectors) { check_msg_file("SHA256ShortMsg.rsp"); }
TEST_P(Sha256ImplTest, LongMsgVectors) { check_msg_file("SHA256LongMsg.rsp"); }

// Lengths around the block size: the padding fits in the last block (55), needs one more
// block (56, 63), or starts a new one (64, 65, 120, 128).
TEST_P(Sha256ImplTest, PaddingBoundaries) {
  const struct {
    std::size_t len;
    const char* md;
  } kCases[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {1, "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb"},
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {57, "f13b2d724659eb3bf47f2dd6af1accc87b81f09f59f2b75e5c0bed6589dfe8c6"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
      {127, "c57e9278af78fa3cab38667bef4ce29d783787a2f731d4e12200270f0c32320a"},
      {128, "6836cf13bac400e9105071cd6af47084dfacad4e5e302c94bfed24e013afb73e"},
      {129, "c12cb024a2e5551cca0e08fce8f1c5e314555cc3fef6329ee994a3db752166ae"},
  };
  for (const auto& c : kCases) {
    std::string msg(c.len, 'a');
    EXPECT_EQ(digest_hex(msg.data(), msg.size()), c.md) << "length " << c.len;
  }
}

TEST_P(Sha256ImplTest, EmptyInputWithoutUpdate) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, nullptr, 0);
  unsigned char out[32];
  sha256_final(&ctx, out);
  EXPECT_EQ(to_hex(out, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// Byte-by-byte and random pieces (mixing buffered bytes with whole blocks taken straight
// from the input) must give the one-shot digest.
TEST_P(Sha256ImplTest, SplitsGiveOneShotDigest) {
  std::mt19937 rng(1234);
  for (std::size_t len : {1u, 63u, 64u, 65u, 200u, 1000u, 4097u, 70000u}) {
    Bytes msg(len);
    std::uint64_t seed = len;
    fill_pattern(&seed, msg.data(), len);
    const std::string whole = digest_hex(msg.data(), len);

    sha256_ctx ctx;
    sha256_init(&ctx);
    for (unsigned char b : msg) sha256_update(&ctx, &b, 1);
    unsigned char out[32];
    sha256_final(&ctx, out);
    EXPECT_EQ(to_hex(out, 32), whole) << "byte by byte, length " << len;

    for (int round = 0; round < 20; ++round) {
      sha256_init(&ctx);
      for (std::size_t pos = 0; pos < len;) {
        std::size_t piece = std::min<std::size_t>(len - pos, rng() % 300);
        sha256_update(&ctx, msg.data() + pos, piece);
        pos += piece;
      }
      sha256_final(&ctx, out);
      EXPECT_EQ(to_hex(out, 32), whole) << "random pieces, length " << len << ", round " << round;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BlockFunctions, Sha256ImplTest,
                         ::testing::Values(Sha256Impl::portable, Sha256Impl::sha_ext),
                         [](const auto& info) {
                           return info.param == Sha256Impl::portable ? std::string("Portable")
                                                                     : std::string("ShaExt");
                         });

class Sha256FileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    fault::disarm();
    fault::reset_counts();
  }

  // Writes `len` bytes of the pattern from `seed`; returns the path.
  std::string write_pattern_file(const char* name, std::size_t len, std::uint64_t seed) {
    fs::path p = tmp_.path() / name;
    std::ofstream f(p, std::ios::binary);
    Bytes chunk(1 << 20);
    for (std::size_t done = 0; done < len;) {
      std::size_t n = std::min(chunk.size(), len - done);
      fill_pattern(&seed, chunk.data(), n);
      f.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
      done += n;
    }
    EXPECT_TRUE(f.good());
    return p.string();
  }

  regtest::TempDir tmp_;
};

// What `out` holds when the file hash did not write it (filled with 0xab beforehand).
constexpr const char* kUntouched =
    "abababababababababababababababababababababababababababababababab";

TEST_F(Sha256FileTest, EmptyFileGivesEmptyDigest) {
  std::string path = write_pattern_file("empty", 0, 0);
  unsigned char out[32];
  ASSERT_EQ(sha256_file(path.c_str(), out), 0);
  EXPECT_EQ(to_hex(out, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(Sha256FileTest, UnopenablePathFailsAndLeavesOutUntouched) {
  const std::string missing = (tmp_.path() / "missing").string();
  const std::string directory = tmp_.str();
  for (const std::string& path : {missing, directory}) {
    unsigned char out[32];
    std::memset(out, 0xab, sizeof out);
    EXPECT_EQ(sha256_file(path.c_str(), out), -1) << path;
    EXPECT_EQ(to_hex(out, 32), kUntouched) << path;
  }
}

// Fails the N-th read for every N a hash of a 200,000-byte file makes (four 64 KiB pieces
// and the read that sees the end); each must fail without writing out.
TEST_F(Sha256FileTest, ReadFaultFailsAndLeavesOutUntouched) {
  constexpr std::size_t kLen = 200000;
  std::string path = write_pattern_file("data", kLen, 7);
  Bytes content(kLen);
  std::uint64_t seed = 7;
  fill_pattern(&seed, content.data(), kLen);
  const std::string expected = digest_hex(content.data(), kLen);

  int faults = 0;
  for (int nth = 1;; ++nth) {
    unsigned char out[32];
    std::memset(out, 0xab, sizeof out);
    fault::arm(fault::Op::read, nth, EIO);
    int rc = sha256_file(path.c_str(), out);
    const bool fired = fault::fired() > 0;
    fault::disarm();
    if (!fired) {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(to_hex(out, 32), expected);
      break;
    }
    ++faults;
    EXPECT_EQ(rc, -1) << "read " << nth;
    EXPECT_EQ(to_hex(out, 32), kUntouched) << "read " << nth;
  }
  EXPECT_EQ(faults, 5);
}

TEST_F(Sha256FileTest, OpenFaultFails) {
  std::string path = write_pattern_file("data", 100, 1);
  unsigned char out[32];
  std::memset(out, 0xab, sizeof out);
  fault::arm(fault::Op::open, 1, EACCES);
  EXPECT_EQ(sha256_file(path.c_str(), out), -1);
  EXPECT_EQ(fault::fired(), 1);
  EXPECT_EQ(to_hex(out, 32), kUntouched);
}

// A file of just over 512 MiB (more than 2^32 message bits, so a narrow length counter
// would show) matches hashing the same bytes in memory in uneven pieces, and the digest
// computed for this content by an independent tool.
TEST_F(Sha256FileTest, LargeFileMatchesInMemoryHash) {
  constexpr std::size_t kLen = (std::size_t{520} << 20) + 4099;
  const std::string path = write_pattern_file("large", kLen, 42);

  sha256_ctx ctx;
  sha256_init(&ctx);
  Bytes chunk(1 << 20);
  std::uint64_t seed = 42;
  for (std::size_t done = 0, i = 0; done < kLen; ++i) {
    std::size_t n = std::min(chunk.size(), kLen - done);
    fill_pattern(&seed, chunk.data(), n);
    std::size_t cut = std::min(n, 1 + (i * 37) % 200);
    sha256_update(&ctx, chunk.data(), cut);
    sha256_update(&ctx, chunk.data() + cut, n - cut);
    done += n;
  }
  unsigned char in_memory[32];
  sha256_final(&ctx, in_memory);

  unsigned char from_file[32];
  ASSERT_EQ(sha256_file(path.c_str(), from_file), 0);
  EXPECT_EQ(to_hex(from_file, 32), to_hex(in_memory, 32));
  EXPECT_EQ(to_hex(from_file, 32),
            "addc4eebf02dec542e77617734883ede24a42da646131b786aae894fdf10149a");
}

}  // namespace
}  // namespace reg
