// A fresh folder under the system's temporary folder, removed with all it holds when the
// test ends, and helpers to put files into it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class TempFolder {
 public:
  // Creates the folder; fails the test when it cannot.
  TempFolder();
  // Removes the folder and everything in it, however long their paths.
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Returns the folder's native path, without a final backslash.
  const std::string& path() const { return path_; }
  // Returns path() + "\" + name.
  std::string file(std::string_view name) const;
  // Writes `bytes` to the file `name` in binary and returns its full path; the path may be
  // longer than MAX_PATH.
  std::string write(std::string_view name, std::string_view bytes) const;
  // Creates the subfolder `name` and returns its full path.
  std::string make_folder(std::string_view name) const;
  // Creates nested subfolders whose full path is `length` characters long, past MAX_PATH if
  // asked, and returns that path. `length` must exceed path().size() + 1.
  std::string make_long_folder(std::size_t length) const;

 private:
  std::string path_;
};

// Writes `bytes` to the file at the native path `path`, of any length, in binary.
void write_file(const std::string& path, std::string_view bytes);

// Writes `bytes` to the file at the native path `path`, of any length, in binary; the path
// is UTF-16, so it may hold characters that the 8-bit code page lacks.
void write_file(const std::wstring& path, std::string_view bytes);

// Returns `text`, 8-bit in the system code page, as UTF-16.
std::wstring widen(std::string_view text);

// Makes `path` the current folder for the life of the object, then puts the old one back.
class CurrentFolder {
 public:
  explicit CurrentFolder(const std::string& path);
  ~CurrentFolder();
  CurrentFolder(const CurrentFolder&) = delete;
  CurrentFolder& operator=(const CurrentFolder&) = delete;

 private:
  std::wstring previous_;
};

// Returns the whole content of the file at `path`, of any length, read in binary; "" when
// it cannot be read.
std::string read_file(const std::string& path);
std::string read_file(const std::wstring& path);

// Returns the names in the folder at `path`, of any length, sorted, joined by '|'.
std::string folder_listing(const std::string& path);

// Returns `size` bytes of a fixed pseudo-random sequence, the same on every call.
std::string pseudo_random_bytes(std::size_t size, unsigned seed = 1);
