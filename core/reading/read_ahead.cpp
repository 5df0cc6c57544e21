#include "core/reading/read_ahead.h"

#include <atomic>
#include <optional>

#include <windows.h>

#include "core/reading/read_loop.h"
#include "core/reading/set_run.h"

namespace {

// How the first reads of files have ended since the run began: learnt from the first file
// read, whose first read is made through a second, overlapped handle (the only way to see
// whether it goes to a drive), and kept, so that the files after it are opened once, in the
// way that suits them. A file that later reads otherwise (a compressed file among ordinary
// ones) still reads right, only in the other way.
enum class FirstReads : int { Unknown, EndInCall, GoToADrive };
std::atomic<FirstReads> first_reads = FirstReads::Unknown;

// Makes the hasher's slot events where they are missing, one manual-reset event per slot,
// which the system sets when that slot's read ends; returns whether all of them exist.
bool make_slot_events(FileHasher& hasher) {
  for (void*& event : hasher.slot_events) {
    if (event == nullptr) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return false;
  }
  return true;
}

// The reads of one file for read_file_by_first_read: the reads ahead, each slot with its
// own OVERLAPPED, so that on Windows the drive works on up to kReadAheadSlots reads while
// the hasher hashes, and the reads in turn.
struct FileReads {
  FileHasher& hasher;
  HANDLE file;           // the caller's
  bool file_overlapped;  // `file` takes reads at offsets only
  // Where the reads ahead go: `file` itself when it is overlapped, else a second handle
  // that the first read opens and that is closed here; null while there is none.
  HANDLE ahead_file = nullptr;
  std::int64_t in_turn_offset = 0;  // where the next read in turn of an overlapped file starts
  // Whose event the reads in turn of an overlapped file wait on: a slot with no read ahead
  // of its own in flight, here or in another file the hasher holds.
  std::uint32_t in_turn_slot = 0;
  OVERLAPPED overlapped[kReadAheadSlots] = {};
  bool in_flight[kReadAheadSlots] = {};  // given to the system; its result not yet taken
  // For a read that did not go to the system: ReadFile refused it at once, or it was made
  // in turn. Its result, for finish.
  bool made[kReadAheadSlots] = {};
  bool made_ok[kReadAheadSlots] = {};
  DWORD made_bytes[kReadAheadSlots] = {};

  FileReads(FileHasher& owner, HANDLE caller_file, bool overlapped_file)
      : hasher(owner), file(caller_file), file_overlapped(overlapped_file) {
    if (file_overlapped && make_slot_events(hasher)) ahead_file = file;
  }
  FileReads(const FileReads&) = delete;
  FileReads& operator=(const FileReads&) = delete;
  ~FileReads() {
    if (ahead_file != nullptr && ahead_file != file) CloseHandle(ahead_file);
  }

  // Opens the second handle for the first read of a plain file, unless first reads are
  // known to end in the call; returns whether it and the slots' events exist.
  bool open_ahead_file() {
    if (file_overlapped || first_reads.load() == FirstReads::EndInCall ||
        !make_slot_events(hasher)) {
      return false;
    }
    HANDLE second = ReOpenFile(file, FILE_READ_DATA, FILE_SHARE_READ,
                               FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                                   FILE_FLAG_OVERLAPPED);
    if (second == INVALID_HANDLE_VALUE) return false;
    ahead_file = second;
    return true;
  }

  // A read in turn: at the file pointer of a plain file, at in_turn_offset of an
  // overlapped one, waiting for it there. A read at or past the end finds no bytes.
  bool read_in_turn(void* buffer, std::uint32_t size, std::uint32_t* bytes_read) {
    DWORD count = 0;
    *bytes_read = 0;
    if (!file_overlapped) {
      // No OVERLAPPED: under Wine a read that passes one costs a call into the Wine
      // server, as much again as the copy itself.
      const bool ok = ReadFile(file, buffer, size, &count, nullptr) != 0;
      *bytes_read = count;
      return ok;
    }
    if (ahead_file == nullptr) return false;  // no event to wait on
    OVERLAPPED read{};
    read.Offset = static_cast<DWORD>(in_turn_offset);
    read.OffsetHigh = static_cast<DWORD>(in_turn_offset >> 32);
    read.hEvent = hasher.slot_events[in_turn_slot];
    const bool ok = (ReadFile(file, buffer, size, nullptr, &read) ||
                     GetLastError() == ERROR_IO_PENDING) &&
                    GetOverlappedResult(file, &read, &count, TRUE);
    if (!ok) return GetLastError() == ERROR_HANDLE_EOF;
    *bytes_read = count;
    in_turn_offset += count;
    return true;
  }

