// tallyrun-watch.exe: lets scripts/run follow tallyrun.exe on a virtual display, where no
// one can look. Runs under Wine next to the program.
//   tallyrun-watch wait SECONDS  waits until the window has ended its run (it accepts drops
//                                again) or shows the error box; prints what it shows.
//                                Exits 1 when that takes longer than SECONDS.
//   tallyrun-watch close         presses OK on the error box, or Close on the window.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/resource.h"

namespace {

std::string text_of(HWND window) {
  char text[1024] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

struct Found {
  HWND main = nullptr;       // the main window: it holds the file list
  HWND error_box = nullptr;  // a window of the same caption without one
};

BOOL CALLBACK look_at(HWND window, LPARAM found_address) {
  auto& found = *reinterpret_cast<Found*>(found_address);
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::strcmp(name, "#32770") != 0 || text_of(window) != "Tallyrun 1.2") return TRUE;
  (GetDlgItem(window, IDC_FILE_LIST) != nullptr ? found.main : found.error_box) = window;
  return TRUE;
}

Found find_windows() {
  Found found;
  EnumWindows(look_at, reinterpret_cast<LPARAM>(&found));
  return found;
}

// Returns the text of the error box's message: its longest static text.
std::string error_text(HWND box) {
  std::string longest;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    const std::string text = text_of(child);
    if (text.size() > longest.size() && text != "OK") longest = text;
  }
  return longest;
}

int wait_for_end(double seconds) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
  Found found;
  while (GetTickCount64() < deadline) {
    found = find_windows();
    if (found.error_box) {
      std::printf("error box: %s\n", error_text(found.error_box).c_str());
      return 0;
    }
    if (found.main && (GetWindowLongA(found.main, GWL_EXSTYLE) & WS_EX_ACCEPTFILES)) {
      const int rows = static_cast<int>(SendMessageA(GetDlgItem(found.main, IDC_FILE_LIST),
                                                     LVM_GETITEMCOUNT, 0, 0));
      std::printf("run ended: %d files, \"%s\"\n", rows,
                  text_of(GetDlgItem(found.main, IDC_CURRENT_FILE)).c_str());
      return 0;
    }
    Sleep(100);
  }
  std::printf("still running after %.0f s%s\n", seconds, found.main ? "" : " (no window found)");
  return 1;
}

int close_program() {
  const Found found = find_windows();
  if (found.error_box) PostMessageA(found.error_box, WM_COMMAND, IDOK, 0);
  if (found.main) PostMessageA(found.main, WM_COMMAND, IDCANCEL, 0);
  return found.error_box || found.main ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "wait") == 0) return wait_for_end(std::atof(argv[2]));
  if (argc == 2 && std::strcmp(argv[1], "close") == 0) return close_program();
  std::fprintf(stderr, "usage: tallyrun-watch wait SECONDS | tallyrun-watch close\n");
  return 2;
}
