#include "tests/ui/remote_window.h"

#include <commctrl.h>
#include <dlgs.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstddef>

#include <gtest/gtest.h>

#include "tests/support/start_process.h"
#include "tests/support/temp_folder.h"
#include "ui/resource.h"

namespace {

// A block of memory in another process, for the messages whose lParam points to a
// structure: the target's control reads and writes it there, in its own address space.
class RemoteBuffer {
 public:
  RemoteBuffer(HANDLE process, std::size_t size) : process_(process), size_(size) {
    address_ = static_cast<char*>(
        VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    EXPECT_NE(nullptr, address_) << "VirtualAllocEx failed, error " << GetLastError();
  }
  ~RemoteBuffer() {
    if (address_ != nullptr) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;

  bool valid() const { return address_ != nullptr; }
  char* at(std::size_t offset) const { return address_ + offset; }
  bool write(std::size_t offset, const void* bytes, std::size_t size) const {
    return offset + size <= size_ &&
           WriteProcessMemory(process_, at(offset), bytes, size, nullptr) != 0;
  }
  bool read(std::size_t offset, void* bytes, std::size_t size) const {
    return offset + size <= size_ &&
           ReadProcessMemory(process_, at(offset), bytes, size, nullptr) != 0;
  }

 private:
  HANDLE process_;
  std::size_t size_;
  char* address_ = nullptr;
};

constexpr std::size_t kTextSize = 1024;

std::string class_name(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

struct Search {
  DWORD process_id;
  std::vector<HWND> found;
};

BOOL CALLBACK collect_dialog(HWND window, LPARAM lparam) {
  auto* search = reinterpret_cast<Search*>(lparam);
  DWORD owner_process = 0;
  GetWindowThreadProcessId(window, &owner_process);
  if (owner_process == search->process_id && IsWindowVisible(window) &&
      class_name(window) == "#32770") {
    search->found.push_back(window);
  }
  return TRUE;
}

BOOL CALLBACK collect_child_text(HWND window, LPARAM lparam) {
  auto* texts = reinterpret_cast<std::string*>(lparam);
  if (!texts->empty()) *texts += '|';
  *texts += window_text(window);
  return TRUE;
}

bool is_main_window(HWND window) {
  return GetWindow(window, GW_OWNER) == nullptr && window_text(window) == "Tallyrun 1.2" &&
         GetDlgItem(window, IDC_FILE_LIST) != nullptr;
}

// Returns the path in the environment variable `name` in native form with backslashes (a
// bare Unix path gets Wine's drive Z:); "" when unset.
std::string native_path(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return "";
  std::string path = value;
  // CMake knows the build folder by its Unix path; Wine's drive Z: is the Unix root.
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// Starts `exe` through `create` (CreateProcessA or CreateProcessW) under the layer named by
// TALLYRUN_RULES_DLL, pointing `rules` at its counts; see start_process_with.
template <class StartupInfo, class Char, class Create>
DWORD start_program(Create create, const std::basic_string<Char>& exe,
                    std::basic_string<Char> command_line, PROCESS_INFORMATION& info,
                    const WindowsRulesCounts*& rules) {
  const std::string dll = native_path("TALLYRUN_RULES_DLL");
  if (dll.empty()) {
    ADD_FAILURE() << "TALLYRUN_RULES_DLL is not set: the program would run without the rules";
    return ERROR_FILE_NOT_FOUND;
  }
  auto under_rules = [&](const Char* name, Char* line, auto, auto, BOOL, DWORD, auto, auto,
                         StartupInfo* startup, PROCESS_INFORMATION* started) {
    if (!create(name, line, nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                startup, started)) {
      return FALSE;
    }
    const DWORD error = load_windows_rules(*started, widen(dll), rules);
    if (error == 0) return TRUE;
    TerminateProcess(started->hProcess, 255);
    CloseHandle(started->hThread);
    CloseHandle(started->hProcess);
    SetLastError(error);
    return FALSE;
  };
  return start_process_with<StartupInfo>(under_rules, exe, std::move(command_line), info, [] {});
}

int bar_position(HWND main, int id) {
  const std::optional<LRESULT> position = send(GetDlgItem(main, id), PBM_GETPOS, 0, 0);
  return position ? static_cast<int>(*position) : -1;
}

}  // namespace

bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

std::string program_path() { return native_path("TALLYRUN_EXE"); }

RemoteProcess::RemoteProcess(const std::string& exe, const std::string& arguments) {
  std::string command_line = "\"" + exe + "\"";
  if (!arguments.empty()) command_line += " " + arguments;
  const DWORD error =
      start_program<STARTUPINFOA>(CreateProcessA, exe, command_line, info_, rules_);
  if (error != 0) ADD_FAILURE() << "CreateProcessA(" << command_line << ") failed, error " << error;
}

RemoteProcess::RemoteProcess(const std::string& exe, const std::wstring& arguments) {
  std::wstring command_line = L"\"" + widen(exe) + L"\"";
  if (!arguments.empty()) command_line += L" " + arguments;
  const DWORD error =
      start_program<STARTUPINFOW>(CreateProcessW, widen(exe), command_line, info_, rules_);
  if (error != 0) ADD_FAILURE() << "CreateProcessW(" << command_line << ") failed, error " << error;
}

RemoteProcess::~RemoteProcess() {
  if (info_.hProcess == nullptr) return;
  if (running()) {
    TerminateProcess(info_.hProcess, 255);
    WaitForSingleObject(info_.hProcess, kWaitMs);
  }
  CloseHandle(info_.hThread);
  CloseHandle(info_.hProcess);
  if (rules_ != nullptr) UnmapViewOfFile(rules_);
}

bool RemoteProcess::running() const {
  return info_.hProcess != nullptr && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> RemoteProcess::wait_exit(DWORD timeout_ms) const {
  if (info_.hProcess == nullptr ||
      WaitForSingleObject(info_.hProcess, timeout_ms) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  GetExitCodeProcess(info_.hProcess, &code);
  return code;
}

std::vector<HWND> RemoteProcess::dialogs() const {
  Search search{id(), {}};
  EnumWindows(collect_dialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND RemoteProcess::wait_for_dialog(const std::function<bool(HWND)>& matches,
                                    DWORD timeout_ms) const {
  HWND found = nullptr;
  wait_until(
      [&] {
        for (HWND window : dialogs()) {
          if (matches(window)) found = window;
        }
        return found != nullptr;
      },
      timeout_ms);
  return found;
}

HWND RemoteProcess::main_window(DWORD timeout_ms) const {
  return wait_for_dialog(is_main_window, timeout_ms);
}

HWND RemoteProcess::owned_dialog(HWND owner, DWORD timeout_ms) const {
  return wait_for_dialog([&](HWND window) { return GetWindow(window, GW_OWNER) == owner; },
                         timeout_ms);
}

HWND RemoteProcess::message_box(DWORD timeout_ms) const {
  return wait_for_dialog(
      [](HWND window) { return GetDlgItem(window, IDC_FILE_LIST) == nullptr; }, timeout_ms);
}

bool RemoteProcess::drop(HWND window, const std::vector<std::string>& paths) const {
  DROPFILES header{};
  header.pFiles = sizeof header;
  header.fWide = FALSE;
  std::string block(reinterpret_cast<const char*>(&header), sizeof header);
  for (const std::string& path : paths) block.append(path).push_back('\0');
  block.push_back('\0');
  return post_drop(window, block);
}

bool RemoteProcess::drop(HWND window, const std::vector<std::wstring>& paths) const {
  DROPFILES header{};
  header.pFiles = sizeof header;
  header.fWide = TRUE;
  std::string block(reinterpret_cast<const char*>(&header), sizeof header);
  for (const std::wstring& path : paths) {
    block.append(reinterpret_cast<const char*>(path.c_str()), (path.size() + 1) * sizeof(wchar_t));
  }
  block.append(sizeof(wchar_t), '\0');
  return post_drop(window, block);
}

bool RemoteProcess::post_drop(HWND window, const std::string& block) const {
  // The target's DragQueryFileW takes the block through GlobalLock, which hands back a
  // plain pointer as it is; its DragFinish cannot free it, so it stays until the target ends.
  void* remote = VirtualAllocEx(info_.hProcess, nullptr, block.size(), MEM_COMMIT | MEM_RESERVE,
                                PAGE_READWRITE);
  if (remote == nullptr ||
      !WriteProcessMemory(info_.hProcess, remote, block.data(), block.size(), nullptr)) {
    ADD_FAILURE() << "writing the drop into the target failed, error " << GetLastError();
    return false;
  }
  if (!PostMessageA(window, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0)) {
    ADD_FAILURE() << "PostMessageA(WM_DROPFILES) failed, error " << GetLastError();
    return false;
  }
  return true;
}

std::vector<std::string> RemoteProcess::list_columns(HWND list_view) const {
  std::vector<std::string> columns;
  const std::optional<LRESULT> header = send(list_view, LVM_GETHEADER, 0, 0);
  if (!header) return columns;
  const std::optional<LRESULT> count =
      send(reinterpret_cast<HWND>(*header), HDM_GETITEMCOUNT, 0, 0);
  RemoteBuffer buffer(info_.hProcess, sizeof(LVCOLUMNA) + kTextSize);
  if (!count || !buffer.valid()) return columns;
  for (LRESULT i = 0; i < *count; ++i) {
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT;
    column.pszText = buffer.at(sizeof column);
    column.cchTextMax = static_cast<int>(kTextSize);
    char text[kTextSize] = {};
    if (!buffer.write(0, &column, sizeof column) || !buffer.write(sizeof column, text, 1) ||
        send(list_view, LVM_GETCOLUMNA, static_cast<WPARAM>(i),
             reinterpret_cast<LPARAM>(buffer.at(0))) != 1 ||
        !buffer.read(sizeof column, text, sizeof text - 1)) {
      columns.push_back("(unreadable)");
      continue;
    }
    columns.push_back(text);
  }
  return columns;
}

std::vector<RemoteProcess::Row> RemoteProcess::list_rows(HWND list_view) const {
  std::vector<Row> rows;
  const std::optional<LRESULT> count = send(list_view, LVM_GETITEMCOUNT, 0, 0);
  RemoteBuffer buffer(info_.hProcess, sizeof(LVITEMA) + kTextSize);
  if (!count || !buffer.valid()) return rows;
  for (LRESULT i = 0; i < *count; ++i) {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = static_cast<int>(i);
    item.pszText = buffer.at(sizeof item);
    item.cchTextMax = static_cast<int>(kTextSize);
    char text[kTextSize] = {};
    Row row;
    if (buffer.write(0, &item, sizeof item) && buffer.write(sizeof item, text, 1) &&
        send(list_view, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(buffer.at(0))) == TRUE &&
        buffer.read(0, &item, sizeof item) && buffer.read(sizeof item, text, sizeof text - 1)) {
      row.text = text;
      row.image = item.iImage;
    } else {
      row.text = "(unreadable)";
    }
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::wstring> RemoteProcess::list_names(HWND list_view) const {
  std::vector<std::wstring> names;
  const std::optional<LRESULT> count = send(list_view, LVM_GETITEMCOUNT, 0, 0);
  RemoteBuffer buffer(info_.hProcess, sizeof(LVITEMW) + kTextSize * sizeof(wchar_t));
  LVITEMW item{};
  item.pszText = reinterpret_cast<wchar_t*>(buffer.at(sizeof item));
  item.cchTextMax = static_cast<int>(kTextSize);
  for (LRESULT i = 0; count && buffer.valid() && i < *count; ++i) {
    wchar_t text[kTextSize] = {};
    const LPARAM remote_item = reinterpret_cast<LPARAM>(buffer.at(0));
    const bool read = buffer.write(0, &item, sizeof item) &&
                      send(list_view, LVM_GETITEMTEXTW, i, remote_item) &&
                      buffer.read(sizeof item, text, sizeof text - sizeof(wchar_t));
    names.push_back(read ? text : L"(unreadable)");
  }
  return names;
}

MainView read_main_view(const RemoteProcess& process, HWND main) {
  MainView view;
  view.caption = window_text(main);
  view.status = window_text(GetDlgItem(main, IDC_STATUS_LABEL));
  view.current = window_text(GetDlgItem(main, IDC_CURRENT_FILE));
  view.file_bar = bar_position(main, IDC_FILE_PROGRESS);
  view.overall_bar = bar_position(main, IDC_OVERALL_PROGRESS);
  view.accepts_drops = (GetWindowLongPtrA(main, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0;
  view.rows = process.list_rows(GetDlgItem(main, IDC_FILE_LIST));
  return view;
}

std::ostream& operator<<(std::ostream& out, const RemoteProcess::Row& row) {
  return out << row.text << ":" << row.image;
}

std::ostream& operator<<(std::ostream& out, const WindowsRulesCounts& counts) {
  return out << "{reads pending " << counts.reads_pending << " (of " << counts.files_pending
             << " files), cancelled " << counts.reads_cancelled << ", ended in the call "
             << counts.reads_in_call << "; seek questions " << counts.seek_questions
             << ", threads refused " << counts.threads_refused
             << "; refused: unaligned reads "
             << counts.unaligned_refused << ", conversion flags " << counts.flags_refused
             << ", long paths " << counts.long_paths_refused << "; files open at once: most "
             << counts.files_open_most << ", now " << counts.files_open << "}";
}

std::ostream& operator<<(std::ostream& out, const MainView& view) {
  out << "{caption \"" << view.caption << "\", status \"" << view.status << "\", current \""
      << view.current << "\", bars " << view.file_bar << "/" << view.overall_bar
      << (view.accepts_drops ? ", accepts drops" : ", refuses drops") << ", rows [";
  for (std::size_t i = 0; i < view.rows.size(); ++i) out << (i ? " " : "") << view.rows[i];
  return out << "]}";
}

std::string window_text(HWND window) {
  if (window == nullptr) return "";
  char text[kTextSize] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string child_texts(HWND window) {
  std::string texts;
  EnumChildWindows(window, collect_child_text, reinterpret_cast<LPARAM>(&texts));
  return texts;
}

std::optional<LRESULT> send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, message, wparam, lparam, SMTO_ABORTIFHUNG, kWaitMs, &result)) {
    return std::nullopt;
  }
  return static_cast<LRESULT>(result);
}

bool click(HWND dialog, int id) {
  const HWND button = GetDlgItem(dialog, id);
  return button != nullptr && PostMessageA(button, BM_CLICK, 0, 0) != 0;
}

bool save_as(HWND dialog, const std::string& name) {
  // The name field is a combo box with an edit (cmb13) or a plain edit (edt1), by style.
  HWND field = GetDlgItem(dialog, cmb13);
  if (field == nullptr || !IsWindowVisible(field)) field = GetDlgItem(dialog, edt1);
  if (field == nullptr) return false;
  send(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
  char typed[kTextSize] = {};
  send(field, WM_GETTEXT, sizeof typed, reinterpret_cast<LPARAM>(typed));
  return name == typed && click(dialog, IDOK);
}

bool wait_posted_handled(HWND list_view) {
  const std::optional<LRESULT> width = send(list_view, LVM_GETCOLUMNWIDTH, 0, 0);
  if (!width) return false;
  const LRESULT marker = *width == 301 ? 302 : 301;
  return PostMessageA(list_view, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(marker, 0)) &&
         wait_until([&] { return send(list_view, LVM_GETCOLUMNWIDTH, 0, 0) == marker; });
}

DWORD gui_thread_flags(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return 0;
  return info.flags;
}