  void start(std::uint32_t slot, unsigned char* buffer, std::int64_t offset,
             std::uint32_t size) {
    made[slot] = false;
    // The first read of a plain file opens the second handle, or is made here, in turn,
    // and ends in the call: the rest follow it in turn.
    if (ahead_file == nullptr && (offset != 0 || !open_ahead_file())) {
      std::uint32_t count = 0;
      made[slot] = true;
      made_ok[slot] = read_in_turn(buffer, size, &count);
      made_bytes[slot] = count;
      return;
    }
    OVERLAPPED& read = overlapped[slot];
    read = OVERLAPPED{};
    read.Offset = static_cast<DWORD>(offset);
    read.OffsetHigh = static_cast<DWORD>(offset >> 32);
    read.hEvent = hasher.slot_events[slot];
    if (ReadFile(ahead_file, buffer, size, nullptr, &read) || GetLastError() == ERROR_IO_PENDING) {
      in_flight[slot] = true;
      return;
    }
    // Refused at once; at the end that is a read that found no bytes.
    made[slot] = true;
    made_ok[slot] = GetLastError() == ERROR_HANDLE_EOF;
    made_bytes[slot] = 0;
  }

  // Under Wine, ReadFile of a cached file returns with the read made (though it may say
  // it is pending); on Windows an unbuffered read is queued at the drive. The first file
  // whose first read went to the system tells how the files after it are read.
  bool ended(std::uint32_t slot) {
    if (made[slot]) return true;
    const bool in_call = HasOverlappedIoCompleted(&overlapped[slot]);
    FirstReads unknown = FirstReads::Unknown;
    first_reads.compare_exchange_strong(unknown,
                                        in_call ? FirstReads::EndInCall : FirstReads::GoToADrive);
    return in_call;
  }

  // Whether a read of `slot` is in flight.
  bool flying(std::uint32_t slot) const { return in_flight[slot]; }

  bool finish(std::uint32_t slot, std::uint32_t* bytes_read) {
    if (made[slot]) {
      *bytes_read = made_bytes[slot];
      return made_ok[slot];
    }
    DWORD count = 0;
    const bool ok = GetOverlappedResult(ahead_file, &overlapped[slot], &count, TRUE) != 0;
    const bool at_end = !ok && GetLastError() == ERROR_HANDLE_EOF;
    in_flight[slot] = false;
    *bytes_read = ok ? count : 0;
    return ok || at_end;
  }

  void cancel() {
    bool any = false;
    for (bool flying : in_flight) any = any || flying;
    if (any) CancelIoEx(ahead_file, nullptr);
    // Cancelled or done meanwhile, a read has ended only once its result is in.
    for (std::uint32_t slot = 0; slot < kReadAheadSlots; ++slot) {
      if (!in_flight[slot]) continue;
      DWORD ignored = 0;
      GetOverlappedResult(ahead_file, &overlapped[slot], &ignored, TRUE);
      in_flight[slot] = false;
    }
  }

