// The read loops of hash_file, apart from the file calls, so that files which fail, shrink
// or grow while they are read, and reads that complete late or out of order, can be checked
// without such files or such a disk.
#pragma once

#include <cstdint>

#include "core/crc/crc32.h"
#include "core/reading/hash_worker.h"
#include "core/reading/progress.h"

// Reads on in turn through `read(buffer, size, &bytes_read) -> bool`, always asking for
// kReadChunkSize bytes into `buffer` (a chunk of hasher.buffer), after `bytes_done` bytes of
// the file of `file_size` bytes have been hashed into hasher.crc, the last read having
// brought `bytes_read` (kReadChunkSize when none was made); `read` reads the next bytes of
// the file. Feeds what it reads into hasher.crc and calls `sink` after every read that
// brought bytes. The end must be seen: a last read that came back short met it; after a
// last read that filled the buffer, or for an empty file, one more read must succeed with
// no bytes. Returns Complete when exactly file_size bytes were read and the end was seen;
// Incomplete when a read fails, returns no bytes early (the file shrank), comes back short
// before file_size (the next read would start off a sector boundary, which an unbuffered
// read refuses), would pass file_size, or the read after the end still finds bytes (it
// grew). The caller guarantees 0 <= bytes_done <= file_size.
template <class Read>
HashStatus read_chunks_in_turn_from(FileHasher& hasher, std::int64_t file_size,
                                    std::int64_t bytes_done, std::uint32_t bytes_read, Read& read,
                                    ProgressSink sink, unsigned char* buffer) {
  while (bytes_done < file_size) {
    if (!read(buffer, kReadChunkSize, &bytes_read)) return HashStatus::Incomplete;
    // No bytes before the end: the file shrank. More than is left: it grew. Either way the
    // CRC would not be the CRC of the file whose size was taken, so stop before using them.
    if (bytes_read == 0 || bytes_read > file_size - bytes_done) return HashStatus::Incomplete;
    crc32_process(hasher.crc, buffer, bytes_read);
    bytes_done += bytes_read;
    sink(hasher, hasher.index, file_progress(bytes_done, file_size));
    if (bytes_read < kReadChunkSize && bytes_done < file_size) return HashStatus::Incomplete;
  }
  // The size was taken before reading, so a file that grew by whole chunks, or from empty,
  // has given exactly that size so far: only a read that finds nothing more shows that these
  // bytes are the whole file. It is made only there, where it starts at a whole number of
  // chunks, because an unbuffered read must start on a sector boundary; a short read has
  // met the end already.
  if (bytes_read == kReadChunkSize) {
    std::uint32_t bytes_after_end = 0;
    if (!read(buffer, kReadChunkSize, &bytes_after_end) || bytes_after_end != 0) {
      return HashStatus::Incomplete;
    }
  }
  return HashStatus::Complete;
}

// Returns the part of hasher.buffer that the reads of `slot` fill.
inline unsigned char* slot_buffer(FileHasher& hasher, std::uint32_t slot) {
  return hasher.buffer + std::size_t{slot} * kReadChunkSize;
}

