// The parts of the writer that take paths and write the file; the lines themselves are
// made in sfv_writer.cpp, which needs neither.
#include "sfv/sfv_writer.h"

#include <algorithm>
#include <fstream>

#include <boost/filesystem/operations.hpp>

#include "core/names/long_path.h"
#include "core/names/path_rules.h"

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

template <class Text>
Text output_name(const Text& chosen, const Text& extension) {
  return has_sfv_extension(make_path(chosen)) ? chosen : chosen + extension;
}

}  // namespace

bool has_sfv_extension(const boost::filesystem::path& path) {
  const std::string name = leaf(path);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string_view extension = std::string_view(name).substr(dot);
  constexpr std::string_view sfv = ".sfv";
  return std::equal(extension.begin(), extension.end(), sfv.begin(), sfv.end(),
                    [](char a, char b) { return ascii_lower(a) == b; });
}

std::string sfv_output_name(const std::string& chosen) {
  return output_name(chosen, std::string(".sfv"));
}

std::wstring sfv_output_name(const std::wstring& chosen) {
  return output_name(chosen, std::wstring(L".sfv"));
}

SfvWriteResult write_sfv_file(const boost::filesystem::path& target, const FileList& list) {
  namespace fs = boost::filesystem;
  SfvWriteResult result;
  std::string lines;
  for (const FileEntry& entry : list.entries) {
    if (entry.status == HashStatus::Complete) {
      lines += sfv_data_line(leaf(entry.path), entry.computed);
    } else {
      ++result.left_out;
    }
  }
  if (result.left_out == list.count()) {
    result.outcome = SfvWriteResult::Outcome::NothingToWrite;
    return result;
  }

  // The target and the temporary file may each be too long for the 8-bit calls.
  const fs::path target_name = path_for_wide_calls(target);
  // A read-only file is not replaced, though renaming over it might succeed.
  boost::system::error_code no_status;  // a target that does not exist yet is no error
  const fs::file_status existing = fs::status(target_name, no_status);
  if (fs::is_regular_file(existing) && (existing.permissions() & fs::owner_write) == 0) {
    return result;
  }
  boost::system::error_code error;
  const fs::path temporary =
      fs::unique_path(parent_folder(target) / "tallyrun-%%%%%%%%.tmp", error);
  if (error) return result;
  const fs::path temporary_name = path_for_wide_calls(temporary);
  {
    // Text mode: the runtime writes every "\n" as CR LF.
    std::ofstream out;
    open_file_stream(out, temporary, std::ios::out | std::ios::trunc);
    out << kSfvHeader << lines;
    out.close();
    if (!out) {
      fs::remove(temporary_name, error);
      return result;
    }
  }
  fs::rename(temporary_name, target_name, error);  // replaces an existing target in one step
  if (error) {
    fs::remove(temporary_name, error);
    return result;
  }
  result.outcome = SfvWriteResult::Outcome::Written;
  return result;
}
