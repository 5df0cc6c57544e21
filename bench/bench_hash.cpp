// Hashes one file through hash_file, exactly as a run does, and prints its CRC-32 and the
// throughput. The time is taken inside the program, so Wine's start-up is not counted.
// Usage: tallyrun-bench FILE
#include <windows.h>

#include <cstdio>

#include "core/hash_worker.h"
#include "core/path_rules.h"

namespace {

void ignore_progress(HashWorker&, std::uint32_t, std::uint32_t) {}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tallyrun-bench FILE\n");
    return 2;
  }
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExA(argv[1], GetFileExInfoStandard, &attributes)) {
    std::fprintf(stderr, "tallyrun-bench: cannot find %s\n", argv[1]);
    return 1;
  }
  const double bytes = static_cast<double>(
      (static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow);

  LARGE_INTEGER frequency, start, stop;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  hash_worker.crc.reset();
  const HashStatus status = hash_file(hash_worker, make_path(argv[1]), ignore_progress);
  QueryPerformanceCounter(&stop);
  if (status != HashStatus::Complete) {
    std::fprintf(stderr, "tallyrun-bench: could not read %s completely\n", argv[1]);
    return 1;
  }
  const double seconds =
      static_cast<double>(stop.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  std::printf("crc %08x seconds %.3f mbps %.1f\n", static_cast<unsigned>(hash_worker.crc.checksum()),
              seconds, bytes / seconds / 1e6);
  return 0;
}
