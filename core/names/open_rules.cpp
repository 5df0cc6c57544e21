#include "core/names/open_rules.h"

#include <windows.h>

#include "core/names/long_path.h"

namespace {

// True when `full`, a full path as the system gives it, names a file on a drive (C:\...)
// or on a share (\\server\share\...). Devices come back as \\.\NAME; a name that already
// carries \\.\ or \\?\ reaches the system's device namespace without the usual rules.
bool names_a_disk_file(std::wstring_view full) {
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    return (full[0] >= L'A' && full[0] <= L'Z') || (full[0] >= L'a' && full[0] <= L'z');
  }
  return full.size() > 2 && full.starts_with(L"\\\\") && !full.starts_with(L"\\\\.\\") &&
         !full.starts_with(L"\\\\?\\");
}

// Returns the full path of `path` as the system resolves it, when the file may be opened.
std::optional<std::wstring> checked_full_path(const boost::filesystem::path& path) {
  // The check must see the name the system will act on: "COM1" is the serial port in every
  // folder, and opening it already raises the port's control lines.
  std::wstring full = full_path_name(path);
  if (!names_a_disk_file(full)) return std::nullopt;
  return full;
}

}  // namespace

std::optional<boost::filesystem::path> path_to_open(const boost::filesystem::path& path) {
  std::optional<std::wstring> full = checked_full_path(path);
  if (!full) return std::nullopt;
  for (wchar_t& c : *full) {
    if (c == L'\\') c = L'/';
  }
  return boost::filesystem::path(*full);
}

std::optional<std::wstring> name_to_open(const boost::filesystem::path& path) {
  std::optional<std::wstring> full = checked_full_path(path);
  if (full && full->size() >= MAX_PATH) return extended_length_name(*full);
  return full;
}

bool names_a_file(const boost::filesystem::path& path) {
  const std::optional<std::wstring> name = name_to_open(path);
  if (!name) return false;
  const DWORD attributes = GetFileAttributesW(name->c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
