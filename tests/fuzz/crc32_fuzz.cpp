// Every CRC-32 kernel this machine runs against the byte-at-a-time table, over the lengths,
// buffer alignments and split points that the input gives, with the running CRC handed from
// piece to piece through Boost's computer as the read loops hand it from chunk to chunk.
//
// Input: byte 0 is the buffer's offset from a 64-byte boundary, byte 1 the number of splits,
// then two bytes per split point; the rest is the data.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/crc/crc32.h"

namespace {

// The reflected table of the standard polynomial, one byte per step.
struct ByteTable {
  std::uint32_t entry[256];
  ByteTable() {
    for (std::uint32_t b = 0; b < 256; ++b) {
      std::uint32_t r = b;
      for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ ((r & 1u) ? 0xEDB88320u : 0u);
      entry[b] = r;
    }
  }
  std::uint32_t update(std::uint32_t reg, const unsigned char* data, std::size_t size) const {
    for (std::size_t i = 0; i < size; ++i) reg = (reg >> 8) ^ entry[(reg ^ data[i]) & 0xFF];
    return reg;
  }
};

const ByteTable table;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t offset = input[0] % 64;
  const std::size_t split_count = input[1] % 8;
  if (size < 2 + 2 * split_count) return 0;
  const std::uint8_t* data = input + 2 + 2 * split_count;
  const std::size_t length = size - 2 - 2 * split_count;

  // The data at the chosen distance from a 64-byte boundary, in a block that ends where the
  // data ends, so that a kernel reading past the end meets the sanitizer's red zone.
  auto* block = static_cast<unsigned char*>(::operator new(offset + length + 1, std::align_val_t{64}));
  unsigned char* bytes = block + offset;
  if (length > 0) std::memcpy(bytes, data, length);

  // The pieces end at the split points, sorted; the last piece ends at the end.
  std::vector<std::size_t> ends;
  for (std::size_t i = 0; i < split_count; ++i) {
    const std::size_t at = (std::size_t{input[2 + 2 * i]} << 8 | input[3 + 2 * i]) % (length + 1);
    auto place = ends.begin();
    while (place != ends.end() && *place <= at) ++place;
    ends.insert(place, at);
  }
  ends.push_back(length);

  const Crc32Kernel saved = crc32_kernel();
  for (Crc32Kernel kernel : {Crc32Kernel::Table, Crc32Kernel::Clmul128, Crc32Kernel::Clmul256,
                             Crc32Kernel::Clmul512}) {
    if (!use_crc32_kernel(kernel)) continue;
    boost::crc_32_type crc;
    std::uint32_t reg = 0xFFFFFFFF;
    std::size_t start = 0;
    for (std::size_t end : ends) {
      crc32_process(crc, bytes + start, end - start);
      reg = table.update(reg, bytes + start, end - start);
      if (crc.checksum() != ~reg) {
        std::fprintf(stderr, "%s: %zu bytes at offset %zu, piece %zu..%zu: got %08x, expected %08x\n",
                     crc32_kernel_name(kernel), length, offset, start, end,
                     static_cast<unsigned>(crc.checksum()), static_cast<unsigned>(~reg));
        std::abort();
      }
      start = end;
    }
  }
  use_crc32_kernel(saved);
  ::operator delete(block, std::align_val_t{64});
  return 0;
}
