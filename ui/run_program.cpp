#include "ui/run_program.h"

#include <commctrl.h>
#include <objbase.h>

#include <exception>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "core/list/file_list.h"
#include "core/names/long_path.h"
#include "core/names/open_rules.h"
#include "core/names/path_rules.h"
#include "sfv/sfv_reader.h"
#include "sfv/sfv_writer.h"
#include "ui/main_window.h"
#include "ui/resource.h"
#include "ui/window_rules.h"
#include "worker/progress_message.h"

namespace {

HWND main_window = nullptr;

bool is_worker_message(const MSG& message) {
  return message.hwnd == nullptr &&
         (message.message == WM_HASH_PROGRESS || message.message == WM_HASH_DONE);
}

// Passes one of the worker's thread messages on to the window. Should the queue be full,
// the window handles it at once instead: a lost WM_HASH_DONE would leave it waiting for
// ever, and the window takes the run's progress from the worker, not from the message, so
// one handled early shows nothing out of order.
void deliver_to_window(const MSG& message) {
  if (!PostMessageA(main_window, message.message, message.wParam, message.lParam))
    SendMessageA(main_window, message.message, message.wParam, message.lParam);
}

// Modal loops (moving or sizing the window, the system menu, a message box) take the
// worker's thread messages out of the queue themselves and drop them, since they have no
// window; a lost WM_HASH_DONE would leave the window waiting for ever. Every such loop shows
// each message to this filter first, which passes the worker's on to the window exactly as
// the main loop does, so they arrive in the order the worker posted them.
LRESULT CALLBACK forward_from_modal_loops(int code, WPARAM wparam, LPARAM lparam) {
  auto* message = reinterpret_cast<MSG*>(lparam);
  if (code >= 0 && is_worker_message(*message)) {
    deliver_to_window(*message);
    return TRUE;  // handled: the loop skips it
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

// Returns true when `command_line` named an SFV file, which is then in the FileList.
template <class Char>
bool load_from_command_line(const Char* command_line) {
  const std::optional<boost::filesystem::path> path = command_line_file(command_line);
  if (!path || !path_exists(*path) || !has_sfv_extension(*path)) return false;
  file_list.replace_with(load_sfv(*path));
  return true;
}

// Raises the error that the window stored while the system dispatched one of its messages.
void raise_window_error() {
  MSG quit;
  PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // or the error box closes at once
  std::rethrow_exception(window_error);
}

int run(bool list_loaded) {
  const HINSTANCE module = GetModuleHandleA(nullptr);
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  // The Save As dialog is a COM object of the shell's, made on this thread. A failure is no
  // error here: the save then reports that the list could not be written.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

  const HHOOK filter =
      SetWindowsHookExA(WH_MSGFILTER, forward_from_modal_loops, nullptr, GetCurrentThreadId());
  if (filter == nullptr) throw std::runtime_error("Couldn't watch the window's modal loops");

  // A Unicode window: its list view and texts then show every name as the system holds
  // it, where an 8-bit window would pass each through the code page.
  main_window = CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_MAIN), nullptr, main_dialog_proc,
                                   list_loaded ? 1 : 0);
  if (window_error) raise_window_error();
  // Without a window nothing could ever end the loop below.
  if (main_window == nullptr) throw std::runtime_error("Couldn't create the main window");

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (is_worker_message(message)) deliver_to_window(message);
    TranslateMessage(&message);
    DispatchMessageA(&message);
    if (window_error) raise_window_error();
  }
  if (window_error) raise_window_error();
  UnhookWindowsHookEx(filter);
  return 0;
}

}  // namespace

std::wstring command_line_from_system() {
  // The runtime's 8-bit command line is the system's conversion of this one, which puts a
  // look-alike in place of a character that the code page lacks: a list named with U+FF41,
  // the full-width a, would arrive with a plain 'a', naming a different list.
  return std::wstring(program_arguments(GetCommandLineW()));
}

std::optional<boost::filesystem::path> command_line_file(const char* command_line) {
  if (command_line == nullptr || *command_line == '\0') return std::nullopt;
  return path_to_open(make_path(command_line_path(std::string_view(command_line))));
}

std::optional<boost::filesystem::path> command_line_file(const wchar_t* command_line) {
  if (command_line == nullptr || *command_line == L'\0') return std::nullopt;
  return path_to_open(make_path(command_line_path(std::wstring_view(command_line))));
}

bool path_exists(const boost::filesystem::path& path) {
  boost::system::error_code error;
  return boost::filesystem::status(path_for_wide_calls(path), error).type() !=
         boost::filesystem::file_not_found;
}

namespace {

template <class Char>
int run_for(const Char* command_line) {
  try {
    return run(load_from_command_line(command_line));
  } catch (const std::exception& error) {
    MessageBoxA(nullptr, error_box_text(error).c_str(), "Tallyrun 1.2", MB_ICONERROR);
    return 1;
  }
}

}  // namespace

int run_program(HINSTANCE, HINSTANCE, LPSTR command_line, int) { return run_for(command_line); }

int run_program(HINSTANCE, HINSTANCE, LPWSTR command_line, int) { return run_for(command_line); }
