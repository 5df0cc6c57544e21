// A progress sink that records what the read loops report, for tests to compare.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/reading/hash_worker.h"

struct Posted {
  std::uint32_t index;
  std::uint32_t file_progress;
  bool operator==(const Posted&) const = default;
};

// Every report since the test last cleared it, oldest first.
inline std::vector<Posted> posted;

// The ProgressSink that appends to `posted`.
inline void record_progress(FileHasher&, std::uint32_t index, std::uint32_t file_progress) {
  posted.push_back({index, file_progress});
}

// Returns the values joined by spaces, for assertions that print got against expected.
inline std::string describe(const std::vector<std::uint32_t>& values) {
  std::string text;
  for (std::uint32_t v : values) text += std::to_string(v) + " ";
  return text;
}

// Returns the file_progress of every report in `posted`.
inline std::vector<std::uint32_t> progress_values() {
  std::vector<std::uint32_t> values;
  for (const Posted& p : posted) values.push_back(p.file_progress);
  return values;
}
