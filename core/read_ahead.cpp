#include "core/read_ahead.h"

#include <windows.h>

#include "core/read_loop.h"

namespace {

// One manual-reset event per slot, which the system sets when that slot's read ends. Made
// once for the process and never closed: a window closed during a run ends the process
// while a read may be in flight, and the system reclaims them.
HANDLE slot_events[kReadAheadSlots] = {};

// Makes the slots' events where they are missing; returns whether all of them exist.
bool make_slot_events() {
  for (HANDLE& event : slot_events) {
    if (event == nullptr) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return false;
  }
  return true;
}

// The reads of one file for read_file_by_first_read: overlapped reads on a second handle,
// each slot with its own OVERLAPPED, so that on Windows the drive works on up to
// kReadAheadSlots reads while the worker hashes, and the reads in turn on the caller's.
struct FileReads {
  HANDLE plain_file;                 // the caller's, for reads in turn at its file pointer
  HANDLE overlapped_file = nullptr;  // opened at the first read; null once closed
  OVERLAPPED overlapped[kReadAheadSlots] = {};
  bool in_flight[kReadAheadSlots] = {};  // given to the system; its result not yet taken
  // For a read that did not go to the system: ReadFile refused it at once, or there is no
  // overlapped handle and it was made in turn. Its result, for finish.
  bool made[kReadAheadSlots] = {};
  bool made_ok[kReadAheadSlots] = {};
  DWORD made_bytes[kReadAheadSlots] = {};

  explicit FileReads(HANDLE file) : plain_file(file) {}
  FileReads(const FileReads&) = delete;
  FileReads& operator=(const FileReads&) = delete;
  ~FileReads() {
    if (overlapped_file != nullptr) CloseHandle(overlapped_file);
  }

  // Opens the overlapped handle; returns whether it and the slots' events exist.
  bool open_overlapped() {
    if (!make_slot_events()) return false;
    HANDLE file = ReOpenFile(plain_file, FILE_READ_DATA, FILE_SHARE_READ,
                             FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                                 FILE_FLAG_OVERLAPPED);
    if (file == INVALID_HANDLE_VALUE) return false;
    overlapped_file = file;
    return true;
  }

  void start(std::uint32_t slot, unsigned char* buffer, std::int64_t offset,
             std::uint32_t size) {
    made[slot] = false;
    // The first read of the file, and only it, opens the second handle.
    if (offset == 0 && !open_overlapped()) {
      // Without a second handle the first read is made here, in turn, and ends in the
      // call: the rest follow it in turn.
      DWORD count = 0;
      made[slot] = true;
      made_ok[slot] = ReadFile(plain_file, buffer, size, &count, nullptr) != 0;
      made_bytes[slot] = made_ok[slot] ? count : 0;
      return;
    }
    OVERLAPPED& read = overlapped[slot];
    read = OVERLAPPED{};
    read.Offset = static_cast<DWORD>(offset);
    read.OffsetHigh = static_cast<DWORD>(offset >> 32);
    read.hEvent = slot_events[slot];
    if (ReadFile(overlapped_file, buffer, size, nullptr, &read) ||
        GetLastError() == ERROR_IO_PENDING) {
      in_flight[slot] = true;
      return;
    }
    // Refused at once; at the end that is a read that found no bytes.
    made[slot] = true;
    made_ok[slot] = GetLastError() == ERROR_HANDLE_EOF;
    made_bytes[slot] = 0;
  }

  // Under Wine, ReadFile of a cached file returns with the read made (though it may say
  // it is pending); on Windows an unbuffered read is queued at the drive.
  bool ended(std::uint32_t slot) {
    return made[slot] || HasOverlappedIoCompleted(&overlapped[slot]);
  }

  bool finish(std::uint32_t slot, std::uint32_t* bytes_read) {
    if (made[slot]) {
      *bytes_read = made_bytes[slot];
      return made_ok[slot];
    }
    DWORD count = 0;
    const bool ok = GetOverlappedResult(overlapped_file, &overlapped[slot], &count, TRUE) != 0;
    const bool at_end = !ok && GetLastError() == ERROR_HANDLE_EOF;
    in_flight[slot] = false;
    *bytes_read = ok ? count : 0;
    return ok || at_end;
  }

  void cancel() {
    bool any = false;
    for (bool flying : in_flight) any = any || flying;
    if (any) CancelIoEx(overlapped_file, nullptr);
    // Cancelled or done meanwhile, a read has ended only once its result is in.
    for (std::uint32_t slot = 0; slot < kReadAheadSlots; ++slot) {
      if (!in_flight[slot]) continue;
      DWORD ignored = 0;
      GetOverlappedResult(overlapped_file, &overlapped[slot], &ignored, TRUE);
      in_flight[slot] = false;
    }
  }

  bool continue_in_turn(std::int64_t offset) {
    if (overlapped_file != nullptr) {
      CloseHandle(overlapped_file);
      overlapped_file = nullptr;
    }
    LARGE_INTEGER position;
    position.QuadPart = offset;
    return SetFilePointerEx(plain_file, position, nullptr, FILE_BEGIN) != 0;
  }
};

}  // namespace

HashStatus read_file_chunks(HashWorker& worker, void* file, std::int64_t file_size,
                            ProgressSink sink) {
  FileReads reads{file};
  // No OVERLAPPED: under Wine a read that passes one costs a call into the Wine server, as
  // much again as the copy itself.
  auto read = [file](void* buffer, std::uint32_t size, std::uint32_t* bytes_read) {
    DWORD count = 0;
    const bool ok = ReadFile(file, buffer, size, &count, nullptr) != 0;
    *bytes_read = count;
    return ok;
  };
  return read_file_by_first_read(worker, file_size, reads, read, sink);
}
