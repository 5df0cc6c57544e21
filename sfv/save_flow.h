// The save flow that ends a creating run: the Save As dialog, then the SFV file.
#pragma once

#include <windows.h>

// Asks for a file name with the system's Save As dialog (the Common Item Dialog), owned by
// `window` and opened in the folder of the FileList's first entry (or its nearest parent,
// when the dialog cannot take that folder's path or the path has no exact 8-bit form),
// and writes the FileList there as an SFV file. A name without the .sfv extension gets it
// appended. A name that cannot be used (no exact 8-bit form, too long, failing the name
// check, a folder) is refused in a box over the dialog, and an existing file that the
// dialog did not ask about is asked about there; the dialog then stays open on the name,
// so the run's results are kept until a list is written or the user backs out. The outcome
// goes to the control IDC_CURRENT_FILE of `window`: "SFV file written", "Aborted SFV write"
// (Cancel, Close), or what went wrong when the dialog could not be shown or the file not
// written. The process's current folder is left as it was. COM must be initialised
// apartment-threaded on the calling thread. Raises only what fails while the dialog is open
// (std::bad_alloc). The FileList must not be empty.
void write_sfv(HWND window);
