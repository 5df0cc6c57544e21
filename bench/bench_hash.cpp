// Hashes one file through hash_file, exactly as a run does, and times it against the bare
// read loop: the same unbuffered 1 MiB ReadFile calls into the same buffer, with no CRC;
// and against the CRC alone: the kernel over the same bytes in memory, each chunk read
// untimed into the buffer and then timed through the CRC. Under Wine a read of a cached file
// ends inside ReadFile, so hash_file reads in turn and the sum of the two is the most it
// should take; what a drive that reads while the CRC runs gets is bench_drive's part. Each
// is run three times, alternating, and the best time of each is kept, so that all meet the
// same cache and the same machine. Then the slower kernels this machine runs are timed the
// same way, for comparison. Times are taken inside the program, so Wine's start-up is not counted.
// Usage: tallyrun-bench FILE
// Prints "read SECONDS MBPS", then for every kernel, the one the program chooses first,
// "hash KERNEL CRC SECONDS MBPS" and "crc KERNEL SECONDS MBPS" (the CRC alone).
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "core/crc/crc32.h"
#include "core/reading/hash_worker.h"
#include "core/names/path_rules.h"

namespace {

// The hasher of the worker thread, as a run of one file uses it.
FileHasher& hasher = *hash_worker.hashers[0];

void ignore_progress(FileHasher&, std::uint32_t, std::uint32_t) {}

double now_seconds() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Returns the seconds that hash_file took, or a negative value when it did not read the
// whole file.
double time_hash(const char* file) {
  const double start = now_seconds();
  hasher.crc.reset();
  const HashStatus status = hash_file(hasher, make_path(file), ignore_progress);
  const double seconds = now_seconds() - start;
  return status == HashStatus::Complete ? seconds : -1;
}

// Returns the seconds that the bare read loop took over `bytes`, or a negative value when a
// read failed.
double time_read(const char* file, std::uint64_t bytes) {
  const double start = now_seconds();
  HANDLE handle = CreateFileA(file, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                                  FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  std::uint64_t done = 0;
  DWORD count = 0;
  while (done < bytes && ReadFile(handle, hasher.buffer, kReadChunkSize, &count, nullptr) &&
         count > 0) {
    done += count;
  }
  CloseHandle(handle);
  const double seconds = now_seconds() - start;
  return done == bytes ? seconds : -1;
}

// Returns the seconds that the kernel in use took over the bytes of `file` alone, leaving
// their CRC in `crc`, or a negative value when a read failed. Each chunk is read untimed
// into the buffer, as hash_file would have it there, and only the CRC over it is timed.
double time_crc_alone(const char* file, std::uint64_t bytes, boost::crc_32_type& crc) {
  HANDLE handle = CreateFileA(file, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                                  FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  crc.reset();
  double seconds = 0;
  std::uint64_t done = 0;
  DWORD count = 0;
  while (done < bytes && ReadFile(handle, hasher.buffer, kReadChunkSize, &count, nullptr) &&
         count > 0) {
    const double start = now_seconds();
    crc32_process(crc, hasher.buffer, count);
    seconds += now_seconds() - start;
    done += count;
  }
  CloseHandle(handle);
  return done == bytes ? seconds : -1;
}

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
  const std::uint64_t bytes =
      (static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;

  const double megabytes = static_cast<double>(bytes) / 1e6;
  const Crc32Kernel chosen = crc32_kernel();
  const Crc32Kernel others[] = {Crc32Kernel::Clmul512, Crc32Kernel::Clmul256,
                                Crc32Kernel::Clmul128, Crc32Kernel::Table};
  double best_read = 1e30;
  for (int k = -1; k < 4; ++k) {
    const Crc32Kernel kernel = k < 0 ? chosen : others[k];
    if ((k >= 0 && kernel == chosen) || !use_crc32_kernel(kernel)) continue;
    double best_hash = 1e30;
    double best_crc = 1e30;
    boost::crc_32_type crc_alone;
    for (int round = 0; round < 3; ++round) {
      const double read = kernel == chosen ? time_read(argv[1], bytes) : 0;
      const double alone = time_crc_alone(argv[1], bytes, crc_alone);
      const double hash = time_hash(argv[1]);
      if (read < 0 || alone < 0 || hash < 0) {
        std::fprintf(stderr, "tallyrun-bench: could not read %s completely\n", argv[1]);
        return 1;
      }
      if (kernel == chosen) best_read = std::min(best_read, read);
      best_crc = std::min(best_crc, alone);
      best_hash = std::min(best_hash, hash);
    }
    if (crc_alone.checksum() != hasher.crc.checksum()) {
      std::fprintf(stderr, "tallyrun-bench: the CRC alone differs from hash_file's\n");
      return 1;
    }
    if (kernel == chosen) std::printf("read %.3f %.1f\n", best_read, megabytes / best_read);
    std::printf("hash %s %08x %.3f %.1f\n", crc32_kernel_name(kernel),
                static_cast<unsigned>(hasher.crc.checksum()), best_hash, megabytes / best_hash);
    std::printf("crc %s %.3f %.1f\n", crc32_kernel_name(kernel), best_crc,
                megabytes / best_crc);
  }
  return 0;
}
