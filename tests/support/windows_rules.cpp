// A layer loaded into tallyrun.exe under test (see windows_rules.h) that makes Wine keep
// rules which Windows enforces and Wine 8 does not, by replacing the program's import-table
// entries for these kernel32 calls:
// - WideCharToMultiByte and MultiByteToWideChar refuse, for UTF-8 and GB18030, any flag but
//   the one that asks to fail on invalid characters, which other code pages refuse; ISO 2022,
//   ISCII, UTF-7 and Symbol take no flag, and UTF-8 and UTF-7 no default character;
// - CreateFileA/W refuse a full path of MAX_PATH characters or more without the \\?\ prefix;
// - ReadFile on a handle opened with FILE_FLAG_NO_BUFFERING refuses a buffer, size or
//   offset off a 4096-byte boundary;
// - ReadFile with an OVERLAPPED on a handle opened with FILE_FLAG_OVERLAPPED goes pending
//   and ends 1 to 3 ms later on the layer's thread, as a read at the drive does, with
//   GetOverlappedResult, CancelIoEx and CloseHandle to match.
// It counts the files opened for unbuffered reading that are open at once. With
// TALLYRUN_RULES_SEEK_PENALTY set to 0 or 1, a volume (\\?\Volume{...}) opens, and answers
// the question whether it incurs a seek penalty with that value, as a drive's driver does
// on Windows; set to "none", it opens but fails the question with ERROR_NOT_SUPPORTED, as
// the drivers of USB bridges, hardware RAID and spanned volumes do; unset, the volume does
// not open (ERROR_ACCESS_DENIED), as where the program may not open it. Wine 8 itself opens
// it and then fails the question; while the knob is set, GetProcAddress finds no
// wine_get_version, so that the program takes the layer's volumes for a Windows drive's.
// TALLYRUN_RULES_THREADS=N lets the program make N threads; CreateThread fails after them.
// Two knobs make overlapped reads of some files end inside ReadFile, as Windows ends them
// for files whose data does not come from the drive in that read: TALLYRUN_RULES_IN_CALL,
// a list of name parts separated by spaces, stands for compressed files, for which
// GetFileInformationByHandle and GetFileInformationByHandleEx (FileBasicInfo) also report
// FILE_ATTRIBUTE_COMPRESSED; TALLYRUN_RULES_IN_CALL_UP_TO=BYTES stands for files of at most
// that many bytes whose data sits in their file record, with no attribute of their own.
// Three more knobs from the environment stand for disks and files that misbehave, each a
// list of "name-part:number" separated by spaces, for files whose name holds the part:
// TALLYRUN_RULES_FAIL_READ fails that file's overlapped read of that number (from 1) with a
// data error; TALLYRUN_RULES_SIZE_SHIFT adds the number to the size that GetFileSizeEx
// reports, so that the file looks grown (less) or shrunk (more) when it is read;
// TALLYRUN_RULES_DELAY_MS makes the file's overlapped reads end that much later.
#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>

#include "tests/support/windows_rules.h"

