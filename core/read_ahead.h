// The file calls behind hash_file's read loops: each file larger than one chunk is read
// ahead of its hash, with several reads in flight, when its first read goes to the drive,
// and in turn when that read ends inside the call.
#pragma once

#include <cstdint>

#include "core/hash_worker.h"

// Reads the file `file` of `file_size` bytes into worker.crc and calls `sink` after every
// read that brought bytes, in file order, through read_file_by_first_read, all on the
// calling thread. `file` is a handle opened for unbuffered reading at its file pointer, at
// the start; it stays the caller's. A larger file is read ahead through a second handle to
// it, opened for overlapped reads and closed here; when that handle or the events of its
// reads cannot be made, its reads go in turn on `file`. No read of either handle is in
// flight on return. Returns what read_file_by_first_read returns. Raises nothing.
HashStatus read_file_chunks(HashWorker& worker, void* file, std::int64_t file_size,
                            ProgressSink sink);
