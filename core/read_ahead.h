// The file calls behind hash_file's read loops: a file that fits in one chunk is read on
// the worker thread alone, a larger one, where that pays, with its next chunks read on a
// reader thread while the worker hashes the chunk before.
#pragma once

#include <cstdint>

#include "core/hash_worker.h"

// Reads the file `file` of `file_size` bytes into worker.crc and calls `sink` after every
// read that brought bytes, in file order. `file` is a handle opened for unbuffered reading
// at its file pointer, at the start; it stays the caller's, and no read of it, or of a
// second handle made here, is in flight on return. A file of at most one chunk goes through
// read_all_chunks on the calling thread alone, as does any file while the reader thread
// cannot be made, and any file where reads end inside ReadFile (as under Wine, a copy from
// the cache) and the CRC kernel in use is faster than such a copy; a larger one otherwise
// through read_chunks_ahead, its reads made by the one reader thread of the process or by
// the calling thread. Returns what that loop returns. Raises nothing.
HashStatus read_file_chunks(HashWorker& worker, void* file, std::int64_t file_size,
                            ProgressSink sink);
