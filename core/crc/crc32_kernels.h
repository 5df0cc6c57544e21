// The CRC-32 kernels that crc32_process chooses among. Each returns the register (reflected,
// before the final XOR) after feeding `size` bytes at `data` into `reg`, exactly as the
// byte-at-a-time table algorithm would, and raises nothing. The caller keeps the data.
#pragma once

#include <cstddef>
#include <cstdint>

// Slicing by 16: sixteen table look-ups per 16 bytes. Runs anywhere.
std::uint32_t crc32_update_table(std::uint32_t reg, const unsigned char* data, std::size_t size);

// Folding with 128-bit carry-less multiplies. Needs PCLMULQDQ and SSE4.1.
std::uint32_t crc32_update_clmul128(std::uint32_t reg, const unsigned char* data, std::size_t size);

// Folding with 256-bit carry-less multiplies. Needs VPCLMULQDQ, AVX2, PCLMULQDQ and a system
// that saves the ymm registers.
std::uint32_t crc32_update_clmul256(std::uint32_t reg, const unsigned char* data, std::size_t size);

// Folding with 512-bit carry-less multiplies. Needs VPCLMULQDQ, AVX-512F, PCLMULQDQ, SSE4.1
// and a system that saves the zmm registers.
std::uint32_t crc32_update_clmul512(std::uint32_t reg, const unsigned char* data, std::size_t size);
