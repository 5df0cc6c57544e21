// The read loops and the set loops built to read in chunks of 16 KiB instead of 1 MiB, a
// multiple of any sector size like the real one, so that a file of many chunks, and reads
// that fill every slot and start over, cost microseconds instead of milliseconds. For the
// programs that run them on scripted files by the thousand (the fuzz target, the set
// stress); include it before anything else that includes the loops.
#pragma once

#include <cstdint>

#include "core/reading/hash_worker.h"  // first, so that its kReadChunkSize stays the real one

namespace small_chunk {
inline constexpr std::uint32_t kSize = 16 * 1024;
}
#define kReadChunkSize small_chunk::kSize
#include "core/reading/read_loop.h"
#include "core/reading/set_run.h"
#undef kReadChunkSize
