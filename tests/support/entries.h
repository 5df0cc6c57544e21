// Builds list entries as the worker would leave them, for tests of the verdict and the rows.
#pragma once

#include <cstdint>
#include <optional>

#include "core/list/file_list.h"

// Returns an entry with these fields and no path.
inline FileEntry entry(HashStatus status, std::optional<std::uint32_t> expected,
                       std::uint32_t computed) {
  FileEntry e;
  e.status = status;
  e.expected = expected;
  e.computed = computed;
  return e;
}
