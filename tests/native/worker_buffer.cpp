// The read buffer for the native build, where the read loops run on scripted reads: the
// same size as on Windows, page-aligned, from the C library. The Windows build takes it
// from VirtualAlloc in core/reading/hash_worker.cpp.
#include <cstdlib>

#include <sanitizer/lsan_interface.h>

// Only AddressSanitizer's builds have the leak checker; the race detector's have no leaks
// to hide.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALLYRUN_LEAK_CHECKED 1
#endif
#endif

#include "core/reading/hash_worker.h"

unsigned char* allocate_read_buffer() {
  void* buffer = std::aligned_alloc(4096, kReadAheadSlots * kReadChunkSize);
  // Never freed, as on Windows (see FileHasher): no leak to report.
#ifdef TALLYRUN_LEAK_CHECKED
  if (buffer != nullptr) __lsan_ignore_object(buffer);
#endif
  return static_cast<unsigned char*>(buffer);
}
