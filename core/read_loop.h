// The read loop of hash_file, apart from the file calls, so that files which fail, shrink
// or grow while they are read can be checked without such files.
#pragma once

#include <cstdint>

#include "core/crc32.h"
#include "core/hash_worker.h"
#include "core/progress.h"

// Reads the file of `file_size` bytes through `read(buffer, size, &bytes_read) -> bool`,
// always asking for kReadChunkSize bytes, and feeds what it reads into worker.crc.
// Returns Complete when exactly file_size bytes were read, Incomplete when a read fails,
// returns no bytes early (the file shrank) or would pass file_size (the file grew).
template <class Read>
HashStatus read_all_chunks(HashWorker& worker, std::int64_t file_size, Read read,
                           ProgressSink sink) {
  if (file_size < 0) return HashStatus::Incomplete;
  std::int64_t bytes_done = 0;
  while (bytes_done < file_size) {
    std::uint32_t bytes_read = 0;
    if (!read(worker.buffer, kReadChunkSize, &bytes_read)) return HashStatus::Incomplete;
    // No bytes before the end: the file shrank. More than is left: it grew. Either way the
    // CRC would not be the CRC of the file whose size was taken, so stop before using them.
    if (bytes_read == 0 || bytes_read > file_size - bytes_done) return HashStatus::Incomplete;
    crc32_process(worker.crc, worker.buffer, bytes_read);
    bytes_done += bytes_read;
    sink(worker, worker.index, file_progress(bytes_done, file_size));
  }
  return HashStatus::Complete;
}
