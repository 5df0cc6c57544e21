#include "worker/progress_message.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace {

struct ProgressCase {
  std::uint32_t index, count, file_progress;
  std::uint32_t lparam;
};

// Values the window's bars are known to show. The third row is the boundary where exact
// arithmetic would give 33792; the double-precision order gives 33791.
const ProgressCase kCases[] = {
    {0, 1, 0, 0x00000000},
    {0, 1, 0xFFFF, 0xFFFFFFFF},
    {1, 2, 2049, 0x080183FF},
    {0, 2, 0x6666, 0x66663333},   // 1 MiB of a 2.5 MiB file, first of two
    {0, 2, 0xCCCC, 0xCCCC6666},   // 2 MiB of it
    {0, 2, 0xFFFF, 0xFFFF7FFF},   // all of it
    {0, 3, 0xFFFF, 0xFFFF5555},   // closing values of three entries: 21845,
    {1, 3, 0xFFFF, 0xFFFFAAAA},   //   43690,
    {2, 3, 0xFFFF, 0xFFFFFFFF},   //   65535
    {2, 3, 0x1FFFF, 0xFFFFFFFF},  // only the low 16 bits of the file progress count
};

TEST(ProgressMessage, LParamCarriesFileAndOverallProgress) {
  for (const ProgressCase& c : kCases) {
    EXPECT_EQ(progress_lparam(c.index, c.count, c.file_progress), c.lparam)
        << std::hex << "index " << c.index << ", count " << c.count << ", file progress "
        << c.file_progress;
  }
}

}  // namespace