namespace {

constexpr LONG kStatusPending = 0x103;
constexpr LONG kStatusEndOfFile = static_cast<LONG>(0xC0000011);
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
constexpr LONG kStatusDataError = static_cast<LONG>(0xC000009C);  // ERROR_CRC
constexpr LONG kStatusUnsuccessful = static_cast<LONG>(0xC0000001);
constexpr std::uintptr_t kSector = 4096;

WindowsRulesCounts no_counts;  // where counting goes if the shared block cannot be made
WindowsRulesCounts* counts = &no_counts;

struct File {
  HANDLE handle = nullptr;  // null: a free entry
  DWORD flags = 0;          // the FILE_FLAG_* it was opened with
  wchar_t name[128] = {};   // the end of its path, for the knobs
  LONG overlapped_reads = 0;
  bool counted = false;     // among counts->files_open
  bool volume = false;      // stands for a volume: answers the seek penalty knob
  int seek_answer = 0;      // a volume's: 0 or 1, or kNoSeekAnswer
  bool compressed = false;  // TALLYRUN_RULES_IN_CALL names it: its reads end in the call
  bool resident = false;    // TALLYRUN_RULES_IN_CALL_UP_TO holds its size: the same
  bool went_pending = false;  // one of its reads went pending
};

// What TALLYRUN_RULES_SEEK_PENALTY gives a volume: a penalty (1), none (0), no answer to
// the question, or no volume to open.
constexpr int kNoSeekAnswer = 2;
constexpr int kNoVolume = -1;

struct Read {
  OVERLAPPED* overlapped = nullptr;  // null: a free entry
  HANDLE file = nullptr;
  void* buffer = nullptr;
  DWORD size = 0;
  LONGLONG due = 0;      // the QueryPerformanceCounter time at which it may end
  bool fail = false;     // a knob fails it
  bool running = false;  // the layer's thread is making it: nobody else may end it
};

// Guards both tables and the thread's start; `changed` wakes the thread and the waiters
// whenever a read comes or goes.
SRWLOCK lock = SRWLOCK_INIT;
CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
File files[256];
Read reads[64];
// Hashes of the names of the files that went pending, so that the second handle of a file
// counts with its first in counts->files_pending.
std::uint64_t pending_names[1024];
std::size_t pending_name_count = 0;
bool thread_started = false;
unsigned delay_turn = 0;
BOOLEAN(WINAPI* shutdown_in_progress)() = nullptr;  // ntdll's RtlDllShutdownInProgress

LONGLONG now_ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

LONGLONG ticks_per_ms() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart / 1000;
}

void refuse(volatile LONG& count, DWORD error) {
  InterlockedIncrement(&count);
  SetLastError(error);
}

// Returns the number that the knob `variable` gives for `name`, or 0 when none does; an
// item with no ":number" gives 1.
long long knob(const wchar_t* variable, const wchar_t* name) {
  wchar_t text[1024];
  const DWORD length = GetEnvironmentVariableW(variable, text, 1024);
  if (length == 0 || length >= 1024) return 0;
  for (wchar_t* item = text;;) {
    wchar_t* end = item + std::wcscspn(item, L" ");
    const bool last = *end == L'\0';
    *end = L'\0';
    wchar_t* colon = std::wcsrchr(item, L':');
    const bool numbered = colon != nullptr && colon != item;
    if (numbered) *colon = L'\0';
    if (*item != L'\0' && std::wcsstr(name, item) != nullptr) {
      return numbered ? std::wcstoll(colon + 1, nullptr, 10) : 1;
    }
    if (last) break;
    item = end + 1;
  }
  return 0;
}

// Returns whether the reads of the file `handle` end in the call because
// TALLYRUN_RULES_IN_CALL_UP_TO holds its real size.
bool resident_by_size(HANDLE handle) {
  wchar_t text[32];
  const DWORD length = GetEnvironmentVariableW(L"TALLYRUN_RULES_IN_CALL_UP_TO", text, 32);
  LARGE_INTEGER size;
  return length > 0 && length < 32 && GetFileSizeEx(handle, &size) &&
         size.QuadPart <= std::wcstoll(text, nullptr, 10);
}

// The lock is held by the callers of these.
File* find_file(HANDLE handle) {
  for (File& file : files) {
    if (file.handle == handle) return &file;
  }
  return nullptr;
}

File* remember(HANDLE handle, DWORD flags, const wchar_t* name) {
  File* file = find_file(nullptr);
  if (file != nullptr) {
    *file = File{handle, flags, {}, 0};
    const std::size_t length = std::wcslen(name);
    std::wcsncpy(file->name, name + (length < 127 ? 0 : length - 127), 127);
    file->compressed = knob(L"TALLYRUN_RULES_IN_CALL", file->name) != 0;
    file->resident = resident_by_size(handle);
  }
  return file;
}