  bool continue_in_turn(std::int64_t offset) {
    in_turn_offset = offset;
    if (file_overlapped) return true;
    if (ahead_file != nullptr) {
      CloseHandle(ahead_file);
      ahead_file = nullptr;
    }
    LARGE_INTEGER position;
    position.QuadPart = offset;
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
  }
};

// The file calls of hash_entries for the entries of a list: the files a hasher holds, each
// in a slot of its own with its own handle and reads. Each file is opened once, as
// hash_file opens it, and a file's first read, while nobody knows how first reads end,
// takes the second handle that tells (FileReads::open_ahead_file): whatever its size, only
// the first file of a run pays for that. Several files are held at once only where reads
// go to a drive; they are then opened for overlapped reads.
struct ListFiles {
  FileHasher& hasher;
  FileList& list;
  std::uint32_t files_at_once;  // where reads go to a drive
  HANDLE files[kReadAheadSlots] = {};
  bool overlapped[kReadAheadSlots] = {};
  std::optional<FileReads> reads[kReadAheadSlots] = {};  // of a file of at most one chunk
  std::int64_t first_bytes[kReadAheadSlots] = {};   // -1 until its first read is taken

  std::uint32_t depth() const { return first_reads_go_to_a_drive() ? files_at_once : 1; }

  std::optional<std::int64_t> open(std::uint32_t slot, std::uint32_t index) {
    overlapped[slot] = first_reads_go_to_a_drive() && make_slot_events(hasher);
    std::int64_t size = -1;
    try {
      files[slot] = open_for_hashing(list.at(index).path, overlapped[slot], &size);
    } catch (...) {
      files[slot] = nullptr;  // the name could not be made: as a file that cannot be opened
    }
    if (files[slot] == nullptr) return std::nullopt;
    return size;
  }

  void start_first(std::uint32_t slot) {
    FileReads& file = reads[slot].emplace(hasher, files[slot], overlapped[slot]);
    file.in_turn_slot = slot;
    first_bytes[slot] = -1;
    file.start(slot, slot_buffer(hasher, slot), 0, kReadChunkSize);
    file.ended(slot);  // a first read made through a second handle tells how they end
  }

  bool read(std::uint32_t slot, void* buffer, std::uint32_t size, std::uint32_t* bytes_read) {
    FileReads& file = *reads[slot];
    if (first_bytes[slot] < 0) {
      const bool ok = file.finish(slot, bytes_read);
      first_bytes[slot] = *bytes_read;
      return ok;
    }
    // Only a whole first chunk is read on from, to find the end there.
    if (first_bytes[slot] == kReadChunkSize && !file.continue_in_turn(first_bytes[slot])) {
      return false;
    }
    first_bytes[slot] = 0;
    return file.read_in_turn(buffer, size, bytes_read);
  }

  HashStatus hash_large(std::uint32_t slot, std::int64_t size, ProgressSink sink) {
    return read_file_chunks(hasher, files[slot], overlapped[slot], size, sink);
  }

  void close(std::uint32_t slot) {
    if (reads[slot] && reads[slot]->flying(slot)) reads[slot]->cancel();
    reads[slot].reset();
    CloseHandle(files[slot]);
  }
};

}  // namespace

bool first_reads_go_to_a_drive() { return first_reads.load() == FirstReads::GoToADrive; }

void forget_how_first_reads_end() { first_reads.store(FirstReads::Unknown); }

void hash_list_entries(SetRun& run, FileHasher& hasher, FileList& list, ProgressSink sink,
                       void (*moved)(FileHasher&)) {
  ListFiles files{hasher, list, run.files_at_once};
  const auto store = [&list](FileHasher& by, std::uint32_t index, HashStatus status) {
    FileEntry& entry = list.at(index);
    entry.status = status;
    // A file that was not read completely keeps its old `computed`: a CRC of part of a
    // file is no checksum of it.
    if (status == HashStatus::Complete) entry.computed = by.crc.checksum();
  };
  hash_entries(run, hasher, files, sink, store, moved);
}

HashStatus read_file_chunks(FileHasher& hasher, void* file, bool overlapped,
                            std::int64_t file_size, ProgressSink sink) {
  FileReads reads{hasher, file, overlapped};
  auto read = [&reads](void* buffer, std::uint32_t size, std::uint32_t* bytes_read) {
    return reads.read_in_turn(buffer, size, bytes_read);
  };
  return read_file_by_first_read(hasher, file_size, reads, read, sink);
}
