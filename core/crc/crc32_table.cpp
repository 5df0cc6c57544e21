#include <array>
#include <bit>
#include <cstring>

#include "core/crc/crc32_kernels.h"
#include "core/crc/crc32_math.h"

namespace {

static_assert(std::endian::native == std::endian::little, "words are loaded little-endian");

constexpr std::size_t kSlices = 16;
using SliceTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

// tables[k][b] is the register's change from byte b followed by k zero bytes, so sixteen
// look-ups, one per byte of a 16-byte block, replace sixteen dependent steps.
constexpr SliceTables make_slice_tables() {
  constexpr std::uint32_t reflected = reflect32(static_cast<std::uint32_t>(kCrc32Polynomial));
  SliceTables tables{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t r = b;
    for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ ((r & 1u) ? reflected : 0u);
    tables[0][b] = r;
  }
  for (std::size_t k = 1; k < kSlices; ++k) {
    for (std::size_t b = 0; b < 256; ++b) {
      const std::uint32_t previous = tables[k - 1][b];
      tables[k][b] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr SliceTables kTables = make_slice_tables();

std::uint32_t load32(const unsigned char* p) {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Returns the look-ups for the four bytes of `word`, which lie `slice`..`slice`-3 bytes
// before the end of the block.
std::uint32_t look_up(std::uint32_t word, std::size_t slice) {
  return kTables[slice][word & 0xFF] ^ kTables[slice - 1][(word >> 8) & 0xFF] ^
         kTables[slice - 2][(word >> 16) & 0xFF] ^ kTables[slice - 3][word >> 24];
}

}  // namespace

std::uint32_t crc32_update_table(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  for (; size >= kSlices; data += kSlices, size -= kSlices) {
    reg = look_up(load32(data) ^ reg, 15) ^ look_up(load32(data + 4), 11) ^
          look_up(load32(data + 8), 7) ^ look_up(load32(data + 12), 3);
  }
  for (; size > 0; ++data, --size) reg = (reg >> 8) ^ kTables[0][(reg ^ *data) & 0xFF];
  return reg;
}
