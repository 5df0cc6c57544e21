// The standard CRC-32 (reflected polynomial 0xEDB88320) over memory, by the fastest kernel
// this processor offers. Each kernel gives exactly the result of the byte-at-a-time table
// algorithm; they differ only in speed.
#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/crc.hpp>

// The kernels, slowest first.
enum class Crc32Kernel {
  Table,     // slicing by 16; any x86-64 processor
  Clmul128,  // folding with PCLMULQDQ and SSE4.1
  Clmul256,  // folding with VPCLMULQDQ and AVX2
  Clmul512,  // folding with VPCLMULQDQ and AVX-512F
};

// What the processor and the system let the folding kernels use, read once at start-up.
struct ClmulSupport {
  bool width128 = false;  // PCLMULQDQ and SSE4.1
  bool width256 = false;  // also AVX2 and VPCLMULQDQ, with the ymm registers saved by the system
  bool width512 = false;  // also AVX-512F and VPCLMULQDQ, with the zmm registers saved
};

// Returns what this machine supports. Raises nothing.
ClmulSupport clmul_support();

// Feeds `size` bytes at `data` into `crc` through the kernel in use, leaving it in exactly
// the state that crc.process_bytes would. Raises nothing.
void crc32_process(boost::crc_32_type& crc, const void* data, std::size_t size);

// Returns the kernel in use: the fastest this machine runs, chosen once at start-up.
Crc32Kernel crc32_kernel();

// Returns whether this machine can run `kernel`.
bool crc32_kernel_runs(Crc32Kernel kernel);

// Makes `kernel` the one in use, if this machine runs it; returns whether it did. For tests
// and the benchmark, which compare the kernels; the program never calls it. Not safe while
// another thread is hashing.
bool use_crc32_kernel(Crc32Kernel kernel);

// Returns the kernel's short name for reports, such as "clmul128".
const char* crc32_kernel_name(Crc32Kernel kernel);
