// SHA-256 (FIPS 180-4). Sections: the portable block function, the SHA-extension block
// function (x86-64 only), the choice between them, the incremental hash, the file hash.
#include "core/sha256.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "core/paths.h"
#include "platform/platform.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace reg {

namespace {

constexpr std::size_t kBlockLen = 64;
constexpr std::size_t kLengthOffset = 56;  // where the 64-bit bit count starts in the last block
constexpr std::size_t kFileChunk = 65536;  // one read buffer, whatever the file size

// Both block functions read this table; the SHA-extension one loads it four words at a time.
alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

using BlockFn = void (*)(std::uint32_t state[8], const unsigned char* p, std::size_t nblocks);

// ---- Portable block function ------------------------------------------------------------

inline std::uint32_t load_be32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

inline void store_be32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

inline std::uint32_t big_sigma0(std::uint32_t x) {
  return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}
inline std::uint32_t big_sigma1(std::uint32_t x) {
  return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}
inline std::uint32_t small_sigma0(std::uint32_t x) {
  return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3);
}
inline std::uint32_t small_sigma1(std::uint32_t x) {
  return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10);
}

// One round. Instead of shifting the eight working variables, the caller rotates the
// argument order, so only d and h are written. Maj(a,b,c) is b ^ ((a^b) & (b^c)), and this
// round's a^b is the next round's b^c, so `bc` carries it over.
inline void sha_round(std::uint32_t a, std::uint32_t b, std::uint32_t& d, std::uint32_t e,
                      std::uint32_t f, std::uint32_t g, std::uint32_t& h, std::uint32_t kw,
                      std::uint32_t& bc) {
  std::uint32_t t1 = h + big_sigma1(e) + (g ^ (e & (f ^ g))) + kw;
  std::uint32_t ab = a ^ b;
  std::uint32_t t2 = big_sigma0(a) + (b ^ (ab & bc));
  bc = ab;
  d += t1;
  h = t1 + t2;
}

// Message word t (t >= 16) replaces word t - 16 in the ring w[16].
inline std::uint32_t schedule_word(std::uint32_t* w, int t) {
  w[t & 15] += small_sigma1(w[(t - 2) & 15]) + w[(t - 7) & 15] + small_sigma0(w[(t - 15) & 15]);
  return w[t & 15];
}

inline std::uint32_t message_word(std::uint32_t* w, int t) {
  return t < 16 ? w[t] : schedule_word(w, t);
}

// Eight rounds starting at round i. Each word is scheduled just before its round, which
// lets the schedule run in the gaps of the round's dependency chain.
inline void eight_rounds(std::uint32_t* s, std::uint32_t* w, int i, std::uint32_t& bc) {
  std::uint32_t &a = s[0], &b = s[1], &c = s[2], &d = s[3];
  std::uint32_t &e = s[4], &f = s[5], &g = s[6], &h = s[7];
  sha_round(a, b, d, e, f, g, h, kRound[i + 0] + message_word(w, i + 0), bc);
  sha_round(h, a, c, d, e, f, g, kRound[i + 1] + message_word(w, i + 1), bc);
  sha_round(g, h, b, c, d, e, f, kRound[i + 2] + message_word(w, i + 2), bc);
  sha_round(f, g, a, b, c, d, e, kRound[i + 3] + message_word(w, i + 3), bc);
  sha_round(e, f, h, a, b, c, d, kRound[i + 4] + message_word(w, i + 4), bc);
  sha_round(d, e, g, h, a, b, c, kRound[i + 5] + message_word(w, i + 5), bc);
  sha_round(c, d, f, g, h, a, b, kRound[i + 6] + message_word(w, i + 6), bc);
  sha_round(b, c, e, f, g, h, a, kRound[i + 7] + message_word(w, i + 7), bc);
}

void blocks_portable(std::uint32_t state[8], const unsigned char* p, std::size_t nblocks) {
  for (; nblocks > 0; --nblocks, p += kBlockLen) {
    std::uint32_t w[16];
#pragma GCC unroll 16
    for (int t = 0; t < 16; ++t) w[t] = load_be32(p + 4 * t);
    std::uint32_t s[8];
    std::memcpy(s, state, sizeof s);
    std::uint32_t bc = s[1] ^ s[2];
#pragma GCC unroll 8
    for (int i = 0; i < 64; i += 8) {
      eight_rounds(s, w, i, bc);
    }
    for (int k = 0; k < 8; ++k) state[k] += s[k];
  }
}

// ---- SHA-extension block function (x86-64) ------------------------------------------------

#if defined(__x86_64__)
#define REG_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds: the two halves of `msg + k` feed two sha256rnds2 steps. The state is kept as
// ABEF/CDGH, the layout the instructions expect.
REG_SHA_TARGET inline void four_rounds(__m128i& abef, __m128i& cdgh, __m128i msg, int i) {
  __m128i kw = _mm_add_epi32(msg, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + i)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, kw);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(kw, 0x0E));
}

