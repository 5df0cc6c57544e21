#include "core/crc/crc32.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/crc/crc32_math.h"
#include "tests/support/temp_folder.h"

namespace {

// Feeds bytes into a reflected register through a Boost computer: by crc32_process, the
// entry hash_file uses, with the kernel that the switch set, or by Boost's own byte loop.
template <bool kOurs>
std::uint32_t feed(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  boost::crc_32_type crc;
  crc.reset(reflect32(reg));
  if (kOurs) {
    crc32_process(crc, data, size);
  } else {
    crc.process_bytes(data, size);
  }
  return reflect32(crc.get_interim_remainder());
}
constexpr auto update = feed<true>;
constexpr auto boost_update = feed<false>;

const Crc32Kernel kKernels[] = {Crc32Kernel::Table, Crc32Kernel::Clmul128, Crc32Kernel::Clmul256,
                                Crc32Kernel::Clmul512};

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

// Random bytes starting on a 64-byte boundary, so offsets from it are exact alignments.
class AlignedBytes {
 public:
  explicit AlignedBytes(std::size_t size) : storage_(pseudo_random_bytes(size + 64, 5)) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
    data_ = reinterpret_cast<const unsigned char*>(storage_.data()) + (64 - address % 64) % 64;
  }
  const unsigned char* at(std::size_t offset) const { return data_ + offset; }

 private:
  std::string storage_;
  const unsigned char* data_;
};

class Crc32Kernels : public testing::TestWithParam<Crc32Kernel> {
 protected:
  void SetUp() override {
    if (!use_crc32_kernel(GetParam())) {
      GTEST_SKIP() << crc32_kernel_name(GetParam()) << " does not run on this machine";
    }
  }
  void TearDown() override { use_crc32_kernel(saved_); }

  // Returns "" when the kernel agrees with Boost, else what it got and what Boost got.
  static std::string compare(std::uint32_t reg, const unsigned char* data, std::size_t size,
                             std::size_t offset = 0) {
    const std::uint32_t got = update(reg, data, size);
    const std::uint32_t expected = boost_update(reg, data, size);
    if (got == expected) return "";
    return "length " + std::to_string(size) + " at offset " + std::to_string(offset) + ": got " +
           hex(got) + ", expected " + hex(expected);
  }

 private:
  Crc32Kernel saved_ = crc32_kernel();
};

TEST_P(Crc32Kernels, CheckValues) {
  const std::string digits = "123456789";
  const auto* bytes = reinterpret_cast<const unsigned char*>(digits.data());
  EXPECT_EQ(hex(0xCBF43926), hex(~update(0xFFFFFFFF, bytes, digits.size())));
  EXPECT_EQ(hex(0x00000000), hex(~update(0xFFFFFFFF, bytes, 0)));
}

TEST_P(Crc32Kernels, EveryLengthUpTo4096) {
  const AlignedBytes bytes(4096);
  for (std::size_t size = 0; size <= 4096; ++size) ASSERT_EQ("", compare(0xFFFFFFFF, bytes.at(0), size));
}

TEST_P(Crc32Kernels, EveryStartAlignment) {
  const AlignedBytes bytes(4096 + 64);
  for (std::size_t offset = 0; offset < 64; ++offset) {
    for (std::size_t size : {63, 64, 65, 255, 256, 257, 1000, 4096}) {
      ASSERT_EQ("", compare(0xFFFFFFFF, bytes.at(offset), size, offset));
    }
  }
}

TEST_P(Crc32Kernels, LengthsAroundOneMebibyte) {
  const std::size_t mib = 1024 * 1024;
  const AlignedBytes bytes(mib + 512);
  for (std::ptrdiff_t delta : {-257, -256, -65, -17, -1, 0, 1, 15, 16, 63, 64, 255, 256, 511}) {
    ASSERT_EQ("", compare(0xFFFFFFFF, bytes.at(0), mib + delta));
    ASSERT_EQ("", compare(0x12345678, bytes.at(3), mib + delta, 3));
  }
}

// The register is handed from one piece to the next through Boost's computer, as hash_file
// does from one read to the next, and must be the true state after every piece.
TEST_P(Crc32Kernels, RandomSplitsCarryTheRegister) {
  const std::size_t total = 300 * 1024 + 37;
  const AlignedBytes bytes(total);
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    std::uint32_t ours = 0xFFFFFFFF;
    boost::crc_32_type reference;
    std::size_t done = 0;
    while (done < total) {
      const std::size_t largest = round % 2 ? 300 : 70000;  // short pieces, then long ones
      const std::size_t piece = std::min(total - done, std::size_t{random() % (largest + 1)});
      ours = update(ours, bytes.at(done), piece);
      reference.process_bytes(bytes.at(done), piece);
      done += piece;
      ASSERT_EQ(hex(reflect32(reference.get_interim_remainder())), hex(ours))
          << "after " << done << " bytes, round " << round;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, Crc32Kernels, testing::ValuesIn(kKernels),
                         [](const testing::TestParamInfo<Crc32Kernel>& kernel) {
                           return crc32_kernel_name(kernel.param);
                         });

TEST(Crc32Kernel, StartsWithTheFastestThisMachineRuns) {
  const ClmulSupport support = clmul_support();
  const Crc32Kernel expected = support.width512   ? Crc32Kernel::Clmul512
                               : support.width256 ? Crc32Kernel::Clmul256
                               : support.width128 ? Crc32Kernel::Clmul128
                                                  : Crc32Kernel::Table;
  EXPECT_STREQ(crc32_kernel_name(expected), crc32_kernel_name(crc32_kernel()));
  std::printf("kernel in use: %s\n", crc32_kernel_name(crc32_kernel()));
}

}  // namespace
