// Test data that needs no file and no Win32, so the native build links it too.
#include <cstdint>

#include "tests/support/temp_folder.h"

std::string pseudo_random_bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state = state * 1664525u + 1013904223u;  // a plain LCG: fast, and the same everywhere
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}