REG_SHA_TARGET void blocks_sha_ext(std::uint32_t state[8], const unsigned char* p,
                                   std::size_t nblocks) {
  const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; nblocks > 0; --nblocks, p += kBlockLen) {
    const __m128i abef_in = abef;
    const __m128i cdgh_in = cdgh;
    __m128i m[4];  // the last sixteen schedule words, four per vector, as a ring
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4) {
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g));
        m[g] = _mm_shuffle_epi8(raw, bswap);
      } else {
        const __m128i prev = m[(g + 3) & 3];
        __m128i next = _mm_sha256msg1_epu32(m[g & 3], m[(g + 1) & 3]);
        next = _mm_add_epi32(next, _mm_alignr_epi8(prev, m[(g + 2) & 3], 4));
        m[g & 3] = _mm_sha256msg2_epu32(next, prev);
      }
      four_rounds(abef, cdgh, m[g & 3], 4 * g);
    }
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }

  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#undef REG_SHA_TARGET
#endif

// ---- Choosing the block function ---------------------------------------------------------

bool sha_ext_available() {
#if defined(__x86_64__)
  static const bool has = platform::cpu_has_sha_ext();
  return has;
#else
  return false;
#endif
}

BlockFn block_fn_for(Sha256Impl impl) {
#if defined(__x86_64__)
  if (impl == Sha256Impl::sha_ext) return blocks_sha_ext;
#endif
  (void)impl;
  return blocks_portable;
}

// Which block function runs; `automatic` until the first use settles it. Relaxed order is
// enough: both functions give the same result, so a thread that sees either is correct.
std::atomic<Sha256Impl> s_impl{Sha256Impl::automatic};

Sha256Impl resolve_impl() {
  Sha256Impl impl = s_impl.load(std::memory_order_relaxed);
  if (impl == Sha256Impl::automatic) {
    impl = sha_ext_available() ? Sha256Impl::sha_ext : Sha256Impl::portable;
    s_impl.store(impl, std::memory_order_relaxed);
  }
  return impl;
}

}  // namespace

bool sha256_select(Sha256Impl impl) {
  if (impl == Sha256Impl::sha_ext && !sha_ext_available()) return false;
  if (impl == Sha256Impl::automatic) {
    impl = sha_ext_available() ? Sha256Impl::sha_ext : Sha256Impl::portable;
  }
  s_impl.store(impl, std::memory_order_relaxed);
  return true;
}

Sha256Impl sha256_active() { return resolve_impl(); }

// ---- Incremental hash --------------------------------------------------------------------

void sha256_init(sha256_ctx* ctx) {
  std::memcpy(ctx->state, kInitial, sizeof kInitial);
  ctx->bitlen = 0;
  ctx->buflen = 0;
}

void sha256_update(sha256_ctx* ctx, const void* data, std::size_t len) {
  if (len == 0) return;
  const BlockFn blocks = block_fn_for(resolve_impl());
  const auto* p = static_cast<const unsigned char*>(data);
  ctx->bitlen += static_cast<std::uint64_t>(len) * 8;
  if (ctx->buflen > 0) {
    std::size_t take = std::min<std::size_t>(len, kBlockLen - ctx->buflen);
    std::memcpy(ctx->buf + ctx->buflen, p, take);
    ctx->buflen += take;
    p += take;
    len -= take;
    if (ctx->buflen < kBlockLen) return;
    blocks(ctx->state, ctx->buf, 1);
    ctx->buflen = 0;
  }
  // Whole blocks go straight from the caller's memory; only a tail is kept in buf.
  if (std::size_t whole = len / kBlockLen; whole > 0) {
    blocks(ctx->state, p, whole);
    p += whole * kBlockLen;
    len -= whole * kBlockLen;
  }
  if (len > 0) {
    std::memcpy(ctx->buf, p, len);
    ctx->buflen = len;
  }
}

void sha256_final(sha256_ctx* ctx, unsigned char out[32]) {
  const std::uint64_t bits = ctx->bitlen;
  // 0x80 then zeros up to offset 56 of a block: one update call with the same bytes as
  // absorbing them one at a time.
  unsigned char pad[kBlockLen + kLengthOffset] = {0x80};
  std::size_t padlen =
      (ctx->buflen < kLengthOffset ? kLengthOffset : kBlockLen + kLengthOffset) - ctx->buflen;
  sha256_update(ctx, pad, padlen);
  unsigned char length[8];
  store_be32(length, static_cast<std::uint32_t>(bits >> 32));
  store_be32(length + 4, static_cast<std::uint32_t>(bits));
  sha256_update(ctx, length, sizeof length);
  for (int k = 0; k < 8; ++k) store_be32(out + 4 * k, ctx->state[k]);
}

// ---- File hash ---------------------------------------------------------------------------

void sha256_hex(std::string_view data, char* hex) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data.data(), data.size());
  unsigned char bin[32];
  sha256_final(&ctx, bin);
  bin_to_hex(bin, hex);
}

std::string sha256_digest(std::string_view data) {
  char hex[kHexLen + 1];
  sha256_hex(data, hex);
  std::string out(kDigestPrefix);
  return out.append(hex, kHexLen);
}

int sha256_file(const char* path, unsigned char out[32]) {
  std::unique_ptr<platform::File> f;
  if (platform::open_file(path, platform::File::Mode::read, &f) != 0) return -1;
  std::vector<unsigned char> chunk(kFileChunk);
  sha256_ctx ctx;
  sha256_init(&ctx);
  for (;;) {
    std::size_t got = 0;
    if (f->read(chunk.data(), chunk.size(), &got) != 0) return -1;
    if (got == 0) break;
    sha256_update(&ctx, chunk.data(), got);
  }
  // Only reads decide the result; a close failure of a read-only stream loses nothing.
  f->close();
  sha256_final(&ctx, out);
  return 0;
}

}  // namespace reg
