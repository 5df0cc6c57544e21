// Paths too long for the 8-bit file calls, and the names under which the wide calls reach
// them. The 8-bit calls take at most MAX_PATH - 1 characters; the wide calls take far more,
// but only under the extended-length prefix \\?\.
#pragma once

#include <ios>
#include <string>

#include <boost/filesystem/path.hpp>

#include "core/names/path_rules.h"

// Returns true when the 8-bit file calls cannot take `path`: its native form is MAX_PATH
// (260) UTF-16 units long or longer. Raises nothing.
bool is_long_path(const boost::filesystem::path& path);

// Returns the path made absolute against the current folder and normalised by the system
// (GetFullPathNameW: "." and ".." resolved, '/' read as '\'), whatever its length; a name
// that the system takes for a device comes back as \\.\NAME. Returns "" when the system
// cannot make the path absolute. Raises std::bad_alloc only.
std::wstring full_path_name(const boost::filesystem::path& path);

// Returns `full`, a full path as full_path_name gives it, behind the extended-length
// prefix \\?\ (for a share, \\?\UNC\ in place of its leading \\), under which the wide
// file calls take it whatever its length; a name that carries \\?\ or \\.\ already is
// returned as it is. Raises std::bad_alloc only.
std::wstring extended_length_name(const std::wstring& full);

// Returns the name under which the wide file calls reach the file `path` names, whatever
// its length: the path made absolute against the current folder and normalised by the
// system ("." and ".." resolved, '/' read as '\'), behind the prefix \\?\ (for a share,
// \\?\UNC\ in place of its leading \\). A name that the system resolves to a device
// (\\.\NUL) is returned as the system gives it; a path that the system cannot make
// absolute comes back as its own native text. Raises std::bad_alloc only.
std::wstring long_path_name(const boost::filesystem::path& path);

// Returns `path` as Boost.Filesystem's operations, which call the wide functions, should
// be given it: unchanged when it is no long path, else as long_path_name(path). Raises
// std::bad_alloc only.
boost::filesystem::path path_for_wide_calls(const boost::filesystem::path& path);

// Opens `stream` on the file `path` names with `mode`: by its UTF-16 native name, so that
// a character the code page lacks is no obstacle, behind long_path_name(path) when it is
// too long for the calls without the prefix. Either way the runtime's fopen family opens
// it, so a text-mode stream folds CR LF and stops at 0x1A alike. The caller tests
// is_open(). Raises std::bad_alloc only.
template <class FileStream>
void open_file_stream(FileStream& stream, const boost::filesystem::path& path,
                      std::ios_base::openmode mode) {
  if (is_long_path(path)) {
    stream.open(long_path_name(path).c_str(), mode);
  } else {
    stream.open(boost::filesystem::path(path).make_preferred().native().c_str(), mode);
  }
}
