// The hashing threads' contexts and the CRC-32 hashing of one file.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>

#include <boost/crc.hpp>
#include <boost/filesystem/path.hpp>

#include "core/list/file_list.h"
#include "core/reading/volumes.h"

// Every read asks for this many bytes: a multiple of any sector size, as unbuffered reads
// require, and large enough that per-call costs vanish.
inline constexpr std::uint32_t kReadChunkSize = 1024 * 1024;

// How many reads of a file may be in flight ahead of the hash, each into its own chunk of
// the buffer. A drive given several requests at once reads faster than one that idles while
// each chunk is hashed; four is where an NVMe drive's gain levels off.
inline constexpr std::uint32_t kReadAheadSlots = 4;

// The most hashing threads a run uses: one per core up to here. Past it the drive's queue,
// not the processors, bounds a set of files, and each thread costs its buffers.
inline constexpr std::uint32_t kMaxHashers = 8;

// Returns kReadAheadSlots chunks of kReadChunkSize bytes, page-aligned and committed, or
// null when there is no memory. The memory is never freed. Defined by each platform's build.
unsigned char* allocate_read_buffer();

// One hashing thread's own state: the file it is hashing and the memory it reads into. Only
// its thread touches crc, index, buffer and slot_events during a run, so a file's bytes are
// read, hashed and dropped on one core; `position` is what it tells the others.
struct FileHasher {
  boost::crc_32_type crc;             // running CRC of the file being hashed
  std::uint32_t index = 0;            // FileList index of the entry being hashed
  // Owned: kReadAheadSlots chunks, one per read in flight, allocated with the hasher and
  // never freed, since a window closed during a run ends the process while reads may still
  // write into them.
  unsigned char* buffer = nullptr;
  // The events of the slots' reads in flight, made where first needed and never closed (the
  // same reason); null until then. Windows handles, kept untyped here.
  void* slot_events[kReadAheadSlots] = {};
  // Where this hasher is in the list, for the run's progress: see core/reading/set_run.h. Alone
  // on its cache line, as the other hashers and the window read it while this one writes.
  alignas(64) std::atomic<std::uint64_t> position = ~std::uint64_t{0};

  // Allocates the buffer; raises std::runtime_error "Unable to allocate memory".
  FileHasher() : buffer(allocate_read_buffer()) {
    if (buffer == nullptr) throw std::runtime_error("Unable to allocate memory");
  }
  FileHasher(const FileHasher&) = delete;
  FileHasher& operator=(const FileHasher&) = delete;
};

// One pass over a list by several hashers: which entry is the next to take, and who takes
// part. core/reading/set_run.h hands the entries out and reads the run's progress from it.
struct SetRun {
  // Entries in the list; 0 until begin_set has readied the run, which it stores last, so a
  // reader that sees it sees the rest of the run too.
  std::atomic<std::uint32_t> count = 0;
  std::uint32_t hasher_count = 0;          // hashers[0] to hashers[hasher_count - 1] take part
  FileHasher* hashers[kMaxHashers] = {};   // each of them run by a thread that exists
  // The first entry that no hasher has taken yet; may pass count by one per hasher.
  alignas(64) std::atomic<std::uint64_t> next_entry = 0;
};

// The one worker context of the process: the run in progress and the hashers that serve it.
struct HashWorker {
  // Owned, never freed (see FileHasher::buffer): hashers[0], made at static initialisation,
  // hashes on the worker thread itself; the others are made when a run first wants them,
  // each for a thread of its own. Null until then.
  FileHasher* hashers[kMaxHashers] = {};
  SetRun set;                          // the current or last run
  RunVolumes volumes;                  // the volumes of the current or last run's entries
  std::uint32_t report_thread_id = 0;  // thread that receives the run's messages
  // Handle of the running worker, the mark of a run; null when idle. Atomic because the
  // worker clears it while the user-interface thread may test it. Set until every hasher
  // of the run has ended.
  std::atomic<void*> worker_thread = nullptr;
  FileList* list = nullptr;            // the list the run walks
  // True from the moment a WM_HASH_PROGRESS is posted until the window has taken the
  // progress: at most one is on its way, however many hashers and however slow the window.
  std::atomic<bool> progress_posted = false;

  // Makes hashers[0]; raises std::runtime_error "Unable to allocate memory". There is no
  // destructor on purpose: a window closed during a run ends the process while hashers
  // may still be reading, so the system reclaims their memory instead.
  HashWorker();
  HashWorker(const HashWorker&) = delete;
  HashWorker& operator=(const HashWorker&) = delete;
};

// The one worker context, built at static initialisation.
extern HashWorker hash_worker;

// Opens the file at `path` for hashing, for overlapped reads when `overlapped`, and puts its
// size in `size` (-1 when it cannot be taken). Returns the handle, which the caller closes,
// or null when the file cannot be opened or is no file on a disk but a pipe or a device;
// path_to_open refuses devices and look-alike names before any open. Raises std::bad_alloc,
// or the error of a failed conversion of the name, before any open.
void* open_for_hashing(const boost::filesystem::path& path, bool overlapped, std::int64_t* size);

// Receives the progress of the file being hashed: `file_progress` runs 0..65535, where
// 65535 means the whole file has been read. Called once per read that brought bytes.
using ProgressSink = void (*)(FileHasher& hasher, std::uint32_t index,
                              std::uint32_t file_progress);

// Hashes the file at `path`, of any length, into hasher.crc as a run hashes a list of that
// one file (hash_list_entries, in core/reading/read_ahead.cpp): in reads of kReadChunkSize
// bytes into hasher.buffer, those of a file larger than one chunk made ahead where its first
// read goes to a drive; calls `sink` after every read that brought bytes, in file order.
// Returns NotOpened when the file cannot be opened or is no file on a disk but a pipe or a
// device (nothing read, nothing reported; path_to_open refuses devices and look-alike names
// before any open, and an exception, such as a failed conversion of the name, ends the call
// the same way), Complete when exactly its size was read and a read met its end (see
// read_chunks_in_turn_from), Incomplete otherwise. Raises nothing. Any thread may call it,
// each with its own hasher.
HashStatus hash_file(FileHasher& hasher, const boost::filesystem::path& path, ProgressSink sink);
