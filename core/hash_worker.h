// The worker context and the CRC-32 hashing of one file.
#pragma once

#include <atomic>
#include <cstdint>

#include <boost/crc.hpp>
#include <boost/filesystem/path.hpp>

#include "core/file_list.h"

// Every read asks for this many bytes: a multiple of any sector size, as unbuffered reads
// require, and large enough that per-call costs vanish.
inline constexpr std::uint32_t kReadChunkSize = 1024 * 1024;

// How many reads of a file may be in flight ahead of the hash, each into its own chunk of
// the buffer. A drive given several requests at once reads faster than one that idles while
// each chunk is hashed; four is where an NVMe drive's gain levels off.
inline constexpr std::uint32_t kReadAheadSlots = 4;

// The one worker context of the process.
struct HashWorker {
  // The value of `progress` before a run has reported anything.
  static constexpr std::uint64_t kNoProgress = ~std::uint64_t{0};

  boost::crc_32_type crc;             // running CRC of the file being hashed
  std::uint32_t index = 0;            // FileList index of the entry being hashed
  // kReadAheadSlots chunks of kReadChunkSize bytes, page-aligned, for every read: one chunk
  // per read in flight.
  unsigned char* buffer = nullptr;
  std::uint32_t report_thread_id = 0; // thread that receives the run's messages
  // Handle of the running worker, the mark of a run; null when idle. Atomic because the
  // worker clears it while the user-interface thread may test it.
  std::atomic<void*> worker_thread = nullptr;
  FileList* list = nullptr;           // the list the run walks
  // The run's newest progress, published by the worker for the window to take when it is
  // ready: the entry index in the high 32 bits, the WM_HASH_PROGRESS lParam in the low 32;
  // kNoProgress until the run's first report. Taking it, not the messages, drives the window.
  std::atomic<std::uint64_t> progress = kNoProgress;
  // True from the moment a WM_HASH_PROGRESS is posted until the window has taken the
  // progress: at most one is on its way, however fast the worker and slow the window.
  std::atomic<bool> progress_posted = false;

  // Allocates the read buffer; raises std::runtime_error "Unable to allocate memory".
  // There is no destructor on purpose: a window closed during a run ends the process while
  // the worker may still be reading into the buffer, so the system reclaims it instead.
  HashWorker();
  HashWorker(const HashWorker&) = delete;
  HashWorker& operator=(const HashWorker&) = delete;
};

// The one worker context, built at static initialisation.
extern HashWorker hash_worker;

// Receives the progress of the file being hashed: `file_progress` runs 0..65535, where
// 65535 means the whole file has been read. Called once per read that brought bytes.
using ProgressSink = void (*)(HashWorker& worker, std::uint32_t index, std::uint32_t file_progress);

// Hashes the file at `path`, of any length, into worker.crc, which the caller has reset,
// in reads of kReadChunkSize bytes into worker.buffer, those of a file larger than one chunk
// made ahead if the first goes to the drive (see read_file_chunks); calls `sink` after every
// read that brought bytes, in file order. Returns NotOpened when the file cannot be opened
// or is no file on a disk but a pipe or a device (nothing read, nothing reported;
// path_to_open refuses devices and look-alike names before any open, and an exception, such
// as a failed conversion of the name, ends the call the same way), Complete when exactly
// its size was read and a read met its end (see read_all_chunks), Incomplete otherwise. Raises
// nothing.
HashStatus hash_file(HashWorker& worker, const boost::filesystem::path& path, ProgressSink sink);
