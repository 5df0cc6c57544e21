// The save flow that ends a creating run: the Save As dialog, then the SFV file.
#pragma once

#include <windows.h>

// Asks for a file name with the Save As dialog, owned by `window` and opened in the
// folder of the FileList's first entry (or its nearest parent, when the dialog cannot
// take that folder's path or the path has no exact 8-bit form), and writes the FileList
// there as an SFV file. A name without the .sfv extension gets it appended; when that
// names an existing file, the dialog opens again on it so that the user confirms the
// replacement. The outcome goes to the control IDC_CURRENT_FILE of `window`: "SFV file
// written", "Aborted SFV write", or what went wrong; a chosen path without an exact 8-bit
// form (exact_8bit) is refused as a failure, with nothing written. The process's current
// folder is left as it was. Raises the name-check error of make_path for a chosen name
// that is no valid path, before any file is touched. The FileList must not be empty.
void write_sfv(HWND window);
