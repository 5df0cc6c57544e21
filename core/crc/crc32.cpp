#include "core/crc/crc32.h"

#include <cpuid.h>

#include "core/crc/crc32_kernels.h"
#include "core/crc/crc32_math.h"

namespace {

// The extended-state components that the system must save on a thread switch before vector
// registers of that width may be used (XCR0 bits): SSE and AVX; AVX-512's opmask and zmm.
constexpr std::uint64_t kYmmState = 0x6;
constexpr std::uint64_t kZmmState = 0xE6;

// Reads XCR0. Written as the instruction, so that this file needs no XSAVE build flag.
std::uint64_t saved_state_components() {
  std::uint32_t low = 0, high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
}

ClmulSupport detect_clmul_support() {
  ClmulSupport support;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return support;
  const bool pclmul = (ecx & bit_PCLMUL) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  const bool osxsave = (ecx & bit_OSXSAVE) != 0;
  support.width128 = pclmul && sse41;
  if (!support.width128 || !osxsave) return support;

  const std::uint64_t saved = saved_state_components();
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return support;
  const bool vpclmul = (ecx & bit_VPCLMULQDQ) != 0;
  support.width256 = vpclmul && (ebx & bit_AVX2) && (saved & kYmmState) == kYmmState;
  support.width512 = vpclmul && (ebx & bit_AVX512F) && (saved & kZmmState) == kZmmState;
  return support;
}

using UpdateFunction = std::uint32_t (*)(std::uint32_t, const unsigned char*, std::size_t);

const ClmulSupport support = detect_clmul_support();

// Both start as the table kernel, which is correct anywhere, so that a CRC taken during
// static initialisation, before the choice below, is still right.
Crc32Kernel kernel_in_use = Crc32Kernel::Table;
UpdateFunction update_in_use = crc32_update_table;

Crc32Kernel fastest_kernel() {
  if (support.width512) return Crc32Kernel::Clmul512;
  if (support.width256) return Crc32Kernel::Clmul256;
  if (support.width128) return Crc32Kernel::Clmul128;
  return Crc32Kernel::Table;
}

// The one choice, at start-up; every chunk then goes straight to the kernel.
[[maybe_unused]] const bool kernel_chosen = use_crc32_kernel(fastest_kernel());

}  // namespace

ClmulSupport clmul_support() { return support; }

void crc32_process(boost::crc_32_type& crc, const void* data, std::size_t size) {
  // Boost hands the register out and takes it back unreflected; the kernels work on it as
  // the table algorithm keeps it.
  const std::uint32_t reg = reflect32(crc.get_interim_remainder());
  crc.reset(reflect32(update_in_use(reg, static_cast<const unsigned char*>(data), size)));
}

Crc32Kernel crc32_kernel() { return kernel_in_use; }

bool crc32_kernel_runs(Crc32Kernel kernel) {
  switch (kernel) {
    case Crc32Kernel::Table: return true;
    case Crc32Kernel::Clmul128: return support.width128;
    case Crc32Kernel::Clmul256: return support.width256;
    case Crc32Kernel::Clmul512: return support.width512;
  }
  return false;
}

bool use_crc32_kernel(Crc32Kernel kernel) {
  if (!crc32_kernel_runs(kernel)) return false;
  switch (kernel) {
    case Crc32Kernel::Table: update_in_use = crc32_update_table; break;
    case Crc32Kernel::Clmul128: update_in_use = crc32_update_clmul128; break;
    case Crc32Kernel::Clmul256: update_in_use = crc32_update_clmul256; break;
    case Crc32Kernel::Clmul512: update_in_use = crc32_update_clmul512; break;
  }
  kernel_in_use = kernel;
  return true;
}

const char* crc32_kernel_name(Crc32Kernel kernel) {
  switch (kernel) {
    case Crc32Kernel::Table: return "table";
    case Crc32Kernel::Clmul128: return "clmul128";
    case Crc32Kernel::Clmul256: return "clmul256";
    case Crc32Kernel::Clmul512: return "clmul512";
  }
  return "?";
}