// Counts `file`, whose read just went pending, among counts->files_pending unless a
// handle of a file of the same name was counted before. Under the lock.
void count_pending(File& file) {
  if (file.went_pending) return;
  file.went_pending = true;
  std::uint64_t hash = 14695981039346656037u;  // FNV-1a
  for (const wchar_t* c = file.name; *c != L'\0'; ++c) hash = (hash ^ *c) * 1099511628211u;
  for (std::size_t i = 0; i < pending_name_count; ++i) {
    if (pending_names[i] == hash) return;
  }
  if (pending_name_count < std::size(pending_names)) pending_names[pending_name_count++] = hash;
  ++counts->files_pending;
}

// Counts `file`, just opened by CreateFile, among the files open at once if it is opened
// for unbuffered reading, as the program opens the files it hashes. Under the lock.
void count_open(File& file) {
  file.counted = (file.flags & FILE_FLAG_NO_BUFFERING) != 0;
  if (file.counted && ++counts->files_open > counts->files_open_most) {
    counts->files_open_most = counts->files_open;
  }
}

// Returns what TALLYRUN_RULES_SEEK_PENALTY gives a volume: 0, 1 or kNoSeekAnswer ("none");
// kNoVolume when it is not set.
int seek_penalty_knob() {
  wchar_t value[8];
  const DWORD length = GetEnvironmentVariableW(L"TALLYRUN_RULES_SEEK_PENALTY", value, 8);
  if (length == 0 || length >= 8) return kNoVolume;
  if (std::wcscmp(value, L"0") == 0 || std::wcscmp(value, L"1") == 0) return value[0] == L'1';
  return std::wcscmp(value, L"none") == 0 ? kNoSeekAnswer : kNoVolume;
}

Read* find_read(const OVERLAPPED* overlapped) {
  for (Read& read : reads) {
    if (read.overlapped == overlapped) return &read;
  }
  return nullptr;
}

// Ends `read` as the system does: its result into the OVERLAPPED, the status last, then its
// event; from then on the layer does not touch its OVERLAPPED or buffer.
void end_read(Read& read, LONG status, DWORD bytes) {
  read.overlapped->InternalHigh = bytes;
  MemoryBarrier();
  read.overlapped->Internal = static_cast<ULONG>(status);
  const auto event = reinterpret_cast<HANDLE>(
      reinterpret_cast<std::uintptr_t>(read.overlapped->hEvent) & ~std::uintptr_t{1});
  if (event != nullptr) SetEvent(event);
  if (status == kStatusCancelled) InterlockedIncrement(&counts->reads_cancelled);
  read = Read{};
  WakeAllConditionVariable(&changed);
}

// Makes `read` for real on its overlapped handle, into its buffer, and returns its status.
LONG make_read(const Read& read, HANDLE event, DWORD& bytes) {
  OVERLAPPED own{};
  own.Offset = read.overlapped->Offset;
  own.OffsetHigh = read.overlapped->OffsetHigh;
  own.hEvent = event;
  BOOL ok = ReadFile(read.file, read.buffer, read.size, &bytes, &own);
  if (!ok && GetLastError() == ERROR_IO_PENDING) {
    ok = GetOverlappedResult(read.file, &own, &bytes, TRUE);
  }
  if (ok) return 0;
  bytes = 0;
  if (GetLastError() == ERROR_HANDLE_EOF) return kStatusEndOfFile;
  const LONG status = static_cast<LONG>(own.Internal);
  return status < 0 ? status : kStatusUnsuccessful;
}

// The layer's thread: ends each pending read once it is due, oldest due first.
DWORD WINAPI end_reads(void*) {
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const LONGLONG per_ms = ticks_per_ms();
  AcquireSRWLockExclusive(&lock);
  for (;;) {
    Read* next = nullptr;
    for (Read& read : reads) {
      if (read.overlapped != nullptr && !read.running && (!next || read.due < next->due)) {
        next = &read;
      }
    }
    const LONGLONG now = now_ticks();
    if (next == nullptr || next->due > now) {
      const DWORD wait = next ? static_cast<DWORD>((next->due - now) / per_ms + 1) : INFINITE;
      SleepConditionVariableSRW(&changed, &lock, wait, 0);
      continue;
    }
    next->running = true;
    const Read read = *next;
    ReleaseSRWLockExclusive(&lock);
    DWORD bytes = 0;
    const LONG status = read.fail ? kStatusDataError : make_read(read, event, bytes);
    AcquireSRWLockExclusive(&lock);
    end_read(*next, status, bytes);
  }
}

