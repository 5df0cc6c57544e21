// The program entry: the command line, the main window, the message loop, and the one
// place where errors are shown.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include <boost/filesystem/path.hpp>

// Checks the SFV file that `command_line` names, if it names an existing .sfv file, and
// otherwise waits for drops; runs the main window until it is closed. `command_line` is the
// text after the program's name; the other parameters are unused. Returns 0 after Close,
// or 1 after showing an error that ended the program in the error box. Raises nothing.
int run_program(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line,
                int show_command);

// The same for the command line in UTF-16, as the system holds it: a list of any name.
int run_program(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line,
                int show_command);

// Returns the text after the program's name in the command line that the system holds for
// this process (GetCommandLineW, program_arguments): what run_program is to be given.
// Raises std::bad_alloc only.
std::wstring command_line_from_system();

// Returns the file that `command_line` (the text after the program's name) names, as its
// full path (path_to_open): absolute, so that the path limits hold for the whole path and a
// list's entries are absolute. Returns nothing when the command line is empty, or names a
// file that must not be opened, such as a device; such a path counts as one that does not
// exist. Raises make_path's error for a name that fails the name check.
std::optional<boost::filesystem::path> command_line_file(const char* command_line);
// The same for the command line in UTF-16.
std::optional<boost::filesystem::path> command_line_file(const wchar_t* command_line);

// Returns true when `path` exists by the file-attribute test: the attributes can be read,
// or reading them fails for a reason other than the name leading nowhere. Raises nothing.
bool path_exists(const boost::filesystem::path& path);
