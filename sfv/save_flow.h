// The save flow that ends a creating run: the Save As dialog, then the SFV file.
#pragma once

#include <windows.h>

#include <string>

// Asks for a file name with the system's Save As dialog (the Common Item Dialog), owned by
// `owner` and opened in the folder of the FileList's first entry (or its nearest parent
// where a list's path fits the dialog and has an exact 8-bit form), and writes the FileList
// there as an SFV file while the dialog is still open. A name without the .sfv extension
// gets it appended. A name that cannot be used (no exact 8-bit form, too long, failing the
// name check, ending in a dot or a space as typed, a device's name once ".sfv" is added, a
// folder) is refused in a box over the dialog, an existing file that the dialog did not ask
// about is asked about there, and a write that fails (read-only, in use, access denied,
// disk full, folder gone) says why there; the dialog then stays open on the name, so the
// run's results are kept until a list is written or the user backs out. Returns the
// outcome for the window: "SFV file written" (with the files left out), "Aborted SFV
// write" (Cancel, Close), or "Couldn't write SFV file" when the dialog could not be shown.
// The process's current folder is left as it was. COM must be initialised
// apartment-threaded on the calling thread. Raises only what fails while the dialog is open
// (std::bad_alloc). The FileList must not be empty.
std::string write_sfv(HWND owner);
