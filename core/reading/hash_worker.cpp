#include "core/reading/hash_worker.h"

#include <stdexcept>

#include <windows.h>

#include "core/names/open_rules.h"

unsigned char* allocate_read_buffer() {
  return static_cast<unsigned char*>(VirtualAlloc(nullptr, kReadAheadSlots * kReadChunkSize,
                                                  MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

HashWorker::HashWorker() { hashers[0] = new FileHasher; }

HashWorker hash_worker;

// Share reading only: the file cannot change under us, and a file that someone holds open
// for writing is refused rather than read half-written. Unbuffered sequential reads keep a
// large check from flushing the system's file cache. A name that must not be opened (a
// device, a look-alike) is refused before the system sees it; what is opened is the very
// UTF-16 full path that was checked, so the system resolves the name only once. Opened
// overlapped, the handle takes reads at offsets, several in flight.
void* open_for_hashing(const boost::filesystem::path& path, bool overlapped, std::int64_t* size) {
  *size = -1;
  const std::optional<std::wstring> name = name_to_open(path);
  if (!name) return nullptr;
  const DWORD flags = FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                      FILE_ATTRIBUTE_NORMAL | (overlapped ? FILE_FLAG_OVERLAPPED : 0);
  HANDLE file = CreateFileW(name->c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // A pipe or a device (NUL, CON and COM1 are found in any folder) opens like a file, but
  // has no size to check its bytes against: it would pass as empty, or never end.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return nullptr;
  }
  LARGE_INTEGER file_size;
  if (GetFileSizeEx(file, &file_size)) *size = file_size.QuadPart;
  return file;
}
