#include "ui/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "core/file_list.h"
#include "core/path_rules.h"
#include "sfv/save_flow.h"
#include "sfv/sfv_reader.h"
#include "sfv/sfv_writer.h"
#include "ui/resource.h"
#include "ui/window_rules.h"
#include "worker/worker.h"

bool CreateMode = false;
std::exception_ptr window_error;

namespace {

// True from the moment the window accepts drops until a drop starts a run. A drop handled
// at any other time would replace the FileList under the worker or the save flow, so a
// WM_DROPFILES that arrives then (posted by another program, say) is refused here as well
// as by the shell.
bool drops_accepted = false;

// Rows below this index have been judged on their final values and cannot change again:
// the worker stores an entry's outcome before it reports on the next entry. Judging only
// the rest keeps every message cheap on lists of many thousand files, where judging every
// row again would leave the window ever further behind the worker.
std::uint32_t rows_final = 0;

void accept_drops(HWND window, bool accept) {
  drops_accepted = accept;
  DragAcceptFiles(window, accept ? TRUE : FALSE);
}

void set_row_image(HWND list_view, std::uint32_t row, RowImage image) {
  LVITEMA item{};
  item.mask = LVIF_IMAGE;
  item.iItem = static_cast<int>(row);
  item.iImage = image;
  SendMessageA(list_view, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

void initialise(HWND window) {
  SetWindowTextA(window, "Tallyrun 1.2");
  const HINSTANCE module = GetModuleHandleA(nullptr);
  const HANDLE big = LoadImageA(module, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 32, 32, 0);
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  const HANDLE small = LoadImageA(module, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 16, 16, 0);
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));

  for (const int bar : {IDC_FILE_PROGRESS, IDC_OVERALL_PROGRESS})
    SendMessageA(GetDlgItem(window, bar), PBM_SETRANGE, 0, MAKELPARAM(0, 0xFFFF));

  // No LVS_SHAREIMAGELISTS: the list view owns the strip and destroys it with itself.
  const HIMAGELIST states = ImageList_LoadImageA(module, MAKEINTRESOURCEA(IDB_FILE_STATES), 16,
                                                 0, CLR_NONE, IMAGE_BITMAP, LR_CREATEDIBSECTION);
  const HWND list_view = GetDlgItem(window, IDC_FILE_LIST);
  SendMessageA(list_view, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(states));

  LVCOLUMNA column{};
  column.mask = LVCF_WIDTH | LVCF_TEXT;
  column.cx = 380;
  column.pszText = const_cast<char*>("File");
  SendMessageA(list_view, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&column));

  if (file_list.is_empty()) {
    accept_drops(window, true);
  } else {
    // A list from the command line: CreateMode is still false, so this run checks it.
    refill_file_list_view(list_view);
    start_worker(GetCurrentThreadId());
  }
}

// Returns the name of dropped item `index`, however long: its length is asked first, so a
// name longer than the shell's usual 259 characters is never cut into a different path.
std::string dropped_name(HDROP drop, UINT index) {
  const UINT length = DragQueryFileA(drop, index, nullptr, 0);
  std::string name(length + 1, '\0');
  name.resize(DragQueryFileA(drop, index, name.data(), length + 1));
  return name;
}

void on_drop(HWND window, HDROP drop) {
  if (!drops_accepted) {
    DragFinish(drop);
    return;
  }
  file_list.clear();
  CreateMode = true;
  const UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    const boost::filesystem::path path = make_path(dropped_name(drop, i));
    if (count == 1 && has_sfv_extension(path)) {
      file_list.replace_with(load_sfv(path));
      CreateMode = false;
    } else {
      FileEntry entry;
      entry.path = path;
      file_list.append(entry);
    }
  }
  refill_file_list_view(GetDlgItem(window, IDC_FILE_LIST));
  DragFinish(drop);
  accept_drops(window, false);
  start_worker(GetCurrentThreadId());
}

void on_progress(HWND window, std::uint32_t current, LPARAM lparam) {
  const std::uint32_t file_progress = HIWORD(lparam);
  SendMessageA(GetDlgItem(window, IDC_FILE_PROGRESS), PBM_SETPOS, file_progress, 0);
  SendMessageA(GetDlgItem(window, IDC_OVERALL_PROGRESS), PBM_SETPOS, LOWORD(lparam), 0);
  if (current >= file_list.count()) return;

  const HWND list_view = GetDlgItem(window, IDC_FILE_LIST);
  for (std::uint32_t row = std::min(rows_final, current); row <= current; ++row)
    set_row_image(list_view, row,
                  row_image(file_list.at(row), row, current, file_progress, CreateMode));
  rows_final = std::max(rows_final, current);

  SetWindowTextA(GetDlgItem(window, IDC_STATUS_LABEL), CreateMode ? "Computing" : "Checking");
  SetWindowTextA(GetDlgItem(window, IDC_CURRENT_FILE),
                 native_string(file_list.at(current).path).c_str());
}

void on_done(HWND window) {
  SetWindowTextA(GetDlgItem(window, IDC_STATUS_LABEL), "Status");
  if (CreateMode) {
    write_sfv(window);
  } else {
    SetWindowTextA(GetDlgItem(window, IDC_CURRENT_FILE),
                   file_list.all_files_match() ? "Everything OK!" : "File errors detected!");
  }
  accept_drops(window, true);
}

INT_PTR handle_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      initialise(window);
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wparam) == 0 && LOWORD(wparam) == IDCANCEL) {
        // A run in progress is not waited for; the process ends with it.
        EndDialog(window, 0);
        PostQuitMessage(0);
      }
      return TRUE;
    case WM_DROPFILES:
      on_drop(window, reinterpret_cast<HDROP>(wparam));
      return TRUE;
    case WM_HASH_PROGRESS:
      on_progress(window, static_cast<std::uint32_t>(wparam), lparam);
      return TRUE;
    case WM_HASH_DONE:
      on_done(window);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

INT_PTR CALLBACK main_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (window_error) return FALSE;
  try {
    return handle_message(window, message, wparam, lparam);
  } catch (...) {
    // Unwinding through DispatchMessageA's frames is undefined, so the error waits here.
    // The quit ends any modal loop that dispatched this message; run_program then shows it.
    window_error = std::current_exception();
    PostQuitMessage(1);
    return TRUE;
  }
}

void refill_file_list_view(HWND list_view) {
  SendMessageA(list_view, LVM_DELETEALLITEMS, 0, 0);
  rows_final = 0;
  for (std::uint32_t i = 0; i < file_list.count(); ++i) {
    const std::string name = leaf(file_list.at(i).path);
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = static_cast<int>(i);
    item.pszText = const_cast<char*>(name.c_str());
    item.iImage = ImagePending;
    SendMessageA(list_view, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  }
}
