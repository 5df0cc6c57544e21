// The folding CRC-32 kernel, written once for any vector width.
//
// Include this only in a file that is compiled for the instructions its vector type needs.
// Everything here has internal linkage, so code built for wider instructions can never be
// chosen by the linker for a caller on a processor that lacks them.
//
// The method: the message is a polynomial, and its CRC is its remainder modulo P. Folding
// keeps a few 128-bit blocks of the message and, for every further stretch of the message,
// moves each block on by a fixed distance with two carry-less multiplies (see
// fold_multipliers) and adds in the new data. What is left is one 128-bit block, which
// reduce_block takes to the 32-bit register by two more folds and a Barrett reduction.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/crc/crc32_kernels.h"
#include "core/crc/crc32_math.h"

namespace {

template <unsigned Distance>
__m128i multipliers128() {
  constexpr FoldMultipliers m = fold_multipliers(Distance);
  return _mm_set_epi64x(static_cast<long long>(m.high), static_cast<long long>(m.low));
}

// Returns `block` moved on by the distance that `k` was made for (L·k.low + H·k.high).
inline __m128i fold128(__m128i block, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(block, k, 0x00), _mm_clmulepi64_si128(block, k, 0x11));
}

inline __m128i load128(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Returns the register for a message whose last 128 bits are `block`, everything before
// them having been folded into it: (L·x^64 + H)·x^32 mod P, in reflected order.
inline std::uint32_t reduce_block(__m128i block) {
  const __m128i k = _mm_set_epi64x(static_cast<long long>(kReduceBy64),
                                   static_cast<long long>(kReduceBy96));
  // L·x^96 + H·x^32 ≡ L·(x^95 mod P)·x + H·x^32, below degree 96: the product fills bits
  // 32..127, and H·x^32 is H moved down to bits 32..95.
  const __m128i h = _mm_and_si128(_mm_srli_si128(block, 4), _mm_set_epi32(0, -1, -1, 0));
  __m128i v = _mm_xor_si128(_mm_clmulepi64_si128(block, k, 0x00), h);
  // Bits 32..63 hold the coefficients of x^64..x^95; times (x^63 mod P)·x they land in the
  // high half, which is then a 64-bit W with the same remainder.
  v = _mm_xor_si128(v, _mm_clmulepi64_si128(v, k, 0x10));
  const auto w = static_cast<std::uint64_t>(_mm_extract_epi64(v, 1));
  // Barrett: the quotient q = floor(floor(W / x^32)·floor(x^64 / P) / x^32) lands in bits
  // 0..31 of the first product; the remainder W + q·P is then in bits 32..63 of W ^ q·P.
  const __m128i b = _mm_set_epi64x(static_cast<long long>(kBarrettPolynomial),
                                   static_cast<long long>(kBarrettQuotient));
  const __m128i w_high = _mm_cvtsi64_si128(static_cast<long long>(w & 0xFFFFFFFF));
  const __m128i q = _mm_and_si128(_mm_clmulepi64_si128(w_high, b, 0x00), _mm_cvtsi32_si128(-1));
  const auto qp = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(q, b, 0x10)));
  return static_cast<std::uint32_t>((w ^ qp) >> 32);
}

// The operations of fold_update on one vector width. Lanes types provide:
//   Vector                     the vector type, a whole number of 128-bit lanes
//   load(p)                    the vector's bytes at p, any alignment
//   add(a, b)                  a XOR b
//   multipliers<D>()           the fold multipliers for D bits in every lane
//   fold(v, k)                 every lane moved on by k's distance
//   from_register(reg)         reg in the lowest 32 bits, zeros elsewhere
//   to_block(v)                the lanes folded into one 128-bit block, in message order
//   short_update(reg, p, n)    the register for input too short for four vectors
struct Lanes128 {
  using Vector = __m128i;
  static Vector load(const unsigned char* p) { return load128(p); }
  static Vector add(Vector a, Vector b) { return _mm_xor_si128(a, b); }
  template <unsigned Distance>
  static Vector multipliers() { return multipliers128<Distance>(); }
  static Vector fold(Vector v, Vector k) { return fold128(v, k); }
  static Vector from_register(std::uint32_t reg) { return _mm_cvtsi32_si128(static_cast<int>(reg)); }
  static __m128i to_block(Vector v) { return v; }
  static std::uint32_t short_update(std::uint32_t reg, const unsigned char* data, std::size_t size) {
    return crc32_update_table(reg, data, size);
  }
};

// Returns the register after feeding `size` bytes at `data` into `reg`.
template <class Lanes>
std::uint32_t fold_update(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  using Vector = typename Lanes::Vector;
  constexpr std::size_t kStep = sizeof(Vector);
  constexpr unsigned kBits = 8 * kStep;
  if (size < 4 * kStep) return Lanes::short_update(reg, data, size);

  // Four accumulators, so that four chains of multiplies are under way at once. Adding the
  // register to the message's first 32 bits is the same as starting the CRC from it.
  Vector a0 = Lanes::add(Lanes::load(data), Lanes::from_register(reg));
  Vector a1 = Lanes::load(data + kStep);
  Vector a2 = Lanes::load(data + 2 * kStep);
  Vector a3 = Lanes::load(data + 3 * kStep);
  data += 4 * kStep;
  size -= 4 * kStep;
  const Vector by4 = Lanes::template multipliers<4 * kBits>();
  for (; size >= 4 * kStep; data += 4 * kStep, size -= 4 * kStep) {
    a0 = Lanes::add(Lanes::fold(a0, by4), Lanes::load(data));
    a1 = Lanes::add(Lanes::fold(a1, by4), Lanes::load(data + kStep));
    a2 = Lanes::add(Lanes::fold(a2, by4), Lanes::load(data + 2 * kStep));
    a3 = Lanes::add(Lanes::fold(a3, by4), Lanes::load(data + 3 * kStep));
  }

  // Each accumulator moves on to the last one's place.
  const Vector by1 = Lanes::template multipliers<kBits>();
  Vector a = Lanes::add(
      Lanes::add(Lanes::fold(a0, Lanes::template multipliers<3 * kBits>()),
                 Lanes::fold(a1, Lanes::template multipliers<2 * kBits>())),
      Lanes::add(Lanes::fold(a2, by1), a3));
  for (; size >= kStep; data += kStep, size -= kStep) a = Lanes::add(Lanes::fold(a, by1), Lanes::load(data));

  __m128i block = Lanes::to_block(a);
  for (; size >= 16; data += 16, size -= 16) {
    block = _mm_xor_si128(fold128(block, multipliers128<128>()), load128(data));
  }
  return crc32_update_table(reduce_block(block), data, size);
}

}  // namespace
