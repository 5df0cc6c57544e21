#include "tests/support/temp_folder.h"

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

TempFolder::TempFolder() {
  char base[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathA(sizeof base, base);
  EXPECT_GT(length, 0u) << "GetTempPathA failed, error " << GetLastError();
  static unsigned counter = 0;
  for (;;) {
    path_ = std::string(base) + "tallyrun-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(++counter);
    if (CreateDirectoryA(path_.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << "CreateDirectoryA(" << path_ << ") failed, error " << GetLastError();
      break;
    }
  }
}

TempFolder::~TempFolder() {
  boost::system::error_code error;
  boost::filesystem::remove_all(boost::filesystem::path(path_), error);
  EXPECT_FALSE(error) << "removing " << path_ << ": " << error.message();
}

std::string TempFolder::file(std::string_view name) const { return path_ + "\\" + std::string(name); }

std::string TempFolder::write(std::string_view name, std::string_view bytes) const {
  const std::string full = file(name);
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << "writing " << full;
  return full;
}

std::string TempFolder::make_folder(std::string_view name) const {
  const std::string full = file(name);
  EXPECT_TRUE(CreateDirectoryA(full.c_str(), nullptr))
      << "CreateDirectoryA(" << full << ") failed, error " << GetLastError();
  return full;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string folder_listing(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& item : boost::filesystem::directory_iterator(boost::filesystem::path(path))) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string listing;
  for (const std::string& name : names) listing += (listing.empty() ? "" : "|") + name;
  return listing;
}

std::string pseudo_random_bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state = state * 1664525u + 1013904223u;  // a plain LCG: fast, and the same everywhere
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}
