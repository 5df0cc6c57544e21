// Built with -mpclmul -msse4.1; runs only where crc32.cpp found both.
#include "core/crc/crc32_fold.h"

std::uint32_t crc32_update_clmul128(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  return fold_update<Lanes128>(reg, data, size);
}
