// The read loop of hash_file, apart from the file calls, so that files which fail, shrink
// or grow while they are read can be checked without such files.
#pragma once

#include <cstdint>

#include "core/crc32.h"
#include "core/hash_worker.h"
#include "core/progress.h"

// Reads the file of `file_size` bytes through `read(buffer, size, &bytes_read) -> bool`,
// always asking for kReadChunkSize bytes, feeds what it reads into worker.crc and calls
// `sink` after every read that brought bytes. The end must be seen: a last read that came
// back short met it; after a last read that filled the buffer, or for an empty file, one
// more read must succeed with no bytes. Returns Complete when exactly file_size bytes were
// read and the end was seen; Incomplete when a read fails, returns no bytes early (the file
// shrank), would pass file_size, or the read after the end still finds bytes (it grew).
template <class Read>
HashStatus read_all_chunks(HashWorker& worker, std::int64_t file_size, Read read,
                           ProgressSink sink) {
  if (file_size < 0) return HashStatus::Incomplete;
  std::int64_t bytes_done = 0;
  std::uint32_t bytes_read = kReadChunkSize;  // an empty file has not seen its end either
  while (bytes_done < file_size) {
    if (!read(worker.buffer, kReadChunkSize, &bytes_read)) return HashStatus::Incomplete;
    // No bytes before the end: the file shrank. More than is left: it grew. Either way the
    // CRC would not be the CRC of the file whose size was taken, so stop before using them.
    if (bytes_read == 0 || bytes_read > file_size - bytes_done) return HashStatus::Incomplete;
    crc32_process(worker.crc, worker.buffer, bytes_read);
    bytes_done += bytes_read;
    sink(worker, worker.index, file_progress(bytes_done, file_size));
  }
  // The size was taken before reading, so a file that grew by whole chunks, or from empty,
  // has given exactly that size so far: only a read that finds nothing more shows that these
  // bytes are the whole file. It is made only there, where it starts at a whole number of
  // chunks, because an unbuffered read must start on a sector boundary; a short read has
  // met the end already.
  if (bytes_read == kReadChunkSize) {
    std::uint32_t bytes_after_end = 0;
    if (!read(worker.buffer, kReadChunkSize, &bytes_after_end) || bytes_after_end != 0) {
      return HashStatus::Incomplete;
    }
  }
  return HashStatus::Complete;
}
