#include "core/read_ahead.h"

#include <type_traits>

#include <windows.h>

#include "core/crc32.h"
#include "core/read_loop.h"

namespace {

// Where a slot's read stands between the worker, which queues it and takes its result, and
// the thread that issues it: the reader thread, or the worker itself when it would
// otherwise wait.
enum class SlotState { Idle, Queued, Issuing, Issued };

struct Slot {
  SlotState state = SlotState::Idle;
  HANDLE plain_file = nullptr;       // the file as hash_file opened it, for reads in turn
  HANDLE overlapped_file = nullptr;  // the same file opened for overlapped reads, or null
  bool first = false;                // the read at the start of its file
  unsigned char* buffer = nullptr;
  DWORD size = 0;
  OVERLAPPED overlapped{};  // the read's offset and, once reads go pending, its event
  HANDLE event = nullptr;   // set by the system when a pending read of this slot ends
  bool made = false;        // the read was made in turn on plain_file: its result is below
  bool ok = false;          // for a read made in turn, or one that ReadFile refused at once
  DWORD bytes = 0;          // for a read made in turn
};

// How the reads of the current file end.
enum class Completion {
  FirstRead,  // the first read is out, overlapped: no other read may go out meanwhile
  InCall,     // inside ReadFile, as Wine makes every read of a file: the rest go in turn
  Pending,    // later, as Windows ends unbuffered reads: each read carries its slot's event
};

// The reader thread and what it shares with the worker, every field guarded by `lock`
// except those of a slot that is Issuing, which belong to the thread issuing it, and of one
// that is Idle or Issued, which belong to the worker. SRW locks and condition variables
// wait in user space, without a call into the Wine server per chunk. Plain global state
// with no destructor: Close ends the process during a run while the thread may still be
// reading, and the system reclaims it all.
struct Reader {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;  // a read was queued or issued
  SRWLOCK file_pointer = SRWLOCK_INIT;  // held while a read in turn moves a file pointer
  Slot slots[kReadAheadSlots];
  std::uint32_t queue[kReadAheadSlots] = {};  // queued slots, oldest at queue_head
  std::uint32_t queue_head = 0;
  std::uint32_t queue_length = 0;
  Completion completion = Completion::InCall;
  bool running = false;  // the thread and the slots' events exist; only the worker reads it
  // Reads of files have been seen to end inside ReadFile: every later file is read in turn
  // from the start, with no second handle. Only the worker reads it.
  bool reads_end_in_call = false;
};

Reader reader;
static_assert(std::is_trivially_destructible_v<Reader>, "the reader thread may outlive exit()");

// Returns whether the oldest queued read may go out now. Called with the lock held.
bool may_issue() {
  if (reader.queue_length == 0) return false;
  return reader.slots[reader.queue[reader.queue_head]].first ||
         reader.completion != Completion::FirstRead;
}

// Makes the read of `slot` in turn on its plain handle: moves the file pointer to its
// offset and reads there, as the serial loop does. Under Wine a read that passes an
// OVERLAPPED costs a call into the Wine server (to post its completion, even with no port),
// as slow as the read itself; this one costs none.
void read_in_turn(Slot& slot) {
  LARGE_INTEGER offset;
  offset.LowPart = slot.overlapped.Offset;
  offset.HighPart = static_cast<LONG>(slot.overlapped.OffsetHigh);
  AcquireSRWLockExclusive(&reader.file_pointer);
  slot.ok = SetFilePointerEx(slot.plain_file, offset, nullptr, FILE_BEGIN) &&
            ReadFile(slot.plain_file, slot.buffer, slot.size, &slot.bytes, nullptr);
  ReleaseSRWLockExclusive(&reader.file_pointer);
  if (!slot.ok) slot.bytes = 0;
  slot.made = true;
}

// Takes the oldest queued read and issues it, releasing the lock meanwhile. Called with the
// lock held when may_issue().
//
// The first read of a file opened for overlapped reads shows how its reads end. Under Wine
// it ends inside ReadFile (which reports it pending, but has made it), and the later reads
// go in turn on the plain handle. On Windows it goes pending; issued with no event, alone in
// flight, its end is signalled by the handle itself, and it is waited for here before the
// later reads go out, each with its slot's event so that several are in flight.
void issue_oldest() {
  Slot& slot = reader.slots[reader.queue[reader.queue_head]];
  reader.queue_head = (reader.queue_head + 1) % kReadAheadSlots;
  --reader.queue_length;
  slot.state = SlotState::Issuing;
  if (slot.first) {
    reader.completion =
        slot.overlapped_file == nullptr ? Completion::InCall : Completion::FirstRead;
  }
  const Completion completion = reader.completion;
  ReleaseSRWLockExclusive(&reader.lock);

  bool pending = false;
  slot.made = false;
  if (completion == Completion::InCall) {
    read_in_turn(slot);
  } else {
    slot.overlapped.hEvent = completion == Completion::Pending ? slot.event : nullptr;
    if (!ReadFile(slot.overlapped_file, slot.buffer, slot.size, nullptr, &slot.overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      slot.made = true;  // refused at once; at the end it is a read that found no bytes
      slot.ok = GetLastError() == ERROR_HANDLE_EOF;
      slot.bytes = 0;
    } else if (completion == Completion::FirstRead) {
      pending = !HasOverlappedIoCompleted(&slot.overlapped);
      DWORD ignored = 0;
      if (pending) GetOverlappedResult(slot.overlapped_file, &slot.overlapped, &ignored, TRUE);
    }
  }

  AcquireSRWLockExclusive(&reader.lock);
  if (completion == Completion::FirstRead) {
    reader.completion = pending ? Completion::Pending : Completion::InCall;
  }
  slot.state = SlotState::Issued;
  WakeAllConditionVariable(&reader.changed);
}

// Issues the queued reads in order, for ever. Under Wine a read is made inside ReadFile, so
// it is on this thread that reading overlaps the hash; on Windows ReadFile returns at once
// and the drive works on every read in flight.
DWORD WINAPI reader_main(LPVOID) {
  AcquireSRWLockExclusive(&reader.lock);
  for (;;) {
    while (!may_issue()) SleepConditionVariableSRW(&reader.changed, &reader.lock, INFINITE, 0);
    issue_oldest();
  }
}

// Makes the slots' events and the reader thread, once in the process; returns whether they
// exist. Called on the thread that hashes. The thread lives as long as the process, idle
// between files, so no run and no file pays for starting it again.
bool start_reader() {
  if (reader.running) return true;
  for (Slot& slot : reader.slots) {
    if (slot.event == nullptr) slot.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (slot.event == nullptr) return false;
  }
  HANDLE thread = CreateThread(nullptr, 0, reader_main, nullptr, 0, nullptr);
  if (thread == nullptr) return false;
  CloseHandle(thread);  // nobody waits for it
  reader.running = true;
  return true;
}

// Returns the result of the overlapped read described by `overlapped` on `file`, waiting
// for it if it is still in flight: whether it succeeded, with its byte count in
// `bytes_read`. A read at or past the end succeeds with no bytes.
bool overlapped_result(HANDLE file, OVERLAPPED* overlapped, std::uint32_t* bytes_read) {
  DWORD count = 0;
  const bool ok = GetOverlappedResult(file, overlapped, &count, TRUE) != 0;
  *bytes_read = ok ? count : 0;
  return ok || GetLastError() == ERROR_HANDLE_EOF;
}

// The reads of one file for read_chunks_ahead, issued by the reader thread or the worker.
struct ReaderThreadReads {
  HANDLE plain_file;
  HANDLE overlapped_file;  // null when every read goes in turn on plain_file

  void start(std::uint32_t index, unsigned char* buffer, std::int64_t offset,
             std::uint32_t size) {
    Slot& slot = reader.slots[index];  // Idle: the worker's alone until queued
    slot.overlapped = OVERLAPPED{};
    slot.overlapped.Offset = static_cast<DWORD>(offset);
    slot.overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    slot.plain_file = plain_file;
    slot.overlapped_file = overlapped_file;
    slot.first = offset == 0;
    slot.buffer = buffer;
    slot.size = size;
    AcquireSRWLockExclusive(&reader.lock);
    slot.state = SlotState::Queued;
    reader.queue[(reader.queue_head + reader.queue_length) % kReadAheadSlots] = index;
    ++reader.queue_length;
    WakeAllConditionVariable(&reader.changed);
    ReleaseSRWLockExclusive(&reader.lock);
  }

  bool finish(std::uint32_t index, std::uint32_t* bytes_read) {
    Slot& slot = reader.slots[index];
    AcquireSRWLockExclusive(&reader.lock);
    // Rather than sleep until the reader thread gets to it, the worker makes its next read
    // itself when the reader has not taken it up: on a busy machine a wake-up can cost more
    // than the read. A read the reader is making is waited for: it ends sooner.
    while (slot.state != SlotState::Issued) {
      if (slot.state == SlotState::Queued && may_issue()) {
        issue_oldest();
      } else {
        SleepConditionVariableSRW(&reader.changed, &reader.lock, INFINITE, 0);
      }
    }
    slot.state = SlotState::Idle;
    if (slot.first && overlapped_file != nullptr) {
      reader.reads_end_in_call = reader.completion == Completion::InCall;
    }
    ReleaseSRWLockExclusive(&reader.lock);
    if (slot.made) {
      *bytes_read = slot.bytes;
      return slot.ok;
    }
    return overlapped_result(overlapped_file, &slot.overlapped, bytes_read);
  }

  void cancel() {
    AcquireSRWLockExclusive(&reader.lock);
    // Reads still queued are never issued; one the reader thread is issuing is waited for,
    // so that it is in flight, and can be cancelled, or over.
    for (; reader.queue_length > 0; --reader.queue_length) {
      reader.slots[reader.queue[reader.queue_head]].state = SlotState::Idle;
      reader.queue_head = (reader.queue_head + 1) % kReadAheadSlots;
    }
    auto issuing = [] {
      for (const Slot& slot : reader.slots) {
        if (slot.state == SlotState::Issuing) return true;
      }
      return false;
    };
    while (issuing()) SleepConditionVariableSRW(&reader.changed, &reader.lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&reader.lock);

    bool pending = false;
    for (Slot& slot : reader.slots) {
      if (slot.state == SlotState::Issued && !slot.made &&
          !HasOverlappedIoCompleted(&slot.overlapped)) {
        pending = true;
      }
    }
    if (pending) CancelIoEx(overlapped_file, nullptr);
    // Whether cancelled or done meanwhile, each read has ended once its result is in.
    for (Slot& slot : reader.slots) {
      if (slot.state != SlotState::Issued) continue;
      std::uint32_t ignored = 0;
      if (!slot.made) overlapped_result(overlapped_file, &slot.overlapped, &ignored);
      slot.state = SlotState::Idle;
    }
  }
};

// Returns whether reads of `file` end inside ReadFile, found once for the process by one
// overlapped read of its first chunk into `buffer`: under Wine every read of a file is a
// copy made there and then, on Windows an unbuffered read goes pending at the drive.
bool reads_end_in_call(HANDLE file, unsigned char* buffer) {
  static int found = -1;  // -1 until the first probe; then 0 or 1
  if (found >= 0) return found == 1;
  HANDLE probe = ReOpenFile(file, FILE_READ_DATA, FILE_SHARE_READ,
                            FILE_FLAG_NO_BUFFERING | FILE_FLAG_OVERLAPPED);
  if (probe == INVALID_HANDLE_VALUE) return false;  // not known: read ahead, as is correct
  OVERLAPPED overlapped{};
  DWORD count = 0;
  if (ReadFile(probe, buffer, kReadChunkSize, nullptr, &overlapped) ||
      GetLastError() == ERROR_IO_PENDING) {
    found = HasOverlappedIoCompleted(&overlapped) ? 1 : 0;
    GetOverlappedResult(probe, &overlapped, &count, TRUE);  // never leave it in flight
  }
  CloseHandle(probe);
  return found == 1;
}

// Returns whether reading `file` ahead of the hash pays. On Windows it always does: the
// drive works on several requests while the CRC runs. Where reads end inside ReadFile, a
// read on the reader thread takes the other core from the hash, and on a small machine both
// then slow down: that pays only where the CRC is the slower of the two, as it is for the
// kernels without the wide multiplier; the others hash faster than a copy from the cache.
bool read_ahead_pays(HANDLE file, unsigned char* buffer) {
  return crc32_kernel() < Crc32Kernel::Clmul256 || !reads_end_in_call(file, buffer);
}

}  // namespace

HashStatus read_file_chunks(HashWorker& worker, void* file, std::int64_t file_size,
                            ProgressSink sink) {
  if (file_size > kReadChunkSize && read_ahead_pays(file, worker.buffer) && start_reader()) {
    // A second handle to the same file, for overlapped reads, unless reads have been seen to
    // end inside ReadFile. Without it every read goes in turn: correct, one at a time.
    HANDLE overlapped_file = nullptr;
    if (!reader.reads_end_in_call) {
      overlapped_file = ReOpenFile(file, FILE_READ_DATA, FILE_SHARE_READ,
                                   FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                                       FILE_FLAG_OVERLAPPED);
      if (overlapped_file == INVALID_HANDLE_VALUE) overlapped_file = nullptr;
    }
    ReaderThreadReads reads{file, overlapped_file};
    const HashStatus status = read_chunks_ahead(worker, file_size, reads, sink);
    if (overlapped_file != nullptr) CloseHandle(overlapped_file);
    return status;
  }
  // A file of one chunk has nothing to read ahead: it is read here, in turn, as ever, since
  // a handoff or an overlapped read would only add to its cost.
  auto read = [file](void* buffer, std::uint32_t size, std::uint32_t* bytes_read) {
    DWORD count = 0;
    const bool ok = ReadFile(file, buffer, size, &count, nullptr) != 0;
    *bytes_read = count;
    return ok;
  };
  return read_all_chunks(worker, file_size, read, sink);
}