// Reads the file of `file_size` bytes with up to kReadAheadSlots reads in flight, while it
// hashes the oldest into hasher.crc, and calls `sink` after every chunk that brought bytes,
// in file order; the reads of chunks 0 to started - 1 are in flight already, started
// through `reads` as this would have started them, none finished. `reads` makes the reads:
//   reads.start(slot, buffer, offset, size) begins reading `size` bytes at `offset` into
//     `buffer`; a read that fails at once is reported by finish;
//   reads.finish(slot, &bytes_read) -> bool waits for the read of `slot` to end and returns
//     whether it succeeded; a read at or past the end succeeds with no bytes;
//   reads.cancel() ends every read started and not finished, and returns only once none of
//     them can write into the buffer any more.
// Every read asks for kReadChunkSize bytes at a whole number of chunks into slot
// (chunk number % kReadAheadSlots), so every request keeps the sector alignment that an
// unbuffered read needs. The reads are those of read_chunks_in_turn_from from the start:
// every chunk that starts below file_size, and one more at file_size when that is a whole
// number of chunks (an empty file included), which must find nothing; and it returns what
// that returns for the same reads. No read is in flight when it returns. The caller
// guarantees file_size >= 0, 0 <= started <= kReadAheadSlots and started <= file_size /
// kReadChunkSize + 1.
template <class Reads>
HashStatus read_chunks_ahead_from(FileHasher& hasher, std::int64_t file_size, Reads& reads,
                                  ProgressSink sink, std::int64_t started) {
  // Every chunk that starts below the size, and the read at the size if a chunk ends there.
  const std::int64_t read_count = file_size / kReadChunkSize + 1;
  const auto slot_of = [](std::int64_t read) {
    return static_cast<std::uint32_t>(read % kReadAheadSlots);
  };
  std::int64_t finished = 0;
  HashStatus status = HashStatus::Incomplete;
  for (;;) {
    // A slot is started again only once its last read has been finished and hashed.
    for (; started < read_count && started - finished < kReadAheadSlots; ++started) {
      reads.start(slot_of(started), slot_buffer(hasher, slot_of(started)),
                  started * kReadChunkSize, kReadChunkSize);
    }
    const std::uint32_t slot = slot_of(finished);
    const std::int64_t offset = finished * kReadChunkSize;
    std::uint32_t bytes_read = 0;
    const bool ok = reads.finish(slot, &bytes_read);
    ++finished;
    if (!ok) break;
    if (offset == file_size) {  // the read after a last full chunk, or of an empty file
      if (bytes_read == 0) status = HashStatus::Complete;
      break;
    }
    // As in read_chunks_in_turn_from: no bytes before the end, the file shrank; more than is
    // left, it grew. Either way these bytes are not those of the file whose size was taken.
    if (bytes_read == 0 || bytes_read > file_size - offset) break;
    crc32_process(hasher.crc, slot_buffer(hasher, slot), bytes_read);
    sink(hasher, hasher.index, file_progress(offset + bytes_read, file_size));
    if (bytes_read < kReadChunkSize) {  // the end: where the size says, or the file shrank
      if (offset + bytes_read == file_size) status = HashStatus::Complete;
      break;
    }
  }
  // Reads that a stop left in flight would go on writing into slots of the next file.
  if (finished < started) reads.cancel();
  return status;
}

// Reads the file of `file_size` bytes by the path that its own first read shows, into
// hasher.crc, calling `sink` after every read that brought bytes, in file order. A file of
// at most one chunk has nothing to read ahead: it is read in turn with `read` alone (by
// read_chunks_in_turn_from), and `reads` is not used. A larger one starts its first read
// through `reads`, as read_chunks_ahead_from would, and asks
//   reads.ended(slot) -> bool: whether the read just started in `slot` has ended already,
//     inside the call that started it (a copy from a cache, as every read under Wine).
// If so, no drive works while the CRC runs and reading ahead would only add to the cost of
// every read: that chunk is hashed, and when it was whole,
//   reads.continue_in_turn(offset) -> bool readies `read` to read on from `offset`, with no
//     read of `reads` in flight and none to come, or returns false when it cannot,
// and the rest is read in turn with `read`. Otherwise the read went to the drive, and
// read_chunks_ahead_from goes on with it in flight. Every request, whichever the path, asks
// for kReadChunkSize bytes at a whole number of chunks into the file. Returns what
// read_chunks_in_turn_from returns from the start for the same reads, and Incomplete for a
// negative file_size (a size that could not be taken). No read of `reads` is in flight when
// it returns.
template <class Reads, class Read>
HashStatus read_file_by_first_read(FileHasher& hasher, std::int64_t file_size, Reads& reads,
                                   Read read, ProgressSink sink) {
  if (file_size < 0) return HashStatus::Incomplete;
  if (file_size <= kReadChunkSize) {
    return read_chunks_in_turn_from(hasher, file_size, 0, kReadChunkSize, read, sink,
                                    hasher.buffer);
  }
  reads.start(0, slot_buffer(hasher, 0), 0, kReadChunkSize);
  if (!reads.ended(0)) return read_chunks_ahead_from(hasher, file_size, reads, sink, 1);
  std::uint32_t bytes_read = 0;
  if (!reads.finish(0, &bytes_read) || bytes_read == 0) return HashStatus::Incomplete;
  crc32_process(hasher.crc, slot_buffer(hasher, 0), bytes_read);
  sink(hasher, hasher.index, file_progress(bytes_read, file_size));
  // A short first read of a larger file: it shrank, and a read on from there would start
  // off a sector boundary.
  if (bytes_read < kReadChunkSize || !reads.continue_in_turn(kReadChunkSize)) {
    return HashStatus::Incomplete;
  }
  return read_chunks_in_turn_from(hasher, file_size, bytes_read, bytes_read, read, sink,
                                  hasher.buffer);
}