// Ends the reads of `file` (only that of `overlapped` unless it is null) that have not
// started, as cancelled, and returns how many reads of it were found. With `wait`, returns
// only once none of them is running either.
int cancel_reads(HANDLE file, const OVERLAPPED* overlapped, bool wait) {
  int found = 0;
  for (;;) {
    bool running = false;
    for (Read& read : reads) {
      if (read.overlapped == nullptr || read.file != file ||
          (overlapped != nullptr && read.overlapped != overlapped)) {
        continue;
      }
      ++found;
      if (read.running) {
        running = true;
      } else {
        end_read(read, kStatusCancelled, 0);
      }
    }
    if (!running || !wait) return found;
    SleepConditionVariableSRW(&changed, &lock, INFINITE, 0);
  }
}

bool is_long_path(const wchar_t* name) {
  if (std::wcsncmp(name, L"\\\\?\\", 4) == 0) return false;
  return GetFullPathNameW(name, 0, nullptr, nullptr) > MAX_PATH;  // the size with its end
}

UINT code_page_of(UINT code_page) {
  return code_page == CP_ACP || code_page == CP_THREAD_ACP ? GetACP() : code_page;
}

// The code pages that take no flag but the one that asks to fail on invalid characters.
bool takes_only_invalid_flag(UINT code_page) {
  return code_page == CP_UTF8 || code_page == 54936;
}

// The code pages that take no flag at all: ISO 2022, ISCII, UTF-7 and Symbol.
bool takes_no_flag(UINT code_page) {
  return (code_page >= 50220 && code_page <= 50229) ||
         (code_page >= 57002 && code_page <= 57011) || code_page == CP_UTF7 || code_page == 42;
}

int WINAPI wide_char_to_multi_byte(UINT code_page, DWORD flags, LPCWCH wide, int wide_length,
                                   LPSTR text, int size, LPCCH default_char,
                                   LPBOOL used_default) {
  const UINT page = code_page_of(code_page);
  const DWORD allowed = takes_only_invalid_flag(page) ? WC_ERR_INVALID_CHARS
                        : takes_no_flag(page)         ? 0
                                                      : ~DWORD{WC_ERR_INVALID_CHARS};
  if ((flags & ~allowed) != 0) {
    refuse(counts->flags_refused, ERROR_INVALID_FLAGS);
    return 0;
  }
  if ((page == CP_UTF8 || page == CP_UTF7) && (default_char || used_default)) {
    refuse(counts->flags_refused, ERROR_INVALID_PARAMETER);
    return 0;
  }
  return WideCharToMultiByte(code_page, flags, wide, wide_length, text, size, default_char,
                             used_default);
}

int WINAPI multi_byte_to_wide_char(UINT code_page, DWORD flags, LPCCH text, int length,
                                   LPWSTR wide, int size) {
  const UINT page = code_page_of(code_page);
  if ((takes_only_invalid_flag(page) && (flags & ~DWORD{MB_ERR_INVALID_CHARS}) != 0) ||
      (takes_no_flag(page) && flags != 0)) {
    refuse(counts->flags_refused, ERROR_INVALID_FLAGS);
    return 0;
  }
  return MultiByteToWideChar(code_page, flags, text, length, wide, size);
}

