#include "ui/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "core/list/file_list.h"
#include "core/names/open_rules.h"
#include "core/names/path_rules.h"
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

// True from the start of a run until its WM_HASH_DONE has been handled; the worker's
// messages mean nothing outside a run.
bool run_active = false;

// The run's progress as the window shows it: the newest report it has taken from the
// worker, nothing before the run's first. The rows' images follow from it and the list.
std::optional<ProgressReport> shown;

// The bars' positions as last set; a bar is set only when its position changes.
std::uint32_t file_bar = 0;
std::uint32_t overall_bar = 0;

// The window follows the run at a human rate, not at the worker's: each paint costs the
// window thread, the system and the display far more than a hasher needs for a small file,
// and on a machine with as many hashers as cores every one of them is taken from the run.
// While a run is active one timer ticks at this interval: each tick shows the worker's
// newest progress, or ends the run when its worker has finished, whether or not its
// messages came. A modal loop that someone else wrote (the list view's right-button
// tracking is one) may take the worker's thread messages out of the queue and drop them;
// the window's own timer messages still reach it through any loop that dispatches, so the
// bars keep moving and the end of a run always arrives. A WM_HASH_PROGRESS is shown at once
// only when no paint came within the interval (the run's first report, say); otherwise the
// next tick shows it, and the worker posts nothing more until then.
constexpr UINT kRunTimerIntervalMs = 50;
constexpr UINT_PTR kRunTimer = 2;
ULONGLONG last_paint_ms = 0;

void accept_drops(HWND window, bool accept) {
  drops_accepted = accept;
  DragAcceptFiles(window, accept ? TRUE : FALSE);
}

void set_bar(HWND window, int id, std::uint32_t& position, std::uint32_t new_position) {
  if (position == new_position) return;
  position = new_position;
  SendMessageA(GetDlgItem(window, id), PBM_SETPOS, new_position, 0);
}

// Returns true while the worker is marked running: its list must stay as it is, and the
// run has not ended, whatever message says otherwise.
bool worker_running() { return hash_worker.worker_thread.load() != nullptr; }

// Starts a run over the FileList, whose rows refill_file_list_view has just rebuilt.
void begin_run(HWND window) {
  run_active = true;
  SetTimer(window, kRunTimer, kRunTimerIntervalMs, nullptr);
  start_worker(GetCurrentThreadId());
}

void initialise(HWND window, bool list_loaded) {
  SetWindowTextA(window, "Tallyrun 1.2");
  const HINSTANCE module = GetModuleHandleA(nullptr);
  const HANDLE big = LoadImageA(module, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 32, 32, 0);
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  const HANDLE small = LoadImageA(module, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 16, 16, 0);
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));

  for (const int bar : {IDC_FILE_PROGRESS, IDC_OVERALL_PROGRESS})
    SendMessageA(GetDlgItem(window, bar), PBM_SETRANGE, 0, MAKELPARAM(0, 0xFFFF));
  file_bar = overall_bar = 0;  // new bars start at 0, whatever an earlier window showed

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

  if (file_list.is_empty() && !list_loaded) {
    accept_drops(window, true);
  } else {
    // A list from the command line: CreateMode is still false, so this run checks it. A
    // list that names no file runs too, and its end says so.
    refill_file_list_view(list_view);
    begin_run(window);
  }
}

// Returns the name of dropped item `index` as the system holds it, however long: its
// length is asked first, so a name longer than the shell's usual 259 characters is never
// cut into a different path. The 8-bit name would be the system's conversion, which puts a
// look-alike in place of a character that the code page lacks: another file's name.
std::wstring dropped_name(HDROP drop, UINT index) {
  const UINT length = DragQueryFileW(drop, index, nullptr, 0);
  std::wstring name(length + 1, L'\0');
  name.resize(DragQueryFileW(drop, index, name.data(), length + 1));
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
    // The entry keeps the true name, by which the file is opened and shown.
    const boost::filesystem::path path = make_path(dropped_name(drop, i));
    if (count == 1 && has_sfv_extension(path)) {
      CreateMode = false;
      if (const std::optional<boost::filesystem::path> list = path_to_open(path)) {
        file_list.replace_with(load_sfv(*list));
      } else {
        // A list that must not be read (a look-alike name, a device) is checked as the one
        // entry it is, and fails: reading a list in its place could say "Everything OK!".
        FileEntry entry;
        entry.path = path;
        file_list.append(entry);
      }
    } else {
      FileEntry entry;
      entry.path = path;
      file_list.append(entry);
    }
  }
  refill_file_list_view(GetDlgItem(window, IDC_FILE_LIST));
  DragFinish(drop);
  accept_drops(window, false);
  begin_run(window);
}

// Redraws the rows `first` to `last` that are on screen: the top row to the one that the
// bottom edge cuts. The list view invalidates each row it is asked to redraw with a call
// into the system, whether or not the row can be seen, and a run over small files finishes
// hundreds of rows between two paints; a row scrolled into view later is painted anew anyway.
void redraw_visible_rows(HWND list_view, std::uint32_t first, std::uint32_t last) {
  const auto top = static_cast<std::uint32_t>(SendMessageA(list_view, LVM_GETTOPINDEX, 0, 0));
  const auto page = static_cast<std::uint32_t>(SendMessageA(list_view, LVM_GETCOUNTPERPAGE, 0, 0));
  const std::uint32_t from = std::max(first, top);
  const std::uint32_t to = std::min(last, top + page);
  if (from <= to) SendMessageA(list_view, LVM_REDRAWITEMS, from, to);
}

