#include "tests/support/temp_folder.h"

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "core/names/long_path.h"

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
  // Under its extended-length name, so that the long paths inside are reached too.
  boost::filesystem::remove_all(long_path_name(boost::filesystem::path(path_)), error);
  EXPECT_FALSE(error) << "removing " << path_ << ": " << error.message();
}

std::string TempFolder::file(std::string_view name) const { return path_ + "\\" + std::string(name); }

std::string TempFolder::write(std::string_view name, std::string_view bytes) const {
  const std::string full = file(name);
  write_file(full, bytes);
  return full;
}

std::string TempFolder::make_folder(std::string_view name) const {
  const std::string full = file(name);
  EXPECT_TRUE(CreateDirectoryA(full.c_str(), nullptr))
      << "CreateDirectoryA(" << full << ") failed, error " << GetLastError();
  return full;
}

std::string TempFolder::make_long_folder(std::size_t length) const {
  EXPECT_GT(length, path_.size() + 1) << "no room for a subfolder";
  std::string full = path_;
  while (full.size() + 1 < length) {
    // Elements of 100 characters until the last, which takes the rest (1 to 200).
    const std::size_t rest = length - full.size() - 1;
    full += '\\';
    full.append(rest > 200 ? 100 : rest, 'd');
    boost::system::error_code error;
    boost::filesystem::create_directory(path_for_wide_calls(boost::filesystem::path(full)), error);
    EXPECT_FALSE(error) << "creating " << full << ": " << error.message();
  }
  return full;
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out;
  open_file_stream(out, boost::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << "writing " << path;
}

void write_file(const std::wstring& path, std::string_view bytes) {
  std::ofstream out(long_path_name(boost::filesystem::path(path)).c_str(),
                    std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << "writing " << boost::filesystem::path(path).string();
}

std::wstring widen(std::string_view text) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          static_cast<int>(wide.size()))));
  return wide;
}

CurrentFolder::CurrentFolder(const std::string& path) : previous_(MAX_PATH, L'\0') {
  previous_.resize(GetCurrentDirectoryW(MAX_PATH, previous_.data()));
  EXPECT_TRUE(SetCurrentDirectoryA(path.c_str()))
      << "SetCurrentDirectoryA(" << path << ") failed, error " << GetLastError();
}

CurrentFolder::~CurrentFolder() { SetCurrentDirectoryW(previous_.c_str()); }

std::string read_file(const std::string& path) { return read_file(widen(path)); }

std::string read_file(const std::wstring& path) {
  std::ifstream in;
  open_file_stream(in, boost::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string folder_listing(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& item :
       boost::filesystem::directory_iterator(path_for_wide_calls(boost::filesystem::path(path)))) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string listing;
  for (const std::string& name : names) listing += (listing.empty() ? "" : "|") + name;
  return listing;
}
