#include "core/reading/read_ahead.h"

#include <optional>

#include <windows.h>

#include "core/reading/read_loop.h"
#include "core/reading/set_run.h"

namespace {

// Makes the hasher's slot events where they are missing, one manual-reset event per slot,
// which the system sets when that slot's read ends; returns whether all of them exist.
bool make_slot_events(FileHasher& hasher) {
  for (void*& event : hasher.slot_events) {
    if (event == nullptr) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return false;
  }
  return true;
}

// Returns whether reads of `file` end inside the call on any drive, for a reason of the
// file's own: the file system decompresses, decrypts or fills in a sparse file itself. Such a
// file tells nothing of how the other files of its volume read.
bool reads_in_call_of_its_own(HANDLE file) {
  FILE_BASIC_INFO info{};
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info)) return false;
  return (info.FileAttributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED |
                                 FILE_ATTRIBUTE_SPARSE_FILE)) != 0;
}

// One read into a chunk of the hasher's buffer.
struct ChunkRead {
  OVERLAPPED overlapped{};
  bool in_flight = false;  // given to the system; its result not yet taken
  // For a read that did not go to the system: ReadFile refused it at once, or it was made
  // in turn. Its result, for finish.
  bool made = false;
  bool made_ok = false;
  DWORD made_bytes = 0;
};

// A file that a hasher holds, from its open to its close: its handle, its size, the slot of
// its first read, every read of it and how they go. It is also the `reads` of the read loops
// (read_file_by_first_read), for a file larger than a chunk, which is held alone and so
// reads into every slot.
struct HeldFile {
  FileHasher* hasher = nullptr;
  RunVolume* volume = nullptr;
  HANDLE file = nullptr;          // owned; null when the file could not be opened
  bool overlapped = false;        // `file` takes reads at offsets only
  std::int64_t size = -1;         // -1 when it could not be taken
  // The chunk of the hasher's buffer and the event that the file's first read uses, and
  // that its reads in turn wait on where the handle is overlapped.
  std::uint32_t slot = 0;
  bool volume_turn = false;       // holds its volume's turn (take_volume_turn)
  // Where reads through an OVERLAPPED go: `file` when it is overlapped, else a second handle
  // that the first read opens to find out how reads end, and that is closed once they go on
  // in turn; null while there is none.
  HANDLE ahead = nullptr;
  std::int64_t in_turn_offset = 0;  // where the next read in turn of an overlapped file starts
  std::int64_t first_bytes = -1;    // a small file's first read: its bytes once taken
  ChunkRead reads[kReadAheadSlots];  // by slot of the hasher's buffer

  // Opens the second handle for the first read of a plain file, where the file's volume
  // still wants to know how reads end, or has learnt since the file was opened that they go
  // to a drive; returns whether it and the slots' events exist.
  bool open_second_handle() {
    const FirstReads seen = first_reads_of(*volume);
    if (overlapped ||
        !(seen == FirstReads::GoToADrive || asks_by_first_read(seen, size)) ||
        !make_slot_events(*hasher)) {
      return false;
    }
    HANDLE second = ReOpenFile(file, FILE_READ_DATA, FILE_SHARE_READ,
                               FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                                   FILE_FLAG_OVERLAPPED);
    if (second == INVALID_HANDLE_VALUE) return false;
    ahead = second;
    return true;
  }

  // A read in turn: at the file pointer of a plain file, at in_turn_offset of an
  // overlapped one, waiting for it there. A read at or past the end finds no bytes.
  bool read_in_turn(void* buffer, std::uint32_t count, std::uint32_t* bytes_read) {
    DWORD got = 0;
    *bytes_read = 0;
    if (!overlapped) {
      // No OVERLAPPED: under Wine a read that passes one costs a call into the Wine
      // server, as much again as the copy itself.
      const bool ok = ReadFile(file, buffer, count, &got, nullptr) != 0;
      *bytes_read = got;
      return ok;
    }
    OVERLAPPED read{};
    read.Offset = static_cast<DWORD>(in_turn_offset);
    read.OffsetHigh = static_cast<DWORD>(in_turn_offset >> 32);
    read.hEvent = hasher->slot_events[slot];
    const bool ok = (ReadFile(file, buffer, count, nullptr, &read) ||
                     GetLastError() == ERROR_IO_PENDING) &&
                    GetOverlappedResult(file, &read, &got, TRUE);
    if (!ok) return GetLastError() == ERROR_HANDLE_EOF;
    *bytes_read = got;
    in_turn_offset += got;
    return true;
  }