// Takes the worker's newest progress and shows it: the bars, the rows it finished or
// reached, and the status and path of the entry being hashed. Texts are set only when they
// change; the rows are only redrawn, since their images follow from `shown`.
void show_progress(HWND window) {
  last_paint_ms = GetTickCount64();
  const std::optional<ProgressReport> report = take_progress(hash_worker);
  if (!report) return;
  set_bar(window, IDC_FILE_PROGRESS, file_bar, report->file_progress());
  set_bar(window, IDC_OVERALL_PROGRESS, overall_bar, report->overall());
  if (report->index >= file_list.count()) return;

  const std::optional<ProgressReport> before = shown;
  shown = report;
  const std::uint32_t first_changed = before ? std::min(before->index, report->index) : 0;
  redraw_visible_rows(GetDlgItem(window, IDC_FILE_LIST), first_changed, report->index);
  if (!before) {
    SetWindowTextA(GetDlgItem(window, IDC_STATUS_LABEL), CreateMode ? "Computing" : "Checking");
  }
  if (!before || before->index != report->index) {
    // The name as the system holds it, whatever the code page lacks of it.
    const boost::filesystem::path& path = file_list.at(report->index).path;
    SetWindowTextW(GetDlgItem(window, IDC_CURRENT_FILE),
                   boost::filesystem::path(path).make_preferred().c_str());
  }
}

// Returns true when the last paint is at least `interval_ms` old.
bool painted_before(ULONGLONG interval_ms) {
  return GetTickCount64() - last_paint_ms >= interval_ms;
}

void on_progress(HWND window) {
  if (run_active && painted_before(kRunTimerIntervalMs)) show_progress(window);
}

// Ends the run once its worker has finished: shows the last progress and the verdict, or
// hands over to the save flow. Called for WM_HASH_DONE and by the run's timer, so it
// does nothing outside a run, and nothing while the worker still runs: a WM_HASH_DONE that
// another program posts then must not free the list under the worker.
void on_done(HWND window) {
  if (!run_active || worker_running()) return;
  KillTimer(window, kRunTimer);
  show_progress(window);  // the run's last progress, whatever was skipped before it
  run_active = false;
  SetWindowTextA(GetDlgItem(window, IDC_STATUS_LABEL), "Status");
  if (file_list.is_empty()) {
    // Nothing was checked, so there is nothing to call OK.
    SetWindowTextA(GetDlgItem(window, IDC_CURRENT_FILE), "No files listed");
  } else if (CreateMode) {
    SetWindowTextA(GetDlgItem(window, IDC_CURRENT_FILE), write_sfv(window).c_str());
  } else {
    SetWindowTextA(GetDlgItem(window, IDC_CURRENT_FILE),
                   file_list.all_files_match() ? "Everything OK!" : "File errors detected!");
  }
  accept_drops(window, true);
}

void on_run_timer(HWND window) {
  if (!run_active) {
    KillTimer(window, kRunTimer);
    return;
  }
  if (!worker_running()) {
    on_done(window);  // its WM_HASH_DONE was lost, or is still on its way and then ignored
  } else if (painted_before(kRunTimerIntervalMs / 2)) {
    // A tick that follows a report shown at once waits for the next one.
    show_progress(window);
  }
}

INT_PTR handle_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      initialise(window, lparam != 0);
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
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lparam);
      if (header->idFrom != IDC_FILE_LIST) return FALSE;
      if (header->code == LVN_GETDISPINFOW) {
        describe_row(reinterpret_cast<NMLVDISPINFOW*>(lparam)->item);
        return TRUE;
      }
      if (header->code == LVN_ODFINDITEMW) {
        // The rows are not searched by typed letters: no row matches, so the selection
        // stays where it is instead of jumping to the first row.
        SetWindowLongPtrA(window, DWLP_MSGRESULT, -1);
        return TRUE;
      }
      return FALSE;
    }
    case WM_TIMER:
      if (wparam != kRunTimer) return FALSE;
      on_run_timer(window);
      return TRUE;
    case WM_HASH_PROGRESS:
      on_progress(window);
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

void describe_row(LVITEMW& item) noexcept {
  if (item.iItem < 0 || static_cast<std::uint32_t>(item.iItem) >= file_list.count()) return;
  const auto row = static_cast<std::uint32_t>(item.iItem);
  const FileEntry& entry = file_list.at(row);
  if ((item.mask & LVIF_TEXT) != 0 && item.pszText != nullptr && item.cchTextMax > 0) {
    // The leaf as the system holds it: the window is Unicode, so its list view asks in
    // UTF-16 and shows any script. The list view asks while it paints, from any message
    // loop: an error here would end the program for the sake of one row's text.
    try {
      lstrcpynW(item.pszText, leaf(entry.path.native()).c_str(), item.cchTextMax);
    } catch (...) {
      item.pszText[0] = L'\0';
    }
  }
  if ((item.mask & LVIF_IMAGE) != 0) item.iImage = row_image(entry, row, shown, CreateMode);
}

void refill_file_list_view(HWND list_view) {
  shown.reset();  // every row pending until the run reaches it
  SendMessageA(list_view, LVM_DELETEALLITEMS, 0, 0);
  SendMessageA(list_view, LVM_SETITEMCOUNT, file_list.count(), 0);
}
