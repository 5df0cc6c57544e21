// The main window's decisions that need no window: which path the command line names,
// which state image a row shows, and the text of the error box. Kept apart from the
// platform so they can be checked alone.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "core/list/file_list.h"
#include "worker/progress_message.h"

// Indexes into the IDB_FILE_STATES strip. Pictures 3 and 4 are in the strip but unused.
enum RowImage : int {
  ImagePending = 0,  // not reached yet by the run
  ImageOk = 1,       // finished: the file matches (checking) or was read (creating)
  ImageWorking = 2,  // being read now
  ImageFailed = 5,   // finished: the file differs, is missing, or could not be read
};

// Returns the path that `command_line` (the text after the program's name) names: the
// whole text, spaces included, without one leading and one trailing double quote.
// A lone double quote gives "". Raises nothing.
std::string command_line_path(std::string_view command_line);
std::wstring command_line_path(std::wstring_view command_line);

// Returns the arguments in `command_line`, the process's whole command line as the system
// holds it: what follows the program's name and the blanks after it. As for WinMain's
// command line, the name ends at the first blank (a character up to the space) outside
// double quotes. Raises nothing.
std::wstring_view program_arguments(std::wstring_view command_line);

// Returns the image of row `row`, showing `entry`, while the window shows the run at
// `shown` (nothing before the run's first report). Rows after the shown entry are pending;
// the shown entry is being read until its file progress is kFileFinished. A finished row
// shows ImageOk in a checking run only when the entry matches its expected CRC, in a
// creating run only when its file was read completely, since only such files get a line
// in the new SFV file.
RowImage row_image(const FileEntry& entry, std::uint32_t row,
                   const std::optional<ProgressReport>& shown, bool create_mode);

// Returns the text that the error box shows for `error`: its own text, except that every
// failed allocation reads "bad allocation", whatever the runtime calls it.
std::string error_box_text(const std::exception& error);