  void start(std::uint32_t read_slot, unsigned char* buffer, std::int64_t offset,
             std::uint32_t count) {
    ChunkRead& read = reads[read_slot];
    read.made = false;
    // The first read of a plain file opens the second handle, or is made here, in turn,
    // and ends in the call: the rest follow it in turn.
    if (ahead == nullptr && (offset != 0 || !open_second_handle())) {
      std::uint32_t got = 0;
      read.made = true;
      read.made_ok = read_in_turn(buffer, count, &got);
      read.made_bytes = got;
      return;
    }
    read.overlapped = OVERLAPPED{};
    read.overlapped.Offset = static_cast<DWORD>(offset);
    read.overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    read.overlapped.hEvent = hasher->slot_events[read_slot];
    if (ReadFile(ahead, buffer, count, nullptr, &read.overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
      read.in_flight = true;
      return;
    }
    // Refused at once; at the end that is a read that found no bytes.
    read.made = true;
    read.made_ok = GetLastError() == ERROR_HANDLE_EOF;
    read.made_bytes = 0;
  }

  // Under Wine, ReadFile of a cached file returns with the read made (though it may say it
  // is pending); on Windows an unbuffered read is queued at the drive, unless the file is
  // compressed, encrypted or sparse, or small enough to sit in its file record. What this
  // first read shows is kept for the volume's files after it (after_first_read).
  bool ended(std::uint32_t read_slot) {
    const ChunkRead& read = reads[read_slot];
    if (read.made) return true;
    const bool in_call = HasOverlappedIoCompleted(&read.overlapped);
    if (first_reads_of(*volume) != FirstReads::GoToADrive) {
      learn_first_reads(*volume, in_call, size, in_call && reads_in_call_of_its_own(file));
    }
    return in_call;
  }

  bool finish(std::uint32_t read_slot, std::uint32_t* bytes_read) {
    ChunkRead& read = reads[read_slot];
    if (read.made) {
      *bytes_read = read.made_bytes;
      return read.made_ok;
    }
    DWORD got = 0;
    const bool ok = GetOverlappedResult(ahead, &read.overlapped, &got, TRUE) != 0;
    const bool at_end = !ok && GetLastError() == ERROR_HANDLE_EOF;
    read.in_flight = false;
    *bytes_read = ok ? got : 0;
    return ok || at_end;
  }

  void cancel() {
    bool any = false;
    for (const ChunkRead& read : reads) any = any || read.in_flight;
    if (!any) return;
    CancelIoEx(ahead, nullptr);
    // Cancelled or done meanwhile, a read has ended only once its result is in.
    for (ChunkRead& read : reads) {
      if (!read.in_flight) continue;
      DWORD ignored = 0;
      GetOverlappedResult(ahead, &read.overlapped, &ignored, TRUE);
      read.in_flight = false;
    }
  }

  bool continue_in_turn(std::int64_t offset) {
    in_turn_offset = offset;
    if (overlapped) return true;
    if (ahead != nullptr) {
      CloseHandle(ahead);
      ahead = nullptr;
    }
    LARGE_INTEGER position;
    position.QuadPart = offset;
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
  }

  // Ends every read, closes both handles and lets the volume's next file be read.
  void close() {
    cancel();
    if (ahead != nullptr && ahead != file) CloseHandle(ahead);
    if (file != nullptr) CloseHandle(file);
    ahead = file = nullptr;
    if (volume_turn) end_volume_turn(*volume);
    volume_turn = false;
  }
};

// The file calls of hash_entries for the entries of a list: the files a hasher holds, each
// in a slot of its own. Each file is opened once, for reads in flight where its volume's
// reads have gone to a drive, else plain, its first read then asking through a second
// handle while the volume has not shown how reads end.
struct ListFiles {
  FileHasher& hasher;
  FileList& list;
  RunVolumes& volumes;
  HeldFile held[kReadAheadSlots];

