// The file calls behind hash_file's read loops and a run's files: each file larger than
// one chunk is read ahead of its hash, with several reads in flight, where first reads go
// to a drive, and in turn where they end inside the call; smaller files are then held
// several at once.
#pragma once

#include <cstdint>

#include "core/reading/hash_worker.h"

// Returns true once a first read made through a second handle (see read_file_chunks and
// hash_list_entries) has gone to a drive since the last forget_how_first_reads_end: files
// are then opened for overlapped reads at once, with no second open. False until then,
// and for good where first reads end inside the call (a copy from a cache, as every read
// under Wine), where reads in turn at the file pointer cost least. Raises nothing.
bool first_reads_go_to_a_drive();

// Forgets how first reads have ended, so that the next file read finds out again. Called
// before each run: its files may lie on another volume. Raises nothing.
void forget_how_first_reads_end();

// Hashes the entries of `list` as `hasher` of `run` (hash_entries, on the calling thread):
// files opened once each, up to run.files_at_once of at most one chunk at once where first
// reads go to a drive; stores each entry's status and, for a complete read, its computed
// CRC, then calls `moved`. `sink` gets every read's progress. No file of it is open on
// return. Raises nothing.
void hash_list_entries(SetRun& run, FileHasher& hasher, FileList& list, ProgressSink sink,
                       void (*moved)(FileHasher&));

// Reads the file `file` of `file_size` bytes into hasher.crc and calls `sink` after every
// read that brought bytes, in file order, through read_file_by_first_read, all on the
// calling thread. `file` is a handle opened for unbuffered reading, `overlapped` when it was
// opened for overlapped reads, else at its file pointer, at the start; it stays the
// caller's. While nobody knows how first reads end, a plain file larger than a chunk makes
// its first read through a second handle, opened for overlapped reads and closed here, and
// that read's end is remembered for the files after it; once first reads are known to end
// in the call, such a file is read in turn with no second handle. Reads in flight use the
// hasher's slot events, made here where missing; when they or the second handle cannot be
// made, reads go in turn. No read of either handle is in flight on return. Returns what
// read_file_by_first_read returns. Raises nothing.
HashStatus read_file_chunks(FileHasher& hasher, void* file, bool overlapped,
                            std::int64_t file_size, ProgressSink sink);
