// Which files the program may open. Files are opened by the UTF-16 name the system holds,
// never by an 8-bit form of it, which would put a look-alike in place of a character the
// code page lacks (the full-width a becomes 'a': another file). Where the system resolves
// the name to a device, opening it would give a result for something other than the file
// meant.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/filesystem/path.hpp>

// Returns the path under which the program opens the file `path` names: its full path as
// the system resolves it against the current folder (full_path_name), in generic form, so
// the path limits hold for the whole path. Returns nothing, and nothing has been opened,
// when the file must not be opened: the system cannot make the path absolute, or resolves
// it to no file on a drive or share, as it does the device names in any folder (NUL, CON,
// AUX, PRN, COM1-9, LPT1-9, with an extension on the systems that say so). Raises
// std::bad_alloc only.
std::optional<boost::filesystem::path> path_to_open(const boost::filesystem::path& path);

// Returns the UTF-16 name under which the wide file calls open the file `path` names: the
// full path that path_to_open checks, in native form, behind the prefix \\?\ (\\?\UNC\ for
// a share) when it is MAX_PATH (260) characters long or longer, which the calls refuse
// without it. Returns nothing when path_to_open would. Raises std::bad_alloc only.
std::optional<std::wstring> name_to_open(const boost::filesystem::path& path);

// Returns true when `path` may be opened (path_to_open) and names an existing file that is
// no folder. Raises std::bad_alloc only.
bool names_a_file(const boost::filesystem::path& path);
