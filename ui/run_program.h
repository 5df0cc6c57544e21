// The program entry: the command line, the main window, the message loop, and the one
// place where errors are shown.
#pragma once

#include <windows.h>

#include <boost/filesystem/path.hpp>

// Checks the SFV file that `command_line` names, if it names an existing .sfv file, and
// otherwise waits for drops; runs the main window until it is closed. `command_line` is the
// text after the program's name; the other parameters are unused. Returns 0 after Close,
// or 1 after showing an error that ended the program in the error box. Raises nothing.
int run_program(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line,
                int show_command);

// Returns true when `path` exists by the file-attribute test: the attributes can be read,
// or reading them fails for a reason other than the name leading nowhere. Raises nothing.
bool path_exists(const boost::filesystem::path& path);