// Opens a file through `open` unless its path is too long, and keeps its flags and name.
// A volume (its name with no '\' after the braces) opens as NUL and answers for the volume
// where the seek penalty knob answers for it, and does not open where it does not.
template <class Open>
HANDLE open_file(const wchar_t* name, DWORD flags, Open open) {
  if (name != nullptr && is_long_path(name)) {
    refuse(counts->long_paths_refused, ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const bool volume = name != nullptr && std::wcsncmp(name, L"\\\\?\\Volume{", 11) == 0 &&
                      name[std::wcscspn(name + 4, L"\\") + 4] == L'\0';
  const int seek_answer = volume ? seek_penalty_knob() : kNoVolume;
  if (volume && seek_answer == kNoVolume) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE file = volume ? CreateFileW(L"NUL", 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr)
                             : open();
  if (file != INVALID_HANDLE_VALUE) {
    AcquireSRWLockExclusive(&lock);
    if (File* remembered = remember(file, flags, name ? name : L"")) {
      remembered->volume = volume;
      remembered->seek_answer = seek_answer;
      count_open(*remembered);
    }
    ReleaseSRWLockExclusive(&lock);
  }
  return file;
}

HANDLE WINAPI create_file_w(LPCWSTR name, DWORD access, DWORD share,
                            LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                            HANDLE model) {
  return open_file(name, flags, [&] {
    return CreateFileW(name, access, share, security, disposition, flags, model);
  });
}

HANDLE WINAPI create_file_a(LPCSTR name, DWORD access, DWORD share,
                            LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                            HANDLE model) {
  std::wstring wide(name ? std::strlen(name) + 1 : 1, L'\0');
  if (name != nullptr) {
    MultiByteToWideChar(AreFileApisANSI() ? CP_ACP : CP_OEMCP, 0, name, -1, wide.data(),
                        static_cast<int>(wide.size()));
  }
  return open_file(wide.c_str(), flags, [&] {
    return CreateFileA(name, access, share, security, disposition, flags, model);
  });
}

HANDLE WINAPI reopen_file(HANDLE original, DWORD access, DWORD share, DWORD flags) {
  const HANDLE file = ReOpenFile(original, access, share, flags);
  if (file != INVALID_HANDLE_VALUE) {
    AcquireSRWLockExclusive(&lock);
    const File* from = find_file(original);
    wchar_t name[128] = {};
    if (from != nullptr) std::wcscpy(name, from->name);
    remember(file, flags, name);
    ReleaseSRWLockExclusive(&lock);
  }
  return file;
}

// Makes `read` of a file whose reads end in the call before returning, as Windows does: the
// result in the OVERLAPPED, its event set and TRUE; a read that fails (at the end, or by
// the fail knob) returns FALSE with the error and sets no event.
BOOL read_in_call(const Read& read, LPDWORD bytes) {
  InterlockedIncrement(&counts->reads_in_call);
  DWORD got = 0;
  LONG status = kStatusDataError;
  DWORD error = ERROR_CRC;
  if (!read.fail) {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    status = make_read(read, event, got);
    error = GetLastError();
    if (event != nullptr) CloseHandle(event);
  }
  read.overlapped->InternalHigh = got;
  read.overlapped->Internal = static_cast<ULONG>(status);
  if (bytes != nullptr) *bytes = got;
  if (status != 0) {
    SetLastError(error);
    return FALSE;
  }
  const auto event = reinterpret_cast<HANDLE>(
      reinterpret_cast<std::uintptr_t>(read.overlapped->hEvent) & ~std::uintptr_t{1});
  if (event != nullptr) SetEvent(event);
  return TRUE;
}

BOOL WINAPI read_file(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD bytes,
                      LPOVERLAPPED overlapped) {
  AcquireSRWLockExclusive(&lock);
  File* file = find_file(handle);
  if (file == nullptr) {
    ReleaseSRWLockExclusive(&lock);
    return ReadFile(handle, buffer, size, bytes, overlapped);
  }
  LARGE_INTEGER offset{};
  if (overlapped != nullptr) {
    offset.LowPart = overlapped->Offset;
    offset.HighPart = static_cast<LONG>(overlapped->OffsetHigh);
  } else {
    SetFilePointerEx(handle, LARGE_INTEGER{}, &offset, FILE_CURRENT);
  }
  if ((file->flags & FILE_FLAG_NO_BUFFERING) != 0 &&
      (reinterpret_cast<std::uintptr_t>(buffer) % kSector != 0 || size % kSector != 0 ||
       offset.QuadPart % static_cast<LONGLONG>(kSector) != 0)) {
    ReleaseSRWLockExclusive(&lock);
    refuse(counts->unaligned_refused, ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (overlapped != nullptr && (file->flags & FILE_FLAG_OVERLAPPED) != 0 &&
      (file->compressed || file->resident)) {
    const bool fail = knob(L"TALLYRUN_RULES_FAIL_READ", file->name) == ++file->overlapped_reads;
    ReleaseSRWLockExclusive(&lock);
    return read_in_call(Read{overlapped, handle, buffer, size, 0, fail, true}, bytes);
  }
  Read* read = overlapped ? find_read(nullptr) : nullptr;
  if ((file->flags & FILE_FLAG_OVERLAPPED) == 0 || read == nullptr) {
    ReleaseSRWLockExclusive(&lock);
    return ReadFile(handle, buffer, size, bytes, overlapped);
  }
  count_pending(*file);
  const LONG number = ++file->overlapped_reads;
  const LONGLONG delay_ms =
      1 + delay_turn++ % 3 + knob(L"TALLYRUN_RULES_DELAY_MS", file->name);
  *read = Read{overlapped, handle, buffer, size, now_ticks() + delay_ms * ticks_per_ms(),
               knob(L"TALLYRUN_RULES_FAIL_READ", file->name) == number, false};
  overlapped->InternalHigh = 0;
  overlapped->Internal = kStatusPending;
  const auto event = reinterpret_cast<HANDLE>(
      reinterpret_cast<std::uintptr_t>(overlapped->hEvent) & ~std::uintptr_t{1});
  if (event != nullptr) ResetEvent(event);
  if (!thread_started) {
    const HANDLE thread = CreateThread(nullptr, 0, end_reads, nullptr, 0, nullptr);
    thread_started = thread != nullptr;
    if (thread) CloseHandle(thread);
  }
  WakeAllConditionVariable(&changed);
  ReleaseSRWLockExclusive(&lock);
  InterlockedIncrement(&counts->reads_pending);
  if (bytes != nullptr) *bytes = 0;
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL WINAPI get_overlapped_result(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytes,
                                  BOOL wait) {
  AcquireSRWLockExclusive(&lock);
  while (overlapped != nullptr && find_read(overlapped) != nullptr) {
    if (!wait) {
      ReleaseSRWLockExclusive(&lock);
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    SleepConditionVariableSRW(&changed, &lock, INFINITE, 0);
  }
  ReleaseSRWLockExclusive(&lock);
  // Ended: the system's own call reads the result from the OVERLAPPED.
  return GetOverlappedResult(file, overlapped, bytes, wait);
}

// On a file whose reads all pass through the layer, it alone knows what is in flight:
// with none, Windows fails the call (Wine does not).
BOOL WINAPI cancel_io_ex(HANDLE file, LPOVERLAPPED overlapped) {
  AcquireSRWLockExclusive(&lock);
  const bool known = find_file(file) != nullptr;
  const int found = cancel_reads(file, overlapped, false);
  ReleaseSRWLockExclusive(&lock);
  if (found > 0) return TRUE;
  if (!known) return CancelIoEx(file, overlapped);
  SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

// A handle closed with reads in flight: those not started end as cancelled, a running one
// is waited for, so nothing is written for it after the handle is gone. Once the process
// is ending, the layer's thread may have been stopped inside the lock or a read: the
// handles that the runtime closes then go straight to the system.
BOOL WINAPI close_handle(HANDLE handle) {
  if (shutdown_in_progress != nullptr && shutdown_in_progress()) return CloseHandle(handle);
  AcquireSRWLockExclusive(&lock);
  if (File* file = find_file(handle)) {
    cancel_reads(handle, nullptr, true);
    if (file->counted) --counts->files_open;
    *file = File{};
  }
  ReleaseSRWLockExclusive(&lock);
  return CloseHandle(handle);
}

BOOL WINAPI get_file_size_ex(HANDLE handle, PLARGE_INTEGER size) {
  if (!GetFileSizeEx(handle, size)) return FALSE;
  AcquireSRWLockExclusive(&lock);
  if (const File* file = find_file(handle)) {
    size->QuadPart += knob(L"TALLYRUN_RULES_SIZE_SHIFT", file->name);
  }
  ReleaseSRWLockExclusive(&lock);
  return TRUE;
}

// Returns whether `handle` is a file that TALLYRUN_RULES_IN_CALL names as compressed.
bool is_compressed(HANDLE handle) {
  AcquireSRWLockExclusive(&lock);
  const File* file = find_file(handle);
  const bool compressed = file != nullptr && file->compressed;
  ReleaseSRWLockExclusive(&lock);
  return compressed;
}

// `attributes` with FILE_ATTRIBUTE_COMPRESSED, which NORMAL may not stand beside.
DWORD with_compressed(DWORD attributes) {
  return (attributes & ~DWORD{FILE_ATTRIBUTE_NORMAL}) | FILE_ATTRIBUTE_COMPRESSED;
}

// The file's information, a file named compressed by the knob marked so.
BOOL WINAPI get_file_information_by_handle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
  if (!GetFileInformationByHandle(handle, info)) return FALSE;
  if (is_compressed(handle)) info->dwFileAttributes = with_compressed(info->dwFileAttributes);
  return TRUE;
}

// The file's information of class `type`; its basic information marks a file named
// compressed by the knob so.
BOOL WINAPI get_file_information_by_handle_ex(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type,
                                              LPVOID info, DWORD size) {
  if (!GetFileInformationByHandleEx(handle, type, info, size)) return FALSE;
  if (type == FileBasicInfo && is_compressed(handle)) {
    auto* basic = static_cast<FILE_BASIC_INFO*>(info);
    basic->FileAttributes = with_compressed(basic->FileAttributes);
  }
  return TRUE;
}

// Answers, for a volume that the knob opened, whether it incurs a seek penalty, or fails
// the question where the knob gives no answer; passes everything else on.
BOOL WINAPI device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                              DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
  AcquireSRWLockExclusive(&lock);
  const File* file = find_file(device);
  const bool volume = file != nullptr && file->volume;
  const int seek_answer = volume ? file->seek_answer : kNoVolume;
  ReleaseSRWLockExclusive(&lock);
  if (!volume) {
    return DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
  }
  const auto* query = static_cast<const STORAGE_PROPERTY_QUERY*>(in);
  if (code != IOCTL_STORAGE_QUERY_PROPERTY || in_size < sizeof *query ||
      query->PropertyId != StorageDeviceSeekPenaltyProperty ||
      out_size < sizeof(DEVICE_SEEK_PENALTY_DESCRIPTOR)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  InterlockedIncrement(&counts->seek_questions);
  if (seek_answer == kNoSeekAnswer) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  DEVICE_SEEK_PENALTY_DESCRIPTOR answer{};
  answer.Version = answer.Size = sizeof answer;
  answer.IncursSeekPenalty = seek_answer == 1;
  std::memcpy(out, &answer, sizeof answer);
  if (returned != nullptr) *returned = sizeof answer;
  return TRUE;
}

// With TALLYRUN_RULES_THREADS=N, the program's CreateThread makes N threads and then fails
// as it does where the system has no memory for another, so that a run must go on with the
// threads it got.
HANDLE WINAPI create_thread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                            LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                            LPDWORD id) {
  static LONG made = 0;
  wchar_t text[16];
  const DWORD length = GetEnvironmentVariableW(L"TALLYRUN_RULES_THREADS", text, 16);
  if (length > 0 && length < 16 && InterlockedIncrement(&made) > std::wcstol(text, nullptr, 10)) {
    InterlockedIncrement(&counts->threads_refused);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return CreateThread(security, stack, start, parameter, flags, id);
}

// While TALLYRUN_RULES_SEEK_PENALTY is set the layer's volumes stand for a Windows drive's,
// so the program must not take them for Wine's, which it would ask no further: Wine's own
// mark, the export wine_get_version, is not found.
FARPROC WINAPI get_proc_address(HMODULE module, LPCSTR name) {
  if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::strcmp(name, "wine_get_version") == 0 &&
      GetEnvironmentVariableW(L"TALLYRUN_RULES_SEEK_PENALTY", nullptr, 0) > 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return GetProcAddress(module, name);
}

struct Hook {
  const char* name;
  void* replacement;
};

const Hook hooks[] = {
    {"WideCharToMultiByte", reinterpret_cast<void*>(wide_char_to_multi_byte)},
    {"MultiByteToWideChar", reinterpret_cast<void*>(multi_byte_to_wide_char)},
    {"CreateFileA", reinterpret_cast<void*>(create_file_a)},
    {"CreateFileW", reinterpret_cast<void*>(create_file_w)},
    {"ReOpenFile", reinterpret_cast<void*>(reopen_file)},
    {"ReadFile", reinterpret_cast<void*>(read_file)},
    {"GetOverlappedResult", reinterpret_cast<void*>(get_overlapped_result)},
    {"CancelIoEx", reinterpret_cast<void*>(cancel_io_ex)},
    {"CloseHandle", reinterpret_cast<void*>(close_handle)},
    {"GetFileSizeEx", reinterpret_cast<void*>(get_file_size_ex)},
    {"DeviceIoControl", reinterpret_cast<void*>(device_io_control)},
    {"GetFileInformationByHandle", reinterpret_cast<void*>(get_file_information_by_handle)},
    {"GetFileInformationByHandleEx", reinterpret_cast<void*>(get_file_information_by_handle_ex)},
    {"GetProcAddress", reinterpret_cast<void*>(get_proc_address)},
    {"CreateThread", reinterpret_cast<void*>(create_thread)},
};

// Points the program's import-table entries for the calls above at the layer, wherever the
// program imports them from kernel32 or KERNELBASE; returns how many it replaced. The exe is
// linked statically, so its runtime's calls go through this one table too.
int replace_imports() {
  auto* base = reinterpret_cast<char*>(GetModuleHandleW(nullptr));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  int replaced = 0;
  for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       imports.VirtualAddress != 0 && dll->Name != 0; ++dll) {
    const char* dll_name = base + dll->Name;
    if (_stricmp(dll_name, "kernel32.dll") != 0 && _stricmp(dll_name, "kernelbase.dll") != 0) {
      continue;
    }
    auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
        base + (dll->OriginalFirstThunk ? dll->OriginalFirstThunk : dll->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      for (const Hook& hook : hooks) {
        DWORD protection = 0;
        if (std::strcmp(name, hook.name) != 0 ||
            !VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                            &protection)) {
          continue;
        }
        slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook.replacement);
        VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
        ++replaced;
      }
    }
  }
  return replaced;
}

}  // namespace

// Makes the shared block of counts and replaces the imports. Fails the load (FALSE) when
// the program imports none of the calls, so that a test cannot pass without the rules.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  DisableThreadLibraryCalls(instance);
  shutdown_in_progress = reinterpret_cast<BOOLEAN(WINAPI*)()>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
  const HANDLE block = CreateFileMappingW(
      INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(WindowsRulesCounts),
      windows_rules_block_name(GetCurrentProcessId()).c_str());
  if (block != nullptr) {
    if (void* view = MapViewOfFile(block, FILE_MAP_WRITE, 0, 0, sizeof(WindowsRulesCounts))) {
      counts = static_cast<WindowsRulesCounts*>(view);
    }
  }
  return replace_imports() > 0;
}
