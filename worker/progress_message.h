// The worker's two thread messages and the arithmetic of their progress values, kept apart
// from the platform so they can be checked alone.
#pragma once

#include <cstdint>

// Posted by the worker after every 1 MiB read and once more after every entry.
//   wParam = index of the entry being hashed, always below the list's count
//   lParam = bits 31..16: progress within that file, 0..65535, 65535 = file finished;
//            bits 15..0: progress of the whole run, 0..65535
inline constexpr unsigned WM_HASH_PROGRESS = 0x464;  // WM_USER + 100

// Posted once at the end of every run, after every entry's outcome has been stored.
//   wParam = 0, lParam = 0
inline constexpr unsigned WM_HASH_DONE = 0x465;  // WM_USER + 101

// File progress of a finished file.
inline constexpr std::uint32_t kFileFinished = 0xFFFF;

// Returns the progress of the whole run, 0..65535, with entry `index` of `count` at
// `file_progress` (its low 16 bits). Computed in double precision in this exact order, so
// that values at integer boundaries truncate the way the window's bars have always shown
// them (count 2, index 1, file progress 2049 gives 33791, not 33792). index < count.
inline std::uint32_t overall_progress(std::uint32_t index, std::uint32_t count,
                                      std::uint32_t file_progress) {
  const double file_part = (file_progress & 0xFFFF) / 65535.0;
  const double overall = (static_cast<double>(index) / count + file_part / count) * 65535.0;
  return static_cast<std::uint32_t>(overall);
}

// Returns the lParam of WM_HASH_PROGRESS for entry `index` of `count` at `file_progress`.
inline std::uint32_t progress_lparam(std::uint32_t index, std::uint32_t count,
                                     std::uint32_t file_progress) {
  return ((file_progress & 0xFFFF) << 16) | overall_progress(index, count, file_progress);
}

// One report of the run's progress: what a WM_HASH_PROGRESS carries.
struct ProgressReport {
  std::uint32_t index = 0;   // wParam: the entry being hashed
  std::uint32_t lparam = 0;  // lParam: file progress above, overall progress below

  // Returns the progress within the entry's file, 0..0xFFFF; kFileFinished once it is read.
  std::uint32_t file_progress() const { return lparam >> 16; }
  // Returns the progress of the whole run, 0..0xFFFF.
  std::uint32_t overall() const { return lparam & 0xFFFF; }
  bool operator==(const ProgressReport&) const = default;
};