  bool together(std::uint32_t index) const {
    const RunVolume& volume = volumes.of(index);
    return !one_file_at_a_time(volume.answer) && first_reads_of(volume) == FirstReads::GoToADrive;
  }

  std::optional<std::int64_t> open(std::uint32_t slot, std::uint32_t index) {
    HeldFile& file = held[slot];
    file = HeldFile{};
    file.hasher = &hasher;
    file.volume = &volumes.of(index);
    file.slot = slot;
    if (one_file_at_a_time(file.volume->answer)) {
      take_volume_turn(*file.volume);
      file.volume_turn = true;
    }
    file.overlapped =
        first_reads_of(*file.volume) == FirstReads::GoToADrive && make_slot_events(hasher);
    try {
      file.file = open_for_hashing(list.at(index).path, file.overlapped, &file.size);
    } catch (...) {
      file.file = nullptr;  // the name could not be made: as a file that cannot be opened
    }
    if (file.file == nullptr) {
      file.close();
      return std::nullopt;
    }
    if (file.overlapped) file.ahead = file.file;
    return file.size;
  }

  void start_first(std::uint32_t slot) {
    HeldFile& file = held[slot];
    file.first_bytes = -1;
    file.start(slot, slot_buffer(hasher, slot), 0, kReadChunkSize);
    file.ended(slot);  // what the volume learns from it
  }

  bool read(std::uint32_t slot, void* buffer, std::uint32_t size, std::uint32_t* bytes_read) {
    HeldFile& file = held[slot];
    if (file.first_bytes < 0) {
      const bool ok = file.finish(slot, bytes_read);
      file.first_bytes = *bytes_read;
      return ok;
    }
    // Only a whole first chunk is read on from, to find the end there.
    if (file.first_bytes == kReadChunkSize && !file.continue_in_turn(file.first_bytes)) {
      return false;
    }
    file.first_bytes = 0;
    return file.read_in_turn(buffer, size, bytes_read);
  }

  HashStatus hash_large(std::uint32_t slot, std::int64_t size, ProgressSink sink) {
    HeldFile& file = held[slot];
    auto read = [&file](void* buffer, std::uint32_t count, std::uint32_t* bytes_read) {
      return file.read_in_turn(buffer, count, bytes_read);
    };
    return read_file_by_first_read(hasher, size, file, read, sink);
  }

  void close(std::uint32_t slot) { held[slot].close(); }
};

void moved_nowhere(FileHasher&) {}

}  // namespace

void hash_list_entries(SetRun& run, FileHasher& hasher, FileList& list, RunVolumes& volumes,
                       ProgressSink sink, void (*moved)(FileHasher&)) {
  ListFiles files{hasher, list, volumes, {}};
  const auto store = [&list](FileHasher& by, std::uint32_t index, HashStatus status) {
    FileEntry& entry = list.at(index);
    // A file that was not read completely keeps its old `computed`: a CRC of part of a
    // file is no checksum of it.
    if (status == HashStatus::Complete) entry.computed = by.crc.checksum();
    entry.status = status;
  };
  hash_entries(run, hasher, files, sink, store, moved);
}

HashStatus hash_file(FileHasher& hasher, const boost::filesystem::path& path, ProgressSink sink) {
  // The very path of a run, over a list of one: what can raise comes before any open.
  try {
    FileList one;
    FileEntry entry;
    entry.path = path;
    one.append(entry);
    RunVolumes volumes;
    sort_into_volumes(
        volumes, 1, [&path](std::uint32_t) -> const std::wstring& { return path.native(); },
        [](std::uint32_t) { return SeekAnswer::NotAsked; });
    SetRun run;
    FileHasher* const self = &hasher;
    begin_set(run, &self, 1, 1);
    hash_list_entries(run, hasher, one, volumes, sink, moved_nowhere);
    return one.at(0).status;
  } catch (...) {
    return HashStatus::NotOpened;
  }
}
