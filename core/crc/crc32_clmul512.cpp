// Built with -mavx512f -mvpclmulqdq; runs only where crc32.cpp found them and a system that
// saves the zmm registers.
#include "core/crc/crc32_fold.h"

namespace {

// Four 128-bit lanes in one zmm register, folded side by side with one VPCLMULQDQ each.
struct Lanes512 {
  using Vector = __m512i;
  static Vector load(const unsigned char* p) { return _mm512_loadu_si512(p); }
  static Vector add(Vector a, Vector b) { return _mm512_xor_si512(a, b); }
  template <unsigned Distance>
  static Vector multipliers() {
    return _mm512_broadcast_i32x4(multipliers128<Distance>());
  }
  static Vector fold(Vector v, Vector k) {
    return _mm512_xor_si512(_mm512_clmulepi64_epi128(v, k, 0x00), _mm512_clmulepi64_epi128(v, k, 0x11));
  }
  static Vector from_register(std::uint32_t reg) {
    return _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(reg)));
  }
  // Lane 0 comes first in the message, so it moves on by three lanes, lane 1 by two, lane 2
  // by one.
  static __m128i to_block(Vector v) {
    const __m128i first = _mm_xor_si128(fold128(lane<0>(v), multipliers128<384>()),
                                        fold128(lane<1>(v), multipliers128<256>()));
    const __m128i last = _mm_xor_si128(fold128(lane<2>(v), multipliers128<128>()), lane<3>(v));
    return _mm_xor_si128(first, last);
  }
  // With a full mask the masked form is the plain extract; the plain form's header trips
  // GCC 12's uninitialised-value warning.
  template <int Lane>
  static __m128i lane(Vector v) {
    return _mm512_maskz_extracti32x4_epi32(0xF, v, Lane);
  }
  static std::uint32_t short_update(std::uint32_t reg, const unsigned char* data, std::size_t size) {
    return fold_update<Lanes128>(reg, data, size);
  }
};

}  // namespace

std::uint32_t crc32_update_clmul512(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  return fold_update<Lanes512>(reg, data, size);
}
