#include "core/read_ahead.h"

#include <type_traits>

#include <windows.h>

#include "core/read_loop.h"

namespace {

// Where a slot's read stands between the worker, which queues it and takes its result, and
// the thread that issues it: the reader thread, or the worker itself when it would
// otherwise wait.
enum class SlotState { Idle, Queued, Issuing, Issued };

struct Slot {
  SlotState state = SlotState::Idle;
  HANDLE file = nullptr;
  bool first = false;  // the read at the start of its file
  unsigned char* buffer = nullptr;
  DWORD size = 0;
  OVERLAPPED overlapped{};  // the read's offset and, once reads go pending, its event
  HANDLE event = nullptr;   // set by the system when a pending read of this slot ends
  DWORD issue_error = 0;    // why ReadFile did not start the read; 0 when it did
};

// How the reads of the current file end, known from its first read.
enum class Completion {
  FirstRead,  // the first read is out: no other read of the file may go out meanwhile
  InCall,     // inside ReadFile, as Wine makes every read of a file
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
  Slot slots[kReadAheadSlots];
  std::uint32_t queue[kReadAheadSlots] = {};  // queued slots, oldest at queue_head
  std::uint32_t queue_head = 0;
  std::uint32_t queue_length = 0;
  Completion completion = Completion::InCall;
  bool running = false;  // the thread and the slots' events exist; only the worker reads it
};

Reader reader;
static_assert(std::is_trivially_destructible_v<Reader>, "the reader thread may outlive exit()");

// Returns whether the oldest queued read may go out now. Called with the lock held.
bool may_issue() {
  if (reader.queue_length == 0) return false;
  return reader.slots[reader.queue[reader.queue_head]].first ||
         reader.completion != Completion::FirstRead;
}

// Takes the oldest queued read and issues it, releasing the lock meanwhile. Called with the
// lock held when may_issue().
//
// A read carries its slot's event only once a read of its file has gone pending. Under
// Wine none does (it reports the read pending, but has made it inside the call), and
// setting an event there is a call into the Wine server per read, on a busy machine as
// slow as the read itself. On Windows the first read of a file goes pending with no event;
// it is alone in flight, so the handle itself signals its end, and it is waited for here
// before the later reads go out, each with its event. A later read without an event that
// goes pending after all may have another beside it, whose end would signal the same
// handle, so its own end is polled for instead; from then on the file's reads carry events.
void issue_oldest() {
  Slot& slot = reader.slots[reader.queue[reader.queue_head]];
  reader.queue_head = (reader.queue_head + 1) % kReadAheadSlots;
  --reader.queue_length;
  slot.state = SlotState::Issuing;
  if (slot.first) reader.completion = Completion::FirstRead;
  const bool with_event = reader.completion == Completion::Pending;
  ReleaseSRWLockExclusive(&reader.lock);

  slot.overlapped.hEvent = with_event ? slot.event : nullptr;
  const bool started = ReadFile(slot.file, slot.buffer, slot.size, nullptr, &slot.overlapped) ||
                       GetLastError() == ERROR_IO_PENDING;
  const DWORD error = started ? 0 : GetLastError();
  const bool pending = started && !with_event && !HasOverlappedIoCompleted(&slot.overlapped);
  if (pending && slot.first) {
    DWORD ignored = 0;
    GetOverlappedResult(slot.file, &slot.overlapped, &ignored, TRUE);  // the result stays
  }
  while (pending && !HasOverlappedIoCompleted(&slot.overlapped)) Sleep(1);

  AcquireSRWLockExclusive(&reader.lock);
  if (pending) {
    reader.completion = Completion::Pending;
  } else if (slot.first) {
    reader.completion = Completion::InCall;
  }
  slot.issue_error = error;
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

// The reads of one file for read_chunks_ahead, issued by the reader thread.
struct ReaderThreadReads {
  HANDLE file;

  void start(std::uint32_t index, unsigned char* buffer, std::int64_t offset,
             std::uint32_t size) {
    Slot& slot = reader.slots[index];  // Idle: the worker's alone until queued
    slot.overlapped = OVERLAPPED{};
    slot.overlapped.Offset = static_cast<DWORD>(offset);
    slot.overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    slot.file = file;
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
    // Rather than sleep until the reader thread gets to it, the worker makes a waiting read
    // itself: a wake-up costs more than a read on a busy machine, and with a core free the
    // two threads read side by side.
    while (slot.state != SlotState::Issued) {
      if (may_issue()) {
        issue_oldest();
      } else {
        SleepConditionVariableSRW(&reader.changed, &reader.lock, INFINITE, 0);
      }
    }
    slot.state = SlotState::Idle;
    ReleaseSRWLockExclusive(&reader.lock);
    if (slot.issue_error != 0) {
      *bytes_read = 0;
      return slot.issue_error == ERROR_HANDLE_EOF;
    }
    return overlapped_result(file, &slot.overlapped, bytes_read);
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
      if (slot.state == SlotState::Issued && slot.issue_error == 0 &&
          !HasOverlappedIoCompleted(&slot.overlapped)) {
        pending = true;
      }
    }
    if (pending) CancelIoEx(file, nullptr);
    // Whether cancelled or done meanwhile, each read has ended once its result is in.
    for (Slot& slot : reader.slots) {
      if (slot.state != SlotState::Issued) continue;
      std::uint32_t ignored = 0;
      if (slot.issue_error == 0) overlapped_result(file, &slot.overlapped, &ignored);
      slot.state = SlotState::Idle;
    }
  }
};

// Reads `size` bytes at `offset` of `file` into `buffer` on the calling thread and waits
// for them; returns whether the read succeeded, with its byte count in `bytes_read`. A read
// at or past the end succeeds with no bytes.
bool read_here(HANDLE file, std::int64_t offset, void* buffer, std::uint32_t size,
               std::uint32_t* bytes_read) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  // No event: with this the only read of the file in flight, the system signals the handle
  // when it ends, and under Wine setting an event would cost a call into its server.
  if (!ReadFile(file, buffer, size, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
    *bytes_read = 0;
    return GetLastError() == ERROR_HANDLE_EOF;
  }
  return overlapped_result(file, &overlapped, bytes_read);
}

}  // namespace

HashStatus read_file_chunks(HashWorker& worker, void* file, std::int64_t file_size,
                            ProgressSink sink) {
  if (file_size > kReadChunkSize && start_reader()) {
    ReaderThreadReads reads{file};
    return read_chunks_ahead(worker, file_size, reads, sink);
  }
  // A file of one chunk has nothing to read ahead: handing its read to another thread would
  // only add the handoff.
  std::int64_t position = 0;  // the handle keeps no file pointer for overlapped reads
  auto read = [file, &position](void* buffer, std::uint32_t size, std::uint32_t* bytes_read) {
    const bool ok = read_here(file, position, buffer, size, bytes_read);
    position += *bytes_read;
    return ok;
  };
  return read_all_chunks(worker, file_size, read, sink);
}
