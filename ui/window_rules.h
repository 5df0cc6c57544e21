// The main window's decisions that need no window: which path the command line names, and
// which state image a row shows. Kept apart from the platform so they can be checked alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/file_list.h"

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

// Returns the image of the row for `entry` while the run reports on row `current` at file
// progress `file_progress` (0..0xFFFF); `row` is the entry's own index. A row that is not
// the one being read is finished: in a checking run it shows ImageOk only when the entry
// matches its expected CRC, in a creating run only when its file was read completely,
// since only such files get a line in the new SFV file.
RowImage row_image(const FileEntry& entry, std::uint32_t row, std::uint32_t current,
                   std::uint32_t file_progress, bool create_mode);
