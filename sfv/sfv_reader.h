// Reading an SFV file into a list of entries to check.
#pragma once

#include <string_view>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "core/list/file_list.h"

// Returns `folder` joined with a name listed in an SFV file, in the generic form with '/':
// its elements appended one by one, "." dropped, ".." kept for the system to resolve.
// Raises the name-check error of make_path, and std::runtime_error when the name carries
// its own drive, share or root.
boost::filesystem::path join_listed_name(const boost::filesystem::path& folder,
                                         std::string_view name);

// Returns one entry per data line of the SFV file at `sfv_path` (a path of any length), in
// file order, with its path resolved against the file's folder and, where the CRC field is
// valid, `expected`.
// The file is read in the runtime's text mode (CR LF reads as LF, 0x1A ends the text).
// Raises std::runtime_error "Couldn't open sfv file" when it cannot be opened, and the
// errors of join_listed_name; a failed load returns nothing. The caller owns the list.
std::vector<FileEntry> load_sfv(const boost::filesystem::path& sfv_path);
