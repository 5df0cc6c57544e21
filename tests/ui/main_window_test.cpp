// The main window run in this process by run_program, as tallyrun.exe runs it, for what
// only this process can arrange: the worker's posts refused as a full queue refuses them,
// and names that cannot be converted.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/list/file_list.h"
#include "core/names/path_rules.h"
#include "tests/support/failing_conversion.h"
#include "tests/support/full_queue.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/remote_window.h"
#include "ui/main_window.h"
#include "ui/resource.h"
#include "ui/run_program.h"
#include "worker/worker.h"

namespace {

struct Outcome {
  std::string status, current;
  LRESULT file_bar = -1, overall_bar = -1;
  std::vector<std::string> rows;  // "name:image"
};

// Returns the visible main window that `thread` made, or null; another process's, as
// test_program may show at the same time, and the hidden one of an earlier case are no
// concern of this test.
HWND main_window_of(DWORD thread) {
  HWND found = nullptr;
  EnumThreadWindows(
      thread,
      [](HWND window, LPARAM result) {
        if (window_text(window) != "Tallyrun 1.2" || !IsWindowVisible(window)) return TRUE;
        *reinterpret_cast<HWND*>(result) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

// Waits on another thread until the window's run has ended (an outcome shown and drops
// accepted again), returns what it shows, and closes it. After 20 s it ends the loop of
// `ui_thread` in any case, so the test cannot hang.
Outcome watch_and_close(DWORD ui_thread) {
  Outcome seen;
  HWND main = nullptr;
  const ULONGLONG deadline = GetTickCount64() + 20000;
  for (; GetTickCount64() < deadline; Sleep(20)) {
    main = main_window_of(ui_thread);
    if (main != nullptr && (GetWindowLongPtrA(main, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0 &&
        !window_text(GetDlgItem(main, IDC_CURRENT_FILE)).empty()) {
      break;
    }
  }
  if (main == nullptr) {
    PostThreadMessageA(ui_thread, WM_QUIT, 0, 0);
    return seen;
  }
  seen.status = window_text(GetDlgItem(main, IDC_STATUS_LABEL));
  seen.current = window_text(GetDlgItem(main, IDC_CURRENT_FILE));
  seen.file_bar = SendMessageA(GetDlgItem(main, IDC_FILE_PROGRESS), PBM_GETPOS, 0, 0);
  seen.overall_bar = SendMessageA(GetDlgItem(main, IDC_OVERALL_PROGRESS), PBM_GETPOS, 0, 0);
  const HWND list_view = GetDlgItem(main, IDC_FILE_LIST);
  const LRESULT count = SendMessageA(list_view, LVM_GETITEMCOUNT, 0, 0);
  for (int i = 0; i < count; ++i) {
    char text[MAX_PATH] = {};
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = i;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(list_view, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    seen.rows.push_back(std::string(text) + ":" + std::to_string(item.iImage));
  }
  PostMessageA(main, WM_COMMAND, IDCANCEL, 0);
  return seen;
}

// The verdict must come whatever happens to the worker's messages: a full queue refuses
// most of them, and a modal loop of another's may swallow all of them.
TEST(MainWindow, ARunShowsItsVerdictThoughTheWorkersMessagesAreRefusedOrLost) {
  TempFolder folder;
  folder.write("check.txt", "123456789");
  folder.write("fox.txt", "The quick brown fox jumps over the lazy dog");
  const std::string list =
      folder.write("list.sfv", "check.txt cbf43926\r\nfox.txt 414fa33a\r\ngone.txt 0\r\n");
  const struct {
    const char* what;
    PostThreadMessageFunction post;
  } cases[] = {
      {"queue refuses most posts", post_to_full_queue},
      {"every message lost in a modal loop", post_lost_in_modal_loop},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string command_line = "\"" + list + "\"";
    post_thread_message = c.post;
    Outcome seen;
    std::thread watcher(
        [&, ui_thread = GetCurrentThreadId()] { seen = watch_and_close(ui_thread); });
    const int exit_code = run_program(GetModuleHandleA(nullptr), nullptr, command_line.data(), 0);
    watcher.join();
    post_thread_message = PostThreadMessageA;

    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(seen.current, "File errors detected!");
    EXPECT_EQ(seen.status, "Status");
    EXPECT_EQ(seen.file_bar, 65535);
    EXPECT_EQ(seen.overall_bar, 65535);
    EXPECT_EQ(seen.rows, (std::vector<std::string>{"check.txt:1", "fox.txt:5", "gone.txt:5"}));
  }
}

// The list view asks for a row's text while it paints, from whatever loop is running: a row
// shows its file's name as the system holds it, whatever the code page lacks, and a failing
// conversion of paths (as Boost.Filesystem's own is under the UTF-8 code page) neither ends
// the program nor blanks the row.
TEST(MainWindow, ARowShowsItsNameInAnyScript) {
  const std::wstring name = L"\u2605 \u0416\u0443\u043A \u6708.bin";
  FileEntry listed;
  listed.path = make_path(L"C:\\set\\" + name);
  file_list.replace_with(std::vector<FileEntry>{listed});
  wchar_t text[64] = L"not filled in";
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_IMAGE;
  item.pszText = text;
  item.cchTextMax = 64;
  item.iImage = -1;
  {
    const FailingPathConversion failing;
    describe_row(item);
  }
  EXPECT_TRUE(name == text) << "got " << boost::filesystem::path(text).string();
  EXPECT_NE(item.iImage, -1) << "the row's image is given all the same";
  file_list.clear();
}

}  // namespace
