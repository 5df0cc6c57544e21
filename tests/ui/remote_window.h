// Drives a running tallyrun.exe from another process, the way its user and the shell do:
// it starts the program with an exact command line, finds its windows by process id,
// reads their texts, progress bars and list rows, drops files on them and presses their
// buttons. Every wait has a deadline, and the process is killed when the test lets go
// of it, so no test can hang or leave a process behind.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/windows_rules.h"

// How long a wait may take before it counts as failed.
inline constexpr DWORD kWaitMs = 10000;

// Returns true as soon as `condition` holds, polling every 20 ms; false when it still does
// not hold after `timeout_ms`. Raises what `condition` raises.
bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms = kWaitMs);

// Returns the full path of tallyrun.exe from the environment variable TALLYRUN_EXE, in
// native form with backslashes (a bare Unix path gets Wine's drive Z:); "" when unset.
std::string program_path();

// One running tallyrun.exe, started with CreateProcessA and killed on destruction if it is
// still running. Owns its process and thread handles. It runs under the layer named by
// TALLYRUN_RULES_DLL, which keeps rules that Windows enforces and Wine does not.
class RemoteProcess {
 public:
  // Starts `exe` with exactly this command line: the program's name in quotes, then
  // `arguments` after one space unless they are empty. Fails the test when it cannot;
  // running() is false then.
  RemoteProcess(const std::string& exe, const std::string& arguments);
  // The same through the wide call, for arguments that the 8-bit code page cannot hold.
  RemoteProcess(const std::string& exe, const std::wstring& arguments);
  // Kills the process if it is still running, and closes its handles.
  ~RemoteProcess();
  RemoteProcess(const RemoteProcess&) = delete;
  RemoteProcess& operator=(const RemoteProcess&) = delete;

  // Returns true while the process has not exited.
  bool running() const;
  // Returns the exit code once the process has exited within `timeout_ms`; nothing while
  // it still runs after that.
  std::optional<DWORD> wait_exit(DWORD timeout_ms = kWaitMs) const;
  // Returns the process id.
  DWORD id() const { return info_.dwProcessId; }
  // Returns what the layer has counted in the process so far, and after its exit; all zero
  // when it did not start under the layer.
  WindowsRulesCounts rules() const { return rules_ ? *rules_ : WindowsRulesCounts{}; }

  // Returns the process's top-level dialog windows (class #32770) that are visible,
  // in z order. The handles stay the target's.
  std::vector<HWND> dialogs() const;
  // Returns the main window: the visible dialog titled "Tallyrun 1.2" without owner that
  // holds the file list. Waits up to `timeout_ms`; null when none appeared.
  HWND main_window(DWORD timeout_ms = kWaitMs) const;
  // Returns the visible dialog owned by `owner`, such as Save As. Waits up to
  // `timeout_ms`; null when none appeared.
  HWND owned_dialog(HWND owner, DWORD timeout_ms = kWaitMs) const;
  // Returns a visible dialog that is no main window (it has no file list), such as the
  // error box. Waits up to `timeout_ms`; null when none appeared.
  HWND message_box(DWORD timeout_ms = kWaitMs) const;

  // Posts WM_DROPFILES with `paths` to `window`, as the shell does after a drop. The
  // DROPFILES block (ANSI names) is written into the target's own memory, since Wine does
  // not carry a posted HDROP to another process; the target keeps the block for its life.
  // Returns false, with the test failed, when the block could not be written or posted.
  bool drop(HWND window, const std::vector<std::string>& paths) const;
  // The same with UTF-16 names, as the shell hands over names that the 8-bit code page
  // cannot hold.
  bool drop(HWND window, const std::vector<std::wstring>& paths) const;

  // Returns the list view's columns' texts, read through a buffer in the target.
  std::vector<std::string> list_columns(HWND list_view) const;

  struct Row {
    std::string text;  // the row's text (the file's leaf name)
    int image = -1;    // index of its state image
    bool operator==(const Row&) const = default;
  };
  // Returns the list view's rows, read through a buffer in the target.
  std::vector<Row> list_rows(HWND list_view) const;
  // Returns the rows' texts in UTF-16, as the list view shows them whatever the code page.
  std::vector<std::wstring> list_names(HWND list_view) const;

 private:
  // Returns the last of dialogs() for which `matches` holds, waiting up to `timeout_ms`;
  // null when none appeared.
  HWND wait_for_dialog(const std::function<bool(HWND)>& matches, DWORD timeout_ms) const;
  // Writes the DROPFILES `block` into the target and posts it to `window` (see drop).
  bool post_drop(HWND window, const std::string& block) const;

  PROCESS_INFORMATION info_{};
  const WindowsRulesCounts* rules_ = nullptr;  // the layer's block, mapped here
};

// Prints the layer's counts on one line, for failure messages.
std::ostream& operator<<(std::ostream& out, const WindowsRulesCounts& counts);

// What the main window shows, read at one moment; compared and printed by the tests.
struct MainView {
  std::string caption;
  std::string status;          // IDC_STATUS_LABEL
  std::string current;         // IDC_CURRENT_FILE
  int file_bar = -1;           // IDC_FILE_PROGRESS position
  int overall_bar = -1;        // IDC_OVERALL_PROGRESS position
  bool accepts_drops = false;  // WS_EX_ACCEPTFILES in the window's extended style
  std::vector<RemoteProcess::Row> rows;
};

// Returns what `main` of `process` shows now. Raises nothing; unreadable parts stay at
// their defaults.
MainView read_main_view(const RemoteProcess& process, HWND main);

// Prints the view on one line, for failure messages.
std::ostream& operator<<(std::ostream& out, const MainView& view);
// Prints the row as text:image.
std::ostream& operator<<(std::ostream& out, const RemoteProcess::Row& row);

// Returns the window's text, read without a message to its thread; "" for a null window.
std::string window_text(HWND window);

// Returns the texts of the window's children, joined by '|', for failure messages and for
// the error box's message.
std::string child_texts(HWND window);

// Sends `message` to a window of another process and returns its result; nothing when the
// target did not answer within kWaitMs. A pointer in `lparam` must point into the target,
// except for the messages whose data the system carries across (WM_SETTEXT, WM_GETTEXT).
std::optional<LRESULT> send(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Clicks the button `id` of `dialog` as the mouse would (BM_CLICK, posted). Returns false
// when the dialog has no such child or the message could not be posted.
bool click(HWND dialog, int id);

// Types `name` into the name field of the Save As dialog `dialog` and presses Save.
// Returns false when the name field was not found or did not take the text.
bool save_as(HWND dialog, const std::string& name);

// Returns true once the thread of `list_view` has handled every message posted to it
// before the call: posted messages are handled in order, so it posts a change of the first
// column's width behind them and waits until the list view shows it. False on timeout.
bool wait_posted_handled(HWND list_view);

// Returns GUITHREADINFO::flags of the thread that owns `window`; 0 when it cannot be read.
DWORD gui_thread_flags(HWND window);
