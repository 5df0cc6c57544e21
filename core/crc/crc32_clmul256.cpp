// Built with -mavx2 -mvpclmulqdq; runs only where crc32.cpp found them and a system that
// saves the ymm registers. Many processors without AVX-512 have VPCLMULQDQ, and there it
// folds twice the bytes of the 128-bit kernel per multiply.
#include "core/crc/crc32_fold.h"

namespace {

// Two 128-bit lanes in one ymm register, folded side by side with one VPCLMULQDQ each.
struct Lanes256 {
  using Vector = __m256i;
  static Vector load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static Vector add(Vector a, Vector b) { return _mm256_xor_si256(a, b); }
  template <unsigned Distance>
  static Vector multipliers() {
    return _mm256_broadcastsi128_si256(multipliers128<Distance>());
  }
  static Vector fold(Vector v, Vector k) {
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(v, k, 0x00), _mm256_clmulepi64_epi128(v, k, 0x11));
  }
  static Vector from_register(std::uint32_t reg) {
    return _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(reg)));
  }
  // Lane 0 comes first in the message, so it moves on by one lane.
  static __m128i to_block(Vector v) {
    return _mm_xor_si128(fold128(_mm256_castsi256_si128(v), multipliers128<128>()),
                         _mm256_extracti128_si256(v, 1));
  }
  static std::uint32_t short_update(std::uint32_t reg, const unsigned char* data, std::size_t size) {
    return fold_update<Lanes128>(reg, data, size);
  }
};

}  // namespace

std::uint32_t crc32_update_clmul256(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  return fold_update<Lanes256>(reg, data, size);
}
