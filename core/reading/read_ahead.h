// The file calls behind a run's read loops: each file a hasher holds, with its handle, its
// size, its reads and how they go. A file larger than one chunk is read ahead of its hash,
// with several reads in flight, where its first read goes to a drive, and in turn where it
// ends inside the call; smaller files are then held several at once.
#pragma once

#include <cstdint>

#include "core/list/file_list.h"
#include "core/reading/hash_worker.h"
#include "core/reading/volumes.h"

// Hashes the entries of `list` as `hasher` of `run` (hash_entries, on the calling thread),
// each file opened once, in the way that its volume in `volumes` has shown to suit it (see
// FirstReads): files of at most one chunk held up to kReadAheadSlots at once where reads go
// to a drive, and a volume that is read one file at a time taken in turns with the other
// hashers. Stores each entry's status and, for a complete read, its computed CRC, then
// calls `moved`. `sink` gets every read's progress. No file of it is open on return.
// Raises nothing.
void hash_list_entries(SetRun& run, FileHasher& hasher, FileList& list, RunVolumes& volumes,
                       ProgressSink sink, void (*moved)(FileHasher&));
