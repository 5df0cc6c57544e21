// Progress arithmetic of one file, kept apart from the platform so it can be checked alone.
#pragma once

#include <cstdint>

// Returns bytes_done * 65535 / file_size, truncated: 65535 exactly when the whole file has
// been read. The caller guarantees 0 <= bytes_done <= file_size and file_size > 0.
inline std::uint32_t file_progress(std::int64_t bytes_done, std::int64_t file_size) {
  return static_cast<std::uint32_t>(bytes_done * 65535 / file_size);
}
