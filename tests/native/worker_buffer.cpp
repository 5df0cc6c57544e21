// The worker context's constructor for the native build, where the read loops run on
// scripted reads: the same buffer as on Windows, page-aligned, from the C library. The
// Windows build takes it from VirtualAlloc in core/hash_worker.cpp.
#include <cstdlib>
#include <stdexcept>

#include <sanitizer/lsan_interface.h>

#include "core/hash_worker.h"

HashWorker::HashWorker() {
  buffer = static_cast<unsigned char*>(std::aligned_alloc(4096, kReadAheadSlots * kReadChunkSize));
  if (buffer == nullptr) throw std::runtime_error("Unable to allocate memory");
  // Never freed, as on Windows (see HashWorker): no leak to report.
  __lsan_ignore_object(buffer);
}
