// Writing a FileList out as an SFV file: the file's bytes, its name, and the outcome that
// the window reports. Free of the platform's windowing; the save flow drives it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "core/list/file_list.h"

// The first line of every SFV file written, line end included.
inline constexpr std::string_view kSfvHeader = "; Created by Tallyrun 1.2\n";

// Returns true when the extension of the path's leaf (from its last '.') is ".sfv",
// comparing the ASCII letters A-Z without case and every other byte exactly.
bool has_sfv_extension(const boost::filesystem::path& path);

// Returns the name to write to for the name chosen in the Save As dialog: `chosen`
// itself when it has the .sfv extension, otherwise `chosen` + ".sfv". Raises the
// name-check error of make_path when `chosen` is no valid path.
std::string sfv_output_name(const std::string& chosen);
// The same for a name as the wide dialog hands it over.
std::wstring sfv_output_name(const std::wstring& chosen);

// Returns the data line of one file: its leaf (behind "./" when it starts with ';', which
// would make the line a comment), a space, the CRC as eight lowercase hex digits, and "\n"
// (which the text-mode stream writes as CR LF).
std::string sfv_data_line(std::string_view leaf, std::uint32_t crc);

struct SfvWriteResult {
  enum class Outcome {
    Written,         // the file holds the header and a line per readable entry
    NothingToWrite,  // no entry was hashed completely; no file was touched
    Failed,          // the file could not be written; an existing file is unchanged
  };
  Outcome outcome = Outcome::Failed;
  std::uint32_t left_out = 0;  // entries not hashed completely, so given no line
  // Failed: the system's error code that stopped the write (ERROR_SHARING_VIOLATION, ...);
  // ERROR_FILE_READ_ONLY for a read-only target, ERROR_ALREADY_EXISTS for a folder there.
  std::uint32_t error = 0;
};

// Returns, per entry of `list`, the name that its line gives it: its leaf in the file code
// page when every entry hashed completely has an exact form there (exact_8bit), else in
// UTF-8 for all of them. Nothing for an entry that was not hashed completely, and for a
// leaf with no form in either (a lone surrogate). Raises std::bad_alloc only.
std::vector<std::optional<std::string>> listed_names(const FileList& list);

// Writes the header and one line per entry of `list` that was hashed completely (status
// Complete) and has a listed name (listed_names), in list order, to `target` (a path of
// any length, any name), every line ending in CR LF. Entries that were not read fully get
// no line: their CRC would be wrong. The content goes
// to a temporary file in the same folder first, flushed to the disk, and replaces `target`
// in one step only then, so a failure never leaves a partial file under that name nor
// spoils an existing one. An existing target that is read-only, a folder, or open in
// another program that does not share its deletion is not replaced. Raises std::bad_alloc
// only.
SfvWriteResult write_sfv_file(const boost::filesystem::path& target, const FileList& list);

// Returns the text that tells the user the outcome of write_sfv_file.
std::string sfv_write_report(const SfvWriteResult& result);
