// The save flow that ends a creating run: the Save As dialog, then the SFV file.
#pragma once

#include <windows.h>

// Asks for a file name with the Save As dialog, owned by `window` and opened in the
// folder of the FileList's first entry, and writes the FileList there as an SFV file.
// A name without the .sfv extension gets it appended; when that names an existing file,
// the dialog opens again on it so that the user confirms the replacement. The outcome
// goes to the control IDC_CURRENT_FILE of `window`: "SFV file written", "Aborted SFV
// write", or what went wrong. Raises the name-check error of make_path for a chosen name
// that is no valid path, before any file is touched. The FileList must not be empty.
void write_sfv(HWND window);
