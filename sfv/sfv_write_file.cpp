// The parts of the writer that take paths and write the file; the lines themselves are
// made in sfv_writer.cpp, which needs neither.
#include "sfv/sfv_writer.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "core/names/code_page.h"
#include "core/names/long_path.h"
#include "core/names/path_rules.h"

namespace {

wchar_t ascii_lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

template <class Text>
Text output_name(const Text& chosen, const Text& extension) {
  return has_sfv_extension(make_path(chosen)) ? chosen : chosen + extension;
}

// Returns why the existing file `name` (a name for the wide calls) cannot be replaced, or 0
// when it can or there is none. Windows refuses to rename over a read-only file, but a
// process with the right to change attributes (or Wine run as root) might not be stopped;
// and a program that holds the file open without sharing its deletion is found here as it
// would be by the rename, on every system.
DWORD replace_refused(const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;  // none there; the rename tells the rest
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_ALREADY_EXISTS;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_FILE_READ_ONLY;
  const HANDLE file = CreateFileW(name.c_str(), DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
  }
  CloseHandle(file);
  return 0;
}

// Writes `bytes` to the new file `name` (a name for the wide calls) and flushes them to the
// disk. Returns 0, or the error that stopped it, with no file left behind.
DWORD write_new_file(const std::wstring& name, std::string_view bytes) {
  // No sharing: nothing may read the list before it is whole.
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD error = 0;
  while (!bytes.empty() && error == 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
      error = GetLastError();
    } else if (written == 0) {
      error = ERROR_DISK_FULL;  // a write that takes nothing makes no progress
    }
    bytes.remove_prefix(written);
  }
  // Flushed before the rename, which may reach the disk first: after a power cut the
  // list's name must not stand for a file whose bytes were never written.
  if (error == 0 && !FlushFileBuffers(file)) error = GetLastError();
  if (!CloseHandle(file) && error == 0) error = GetLastError();
  if (error != 0) DeleteFileW(name.c_str());
  return error;
}

}  // namespace

bool has_sfv_extension(const boost::filesystem::path& path) {
  // On the UTF-16 leaf, which holds the name exactly whatever the code page.
  const std::wstring name = leaf(path.native());
  constexpr std::wstring_view kSfv = L".sfv";
  return name.size() >= kSfv.size() &&
         std::equal(kSfv.begin(), kSfv.end(), name.end() - kSfv.size(),
                    [](wchar_t sfv, wchar_t c) { return ascii_lower(c) == sfv; });
}

std::string sfv_output_name(const std::string& chosen) {
  return output_name(chosen, std::string(".sfv"));
}

std::wstring sfv_output_name(const std::wstring& chosen) {
  return output_name(chosen, std::wstring(L".sfv"));
}

std::vector<std::optional<std::string>> listed_names(const FileList& list) {
  std::vector<std::optional<std::string>> names(list.entries.size());
  // Each name in the code page, as lists have always been written, while every one has an
  // exact form there; else all of them in UTF-8, without a mark, as the checkers on Linux
  // write names and as most others read them. One encoding per list: a reader cannot tell
  // lines of two apart. This program reads such a list by the second reading of listed_path.
  for (const unsigned code_page : {0u, kUtf8CodePage}) {
    bool every_one = true;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const FileEntry& entry = list.entries[i];
      names[i].reset();
      if (entry.status != HashStatus::Complete) continue;
      names[i] = exact_8bit(leaf(entry.path.native()), code_page);
      every_one = every_one && names[i].has_value();
    }
    if (every_one) break;
  }
  return names;
}

SfvWriteResult write_sfv_file(const boost::filesystem::path& target, const FileList& list) {
  namespace fs = boost::filesystem;
  SfvWriteResult result;
  std::string bytes(kSfvHeader);
  const std::vector<std::optional<std::string>> names = listed_names(list);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i]) {
      bytes += sfv_data_line(*names[i], list.entries[i].computed);
    } else {
      ++result.left_out;
    }
  }
  if (result.left_out == list.count()) {
    result.outcome = SfvWriteResult::Outcome::NothingToWrite;
    return result;
  }
  // Every reader takes CR LF, and Windows' own tools expect it.
  std::string lines;
  lines.reserve(bytes.size() + bytes.size() / 16);
  for (const char c : bytes) {
    if (c == '\n') lines += '\r';
    lines += c;
  }

  // The target and the temporary file may each be too long for the 8-bit calls.
  const std::wstring target_name = path_for_wide_calls(target).native();
  result.error = replace_refused(target_name);
  if (result.error != 0) return result;
  boost::system::error_code no_name;
  const fs::path temporary =
      fs::unique_path(parent_folder(target) / "tallyrun-%%%%%%%%.tmp", no_name);
  if (no_name) {
    result.error = static_cast<std::uint32_t>(no_name.value());
    return result;
  }
  const std::wstring temporary_name = path_for_wide_calls(temporary).native();
  result.error = write_new_file(temporary_name, lines);
  if (result.error != 0) return result;
  // One step that either leaves the old file or puts the whole new one in its place; it
  // returns once the rename itself is on the disk.
  if (!MoveFileExW(temporary_name.c_str(), target_name.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    result.error = GetLastError();
    DeleteFileW(temporary_name.c_str());
    return result;
  }
  result.outcome = SfvWriteResult::Outcome::Written;
  return result;
}
