#include "core/open_rules.h"

#include <windows.h>

#include "core/long_path.h"

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

}  // namespace

std::optional<std::string> exact_8bit(std::wstring_view wide, unsigned code_page) {
  if (wide.empty()) return std::string();
  const int length = static_cast<int>(wide.size());
  // Without WC_NO_BEST_FIT_CHARS the system would put a look-alike in silently; with it, a
  // character without a form of its own becomes the default character and says so. UTF-8
  // and a few other code pages take neither the flag nor the report; the round trip below
  // finds every character they cannot hold all the same.
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* report = &used_default;
  auto convert = [&](char* text, int size) {
    return WideCharToMultiByte(code_page, flags, wide.data(), length, text, size, nullptr, report);
  };
  int size = convert(nullptr, 0);
  if (size == 0) {
    flags = 0;
    report = nullptr;
    size = convert(nullptr, 0);
  }
  if (size == 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(size), '\0');
  if (convert(text.data(), size) != size || used_default) return std::nullopt;
  const int back_size = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  std::wstring back(static_cast<std::size_t>(back_size), L'\0');
  if (back_size == 0 ||
      MultiByteToWideChar(code_page, 0, text.data(), size, back.data(), back_size) != back_size ||
      back != wide) {
    return std::nullopt;
  }
  return text;
}

std::optional<boost::filesystem::path> path_to_open(const boost::filesystem::path& path) {
  // Both checks must see the name the system will act on: "COM1" is the serial port in
  // every folder, and opening it already raises the port's control lines; the current
  // folder, too, may hold a character that the code page lacks.
  std::wstring full = full_path_name(path);
  if (!names_a_disk_file(full) || !exact_8bit(full)) return std::nullopt;
  for (wchar_t& c : full) {
    if (c == L'\\') c = L'/';
  }
  return boost::filesystem::path(full);
}
