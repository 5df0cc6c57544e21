#include "core/names/long_path.h"

#include <windows.h>

bool is_long_path(const boost::filesystem::path& path) { return path.native().size() >= MAX_PATH; }

std::wstring full_path_name(const boost::filesystem::path& path) {
  const std::wstring& given = path.native();
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return std::wstring();
    if (length < full.size()) {  // it fitted; length leaves out the terminator
      full.resize(length);
      return full;
    }
    full.resize(length);  // too small: length is the size needed, terminator included
  }
}

std::wstring extended_length_name(const std::wstring& full) {
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring long_path_name(const boost::filesystem::path& path) {
  // The prefix turns off the system's own clean-up of a name, so it is done here first.
  const std::wstring full = full_path_name(path);
  if (full.empty()) return path.native();
  return extended_length_name(full);
}

boost::filesystem::path path_for_wide_calls(const boost::filesystem::path& path) {
  return is_long_path(path) ? boost::filesystem::path(long_path_name(path)) : path;
}
