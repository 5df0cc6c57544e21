// The main window: a modeless dialog made from IDD_MAIN that shows the FileList, follows
// the worker's run, and starts a new run for every drop.
#pragma once

#include <exception>

#include <windows.h>
#include <commctrl.h>

// True while the FileList came from dropped files that are to be written out as a new
// SFV file; false while it came from an SFV file and is being checked. Only the main
// window sets and reads it, on the user-interface thread.
extern bool CreateMode;

// The error raised by the window's code while the system was dispatching a message, kept
// here so that it never unwinds through the system's frames; empty while there is none.
// run_program raises it again once control is back in its own loop. After it is set the
// window handles no further message.
extern std::exception_ptr window_error;

// The dialog procedure of IDD_MAIN. Its creation parameter is non-zero when the command
// line named an SFV file that was loaded, though it may list nothing: the window checks
// that list at once. Returns TRUE for the messages it handles (WM_INITDIALOG, WM_COMMAND,
// WM_DROPFILES, the list view's LVN_GETDISPINFOA and LVN_ODFINDITEMA, its paint and run
// watch timers, WM_HASH_PROGRESS, WM_HASH_DONE), FALSE for the rest. A WM_HASH_DONE while
// the worker is still marked running is ignored. Raises nothing: an error is stored in
// window_error and quits the message loop.
INT_PTR CALLBACK main_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Fills in what the list view asks of row item.iItem (LVN_GETDISPINFOW): the leaf of its
// entry's path, as the system holds it, into item.pszText, and its state image. The list
// view keeps no rows of its own, so a list of any length fills at once. Raises nothing.
void describe_row(LVITEMW& item) noexcept;

// Rebuilds the rows of `list_view` from the FileList: one row per entry, its leaf as text
// and ImagePending as image until a run reaches it. The list view asks the window for each
// row it draws, so this takes no time however long the list.
void refill_file_list_view(HWND list_view);
