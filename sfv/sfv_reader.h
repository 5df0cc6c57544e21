// Reading an SFV file into a list of entries to check.
#pragma once

#include <string_view>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "core/list/file_list.h"
#include "sfv/sfv_format.h"

// Returns `folder` joined with a name listed in an SFV file, in the generic form with '/':
// its elements appended one by one, "." dropped, ".." kept for the system to resolve.
// Raises the name-check error of make_path, and std::runtime_error when the name carries
// its own drive, share or root.
boost::filesystem::path join_listed_name(const boost::filesystem::path& folder,
                                         std::string_view name);

// Returns the path that a name listed in an SFV file in `folder` stands for, the name's
// bytes read as the list's mark says (list_text in sfv_format.h): in UTF-8 under a mark;
// without one in the file code page, and in UTF-8 only where that reading names no file
// (names_a_file) or no valid name at all, and the bytes are UTF-8 beyond ASCII
// (is_utf8, beyond_ascii). The UTF-8 reading is taken when it names a file, or, where the
// code page reads no valid name, whenever it is a valid one. So a name that one reading
// alone can give is read so, and a name that both give as files keeps the code page's.
// Under the UTF-8 code page there is one reading. Raises the errors of join_listed_name:
// without a mark, those of the code page's reading.
boost::filesystem::path listed_path(const boost::filesystem::path& folder, std::string_view name,
                                    ListMark mark);

// Returns one entry per data line of the SFV file at `sfv_path` (a path of any length, any
// name), in file order, with its path resolved against the file's folder (listed_path) and,
// where the CRC field is valid, `expected`.
// The file's text is read as list_text gives it: the runtime's text mode (CR LF reads as
// LF, 0x1A ends the text), after a UTF-8 mark, or on the characters behind a UTF-16 mark.
// Raises std::runtime_error "Couldn't open sfv file" when it cannot be opened, and the
// errors of join_listed_name; a failed load returns nothing. The caller owns the list.
std::vector<FileEntry> load_sfv(const boost::filesystem::path& sfv_path);
