// Arithmetic on polynomials over GF(2) for the standard CRC-32, done at compile time. The
// table kernel's tables and the folding kernels' multipliers all come from here, derived
// from the generator polynomial alone. The functions that only derive constants are
// consteval, so no file built for wider instructions can emit a copy of them that the
// linker might then hand to code running on a processor without those instructions.
//
// Two bit orders meet in this file:
// - normal order: bit i of an integer is the coefficient of x^i;
// - reflected order, the order of the CRC's register and of data in memory: in a w-bit
//   value, bit i is the coefficient of x^(w-1-i). A 16-byte little-endian load of message
//   bytes is thus the message's next 128 coefficients, highest degree first.
#pragma once

#include <cstdint>

// x^32 + x^26 + x^23 + x^22 + x^16 + x^12 + x^11 + x^10 + x^8 + x^7 + x^5 + x^4 + x^2 + x + 1,
// in normal order with its x^32 term.
inline constexpr std::uint64_t kCrc32Polynomial = 0x104C11DB7;

// Returns `value` with its 32 bits in reverse order.
constexpr std::uint32_t reflect32(std::uint32_t value) {
  std::uint32_t result = 0;
  for (int i = 0; i < 32; ++i) result |= ((value >> i) & 1u) << (31 - i);
  return result;
}

// Returns the low 33 bits of `value` in reverse order: a polynomial of degree 32 in
// reflected order.
consteval std::uint64_t reflect33(std::uint64_t value) {
  std::uint64_t result = 0;
  for (int i = 0; i <= 32; ++i) result |= ((value >> i) & 1u) << (32 - i);
  return result;
}

// Returns x^n mod P in normal order.
consteval std::uint32_t x_pow_mod(unsigned n) {
  std::uint64_t remainder = 1;
  for (unsigned i = 0; i < n; ++i) {
    remainder <<= 1;
    if (remainder >> 32) remainder ^= kCrc32Polynomial;
  }
  return static_cast<std::uint32_t>(remainder);
}

// Returns floor(x^64 / P) in normal order, the Barrett multiplier (degree 32).
consteval std::uint64_t barrett_quotient() {
  std::uint64_t quotient = 0;
  std::uint64_t window = 0;  // the part of the dividend brought down, kept below degree 32
  for (int degree = 64; degree >= 0; --degree) {
    window = (window << 1) | (degree == 64 ? 1u : 0u);
    quotient <<= 1;
    if (window >> 32) {
      window ^= kCrc32Polynomial;
      quotient |= 1;
    }
  }
  return quotient;
}

// The two multipliers that move a 128-bit block of the message `distance` bits further on.
//
// A block X, in reflected order, is L·x^64 + H, where L is its low and H its high 64-bit
// half. Moving it on by D bits means replacing X·x^D with something congruent modulo P:
//   X·x^D = L·x^(D+64) + H·x^D ≡ L·a + H·b
// A carry-less multiply of two 64-bit reflected halves yields their product times x in
// 128-bit reflected order. With a = (x^(D+31) mod P)·x^32, which as a reflected 64-bit
// value is the 32-bit reflection of x^(D+31) mod P, the product L·a·x ≡ L·x^(D+64), and its
// degree stays below 128; likewise b from x^(D-33) mod P for the high half.
struct FoldMultipliers {
  std::uint64_t low;   // for the low half (the block's higher-degree coefficients)
  std::uint64_t high;  // for the high half
};

// Returns the multipliers that move a block on by `distance` bits (at least 33).
consteval FoldMultipliers fold_multipliers(unsigned distance) {
  return {reflect32(x_pow_mod(distance + 31)), reflect32(x_pow_mod(distance - 33))};
}

// The multipliers that take the last 128-bit block to the 32-bit register: x^95 and x^63
// modulo P, each in the upper half of a reflected 64-bit value (see reduce_block), and the
// Barrett pair: P and floor(x^64 / P) as reflected 33-bit values.
inline constexpr std::uint64_t kReduceBy96 = std::uint64_t{reflect32(x_pow_mod(95))} << 32;
inline constexpr std::uint64_t kReduceBy64 = std::uint64_t{reflect32(x_pow_mod(63))} << 32;
inline constexpr std::uint64_t kBarrettPolynomial = reflect33(kCrc32Polynomial);
inline constexpr std::uint64_t kBarrettQuotient = reflect33(barrett_quotient());
