// The folding kernels on an emulated processor that has AVX-512 and VPCLMULQDQ, for the
// machines that cannot run the 512-bit kernel themselves. boot.S starts this in 64-bit mode
// with nothing else present: text goes out through the emulator's debug port 0xE9, and the
// run ends through its shutdown port. Every folding kernel is compared with the table
// kernel, which test_core compares with Boost, and the table kernel with a bit-at-a-time CRC.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "core/crc/crc32_kernels.h"

extern "C" void* memcpy(void* to, const void* from, std::size_t size) {
  auto* t = static_cast<unsigned char*>(to);
  const auto* f = static_cast<const unsigned char*>(from);
  while (size--) *t++ = *f++;
  return to;
}

extern "C" void* memset(void* to, int value, std::size_t size) {
  auto* t = static_cast<unsigned char*>(to);
  while (size--) *t++ = static_cast<unsigned char>(value);
  return to;
}

namespace {

void out(std::uint16_t port, char c) { __asm__ volatile("outb %0, %1" : : "a"(c), "Nd"(port)); }
void print(const char* text) {
  while (*text) out(0xE9, *text++);
}
void print_number(std::uint64_t value, unsigned base) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value);
  while (n) out(0xE9, digits[--n]);
}

std::uint32_t bitwise(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  for (; size; --size, ++data) {
    reg ^= *data;
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
  }
  return reg;
}

using Update = std::uint32_t (*)(std::uint32_t, const unsigned char*, std::size_t);
struct Kernel {
  const char* name;
  Update update;
};
const Kernel kKernels[] = {{"clmul128", crc32_update_clmul128},
                           {"clmul256", crc32_update_clmul256},
                           {"clmul512", crc32_update_clmul512}};

constexpr std::size_t kMiB = 1024 * 1024;
unsigned char* const data = reinterpret_cast<unsigned char*>(0x200000);  // mapped by boot.S
std::uint64_t checks = 0, failures = 0;

void report(const char* what, std::uint32_t got, std::uint32_t expected, std::size_t offset,
            std::size_t size) {
  if (++failures > 20) return;
  print(what);
  print(": length ");
  print_number(size, 10);
  print(" at offset ");
  print_number(offset, 10);
  print(": got ");
  print_number(got, 16);
  print(", expected ");
  print_number(expected, 16);
  print("\n");
}

// Compares every folding kernel with the table kernel on `size` bytes at `offset`, from `reg`.
void compare(std::uint32_t reg, std::size_t offset, std::size_t size) {
  const std::uint32_t expected = crc32_update_table(reg, data + offset, size);
  for (const Kernel& kernel : kKernels) {
    const std::uint32_t got = kernel.update(reg, data + offset, size);
    ++checks;
    if (got != expected) report(kernel.name, got, expected, offset, size);
  }
}

std::uint32_t random_state = 1;
std::uint32_t next_random() {
  random_state = random_state * 1664525u + 1013904223u;
  return random_state >> 8;
}

}  // namespace

extern "C" __attribute__((section(".text.entry"))) void check_main() {
  const std::size_t filled = kMiB + 4096;
  for (std::size_t i = 0; i < filled; ++i) data[i] = static_cast<unsigned char>(next_random());
  print("crc32 kernels on an emulated processor with AVX-512\n");

  const char digits[] = "123456789";
  for (std::size_t i = 0; i < 9; ++i) data[filled + i] = static_cast<unsigned char>(digits[i]);
  for (const Kernel& kernel : kKernels) {
    const std::uint32_t got = ~kernel.update(0xFFFFFFFF, data + filled, 9);
    ++checks;
    if (got != 0xCBF43926) report(kernel.name, got, 0xCBF43926, filled, 9);
  }
  for (std::size_t size : {std::size_t{0}, std::size_t{9}, std::size_t{4096}, kMiB + 7}) {
    const std::uint32_t got = crc32_update_table(0xFFFFFFFF, data, size);
    const std::uint32_t expected = bitwise(0xFFFFFFFF, data, size);
    ++checks;
    if (got != expected) report("table against bit by bit", got, expected, 0, size);
  }

  for (std::size_t size = 0; size <= 4096; ++size) compare(0xFFFFFFFF, 0, size);
  for (std::size_t offset = 0; offset < 64; ++offset) {
    for (std::size_t size : {63, 64, 65, 255, 256, 257, 1000, 4096}) compare(0xFFFFFFFF, offset, size);
  }
  for (long delta : {-257, -256, -65, -17, -1, 0, 1, 15, 16, 63, 64, 255, 256, 511}) {
    compare(0xFFFFFFFF, 0, kMiB + delta);
    compare(0x12345678, 3, kMiB + delta);
  }
  // The register carried from piece to piece, as hash_file carries it from read to read.
  const std::uint32_t whole = crc32_update_table(0xFFFFFFFF, data, kMiB);
  for (const Kernel& kernel : kKernels) {
    for (int round = 0; round < 4; ++round) {
      const std::size_t largest = round % 2 ? 300 : 70000;
      std::uint32_t reg = 0xFFFFFFFF;
      std::size_t done = 0;
      while (done < kMiB) {
        std::size_t piece = next_random() % (largest + 1);
        if (piece > kMiB - done) piece = kMiB - done;
        reg = kernel.update(reg, data + done, piece);
        done += piece;
      }
      ++checks;
      if (reg != whole) report(kernel.name, reg, whole, 0, kMiB);
    }
  }

  print_number(checks, 10);
  print(" checks, ");
  print_number(failures, 10);
  print(failures ? " failed\nFAIL\n" : " failed\nPASS\n");
  for (const char* word = "Shutdown"; *word; ++word) out(0x8900, *word);
}
