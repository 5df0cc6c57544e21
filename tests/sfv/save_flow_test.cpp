#include "sfv/save_flow.h"

#include <windows.h>
#include <commctrl.h>
#include <dlgs.h>
#include <objbase.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "core/list/file_list.h"
#include "core/names/code_page.h"
#include "core/names/long_path.h"
#include "core/names/open_rules.h"
#include "core/names/path_rules.h"
#include "tests/support/temp_folder.h"

namespace {

// What the test does with one dialog; a script holds one per dialog, in the order they
// open, and one more for each time a Save As dialog is acted on again: after an Activate,
// and after a box over it that leaves it open.
struct Action {
  enum Kind {
    SaveAs,       // Save As: type `name` into the name field and press Save
    Cancel,       // Save As: press Cancel
    ConfirmYes,   // a question over Save As: answer Yes
    ConfirmNo,    // a question over Save As: answer No; the Save As stays open
    Acknowledge,  // a box that says why a name was refused: press OK; the Save As stays open
    Activate,     // Save As: double-click the item `wide_name` in the file list; a Save As
                  // action next acts on the same dialog, in the folder it went to
  };
  Kind kind;
  std::string name{};
  std::wstring wide_name{};  // SaveAs: typed in place of `name` when not empty
};

// What a dialog showed when the test got to it, once for every action.
struct Seen {
  bool save_as = false;      // false: a message box, such as an overwrite question
  std::string first_filter;  // Save As: the first entry of the file-type combo
  std::wstring name;         // Save As: the name field before the test typed into it
  std::wstring text;         // a message box: its text
};

constexpr UINT_PTR kActTimer = 0x5a01;
constexpr UINT_PTR kWatchdogTimer = 0x5a02;
constexpr UINT kActDelayMs = 200;  // lets the dialog finish setting itself up
constexpr UINT kWatchdogMs = 10000;

// Returns the window's text, cut at 1023 bytes.
std::string window_text(HWND window) {
  char text[1024] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// Returns true for a dialog box window that is no child: Save As and its message boxes.
bool is_top_level_dialog(HWND window) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  return std::string(name) == "#32770" && (GetWindowLongA(window, GWL_STYLE) & WS_CHILD) == 0;
}

// The file-type combo exists only in the Save As dialog, not in the message boxes it opens.
bool is_save_as(HWND dialog) { return GetDlgItem(dialog, cmb1) != nullptr; }

// The name field is an edit (edt1) or a combo box with an edit (cmb13), by dialog style.
HWND name_field(HWND dialog) {
  HWND field = GetDlgItem(dialog, cmb13);
  if (field == nullptr || !IsWindowVisible(field)) field = GetDlgItem(dialog, edt1);
  return field;
}

// Returns a message box's text, which the system shows in the static control 0xFFFF.
std::wstring box_text(HWND box) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 1024);
  return text;
}

// Posts the click on the button `id` that the dialog would get from the mouse.
void press(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// Returns the Save As dialog's file list: the list view of its shell view, which sits
// inside the dialog's browser.
HWND file_list_view(HWND dialog) {
  HWND view = nullptr;
  EnumChildWindows(
      dialog,
      [](HWND window, LPARAM found) -> BOOL {
        wchar_t name[32] = {};
        GetClassNameW(window, name, 32);
        if (std::wstring(name) != L"SHELLDLL_DefView") return TRUE;
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&view));
  return view == nullptr ? nullptr : FindWindowExW(view, nullptr, L"SysListView32", nullptr);
}

// Double-clicks the item of the dialog's file list shown as `name`, or as `name` without
// its extension where the list hides them, as the mouse would: selected, then a double
// click on its label. Returns "" when done, else what went wrong.
std::string double_click_item(HWND dialog, const std::wstring& name) {
  HWND list = file_list_view(dialog);
  if (list == nullptr) return "the Save As dialog has no file list";
  const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  std::string shown;
  for (int item = 0; item < count; ++item) {
    wchar_t text[MAX_PATH] = {};
    LVITEMW request = {};
    request.iSubItem = 0;
    request.pszText = text;
    request.cchTextMax = MAX_PATH;
    SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&request));
    const std::wstring item_text = text;
    if (item_text != name && item_text != name.substr(0, name.rfind(L'.'))) {
      shown += (shown.empty() ? "" : "|") + boost::filesystem::path(item_text).string();
      continue;
    }
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, item, reinterpret_cast<LPARAM>(&state));
    RECT label = {};
    label.left = LVIR_LABEL;
    SendMessageW(list, LVM_GETITEMRECT, item, reinterpret_cast<LPARAM>(&label));
    PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON,
                 MAKELPARAM((label.left + label.right) / 2, (label.top + label.bottom) / 2));
    PostMessageW(list, WM_LBUTTONUP, 0,
                 MAKELPARAM((label.left + label.right) / 2, (label.top + label.bottom) / 2));
    return "";
  }
  return "no item " + boost::filesystem::path(name).string() + " in the file list, which shows " +
         shown;
}

// Closes a dialog the way its user would back out of it.
void dismiss(HWND dialog) {
  if (is_save_as(dialog)) {
    press(dialog, IDCANCEL);
  } else {
    press(dialog, GetDlgItem(dialog, IDNO) != nullptr ? IDNO : IDCANCEL);
  }
}

// Drives the dialogs that open on this thread while it lives, by a WH_CBT hook that sees
// them activate. Every dialog gets a watchdog that backs out of it, so no test can hang.
class DialogDriver {
 public:
  explicit DialogDriver(std::vector<Action> script) : script_(std::move(script)) {
    active_ = this;
    hook_ = SetWindowsHookExA(WH_CBT, on_cbt, nullptr, GetCurrentThreadId());
    EXPECT_NE(nullptr, hook_) << "SetWindowsHookExA failed, error " << GetLastError();
  }
  ~DialogDriver() {
    if (hook_ != nullptr) UnhookWindowsHookEx(hook_);
    active_ = nullptr;
  }
  DialogDriver(const DialogDriver&) = delete;
  DialogDriver& operator=(const DialogDriver&) = delete;

  std::vector<Seen> seen;
  std::vector<std::string> problems;  // dialogs the script did not expect, watchdogs that fired
  std::size_t unused_actions() const { return script_.size() - next_; }

 private:
  static LRESULT CALLBACK on_cbt(int code, WPARAM wparam, LPARAM lparam) {
    HWND window = reinterpret_cast<HWND>(wparam);
    if (active_ != nullptr && code == HCBT_ACTIVATE && is_top_level_dialog(window) &&
        active_->handled_.insert(window).second) {
      // A Save As dialog activates again when its message box closes; act on it once.
      SetTimer(window, kActTimer, kActDelayMs, on_act);
      SetTimer(window, kWatchdogTimer, kWatchdogMs, on_watchdog);
    } else if (active_ != nullptr && code == HCBT_DESTROYWND) {
      active_->handled_.erase(window);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
  }

  static void CALLBACK on_act(HWND dialog, UINT, UINT_PTR, DWORD) {
    KillTimer(dialog, kActTimer);
    if (active_ != nullptr) active_->act(dialog);
  }

  static void CALLBACK on_watchdog(HWND dialog, UINT, UINT_PTR, DWORD) {
    KillTimer(dialog, kActTimer);
    KillTimer(dialog, kWatchdogTimer);
    if (active_ != nullptr) {
      active_->problems.push_back("watchdog closed a dialog titled \"" + window_text(dialog) +
                                  "\"");
    }
    dismiss(dialog);
  }

  void act(HWND dialog) {
    Seen s;
    s.save_as = is_save_as(dialog);
    if (!s.save_as) s.text = box_text(dialog);
    if (s.save_as) {
      HWND types = GetDlgItem(dialog, cmb1);
      const LRESULT length = SendMessageA(types, CB_GETLBTEXTLEN, 0, 0);
      if (length >= 0) {
        std::string filter(static_cast<std::size_t>(length) + 1, '\0');
        SendMessageA(types, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(filter.data()));
        s.first_filter = filter.c_str();
      }
      wchar_t name[1024] = {};
      GetWindowTextW(name_field(dialog), name, 1024);
      s.name = name;
    }
    seen.push_back(s);

    if (next_ == script_.size()) {
      problems.push_back("unexpected dialog " + std::to_string(seen.size()) + ": " +
                         (s.save_as ? "Save As" : boost::filesystem::path(s.text).string()));
      dismiss(dialog);
      return;
    }
    const Action& action = script_[next_++];
    const bool for_save_as = acts_on_save_as(action);
    if (for_save_as != s.save_as) {
      problems.push_back("dialog " + std::to_string(seen.size()) + " is " +
                         (s.save_as ? "a Save As dialog" : "a message box") +
                         ", the script expected the other kind");
      dismiss(dialog);
      return;
    }
    switch (action.kind) {
      case Action::SaveAs:
        if (action.wide_name.empty()) {
          SetWindowTextA(name_field(dialog), action.name.c_str());
        } else {
          SetWindowTextW(name_field(dialog), action.wide_name.c_str());
        }
        press(dialog, IDOK);
        break;
      case Action::Cancel:
        press(dialog, IDCANCEL);
        break;
      case Action::ConfirmYes:
        press(dialog, IDYES);
        break;
      case Action::ConfirmNo:
      case Action::Acknowledge:
        press(dialog, action.kind == Action::ConfirmNo ? IDNO : IDOK);
        // The Save As under the box stays open and activates again, which the hook does not
        // act on twice: act on it here when the script goes on with it.
        if (next_ < script_.size() && acts_on_save_as(script_[next_])) {
          SetTimer(GetWindow(dialog, GW_OWNER), kActTimer, kActDelayMs, on_act);
        }
        break;
      case Action::Activate:
        if (const std::string problem = double_click_item(dialog, action.wide_name);
            !problem.empty()) {
          problems.push_back(problem);
          dismiss(dialog);
          break;
        }
        // A folder opens in the same dialog, which does not activate again; a file may
        // open a message box, which does.
        if (next_ < script_.size() && acts_on_save_as(script_[next_])) {
          SetTimer(dialog, kActTimer, kActDelayMs, on_act);
        }
        break;
    }
  }

  static bool acts_on_save_as(const Action& action) {
    return action.kind == Action::SaveAs || action.kind == Action::Cancel ||
           action.kind == Action::Activate;
  }

  static inline DialogDriver* active_ = nullptr;
  HHOOK hook_ = nullptr;
  std::vector<Action> script_;
  std::size_t next_ = 0;
  std::set<HWND> handled_;
};

const std::string kHeader = "; Created by Tallyrun 1.2\r\n";

class SaveFlow : public testing::Test {
 protected:
  void SetUp() override {
    window_ = CreateWindowExA(0, "STATIC", "Tallyrun", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300,
                              nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(nullptr, window_) << "CreateWindowExA failed, error " << GetLastError();
    file_list.clear();
    // The Save As dialog is made through COM, on a thread set up as the program sets up its own.
    // S_FALSE: the thread's COM stayed set up after the last case, which the shell may keep.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    com_ = com == S_OK || com == S_FALSE;
    ASSERT_TRUE(com_) << "CoInitializeEx gave " << std::hex << com;
  }
  void TearDown() override {
    DestroyWindow(window_);
    file_list.clear();
    if (com_) CoUninitialize();
  }

  // Creates the file `native_path` and lists it with the given hash outcome.
  void add(const std::string& native_path, HashStatus status, std::uint32_t computed) {
    std::ofstream(native_path, std::ios::binary) << "data";
    FileEntry entry;
    entry.path = make_path(native_path);
    entry.status = status;
    entry.computed = computed;
    file_list.append(entry);
  }

  // Runs write_sfv with the script answering its dialogs; returns what they showed. The
  // process's current folder must be the same afterwards: a folder left current could be
  // neither removed nor ejected.
  std::vector<Seen> save(std::vector<Action> script) {
    wchar_t before[MAX_PATH] = {}, after[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, before);
    DialogDriver driver(std::move(script));
    outcome_ = write_sfv(window_);
    GetCurrentDirectoryW(MAX_PATH, after);
    EXPECT_EQ(std::wstring(before), std::wstring(after)) << "the current folder changed";
    SetCurrentDirectoryW(before);  // so that the next case's folder can be removed
    for (const std::string& problem : driver.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(0u, driver.unused_actions()) << "script steps left: fewer dialogs than expected";
    return driver.seen;
  }

  // Returns the outcome that the last save returned for the window.
  const std::string& outcome() const { return outcome_; }

  HWND window_ = nullptr;
  std::string outcome_;
  bool com_ = false;
  TempFolder folder;
};

// Returns every file under the folder `root` by its path from there, with its content.
std::map<std::wstring, std::string> files_under(const std::wstring& root) {
  std::map<std::wstring, std::string> files;
  for (const auto& item : boost::filesystem::recursive_directory_iterator(root)) {
    if (!boost::filesystem::is_regular_file(item.status())) continue;
    std::ifstream in(item.path().c_str(), std::ios::binary);
    files[item.path().native().substr(root.size() + 1)] =
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return files;
}

// Returns true when `text` holds `part`.
bool says(const std::wstring& text, const std::wstring& part) {
  return text.find(part) != std::wstring::npos;
}

// A list of bare names only checks in its files' folder, so the dialog opens there every
// time, not where the last list was saved; a name typed without a folder lands in it.
TEST_F(SaveFlow, OpensInTheFirstFilesFolderEveryTime) {
  const std::string photos = folder.make_folder("photos");
  const std::string music = folder.make_folder("music");
  const struct {
    std::string first, second;  // the listed files: the first one's folder is the list's
    std::string list;           // where "list" typed into the dialog must land
    std::string lines;
  } saves[] = {
      {photos + "\\a b.txt", folder.file("z.bin"), photos + "\\list.sfv",
       "a b.txt 0000abcd\r\nz.bin ffffffff\r\n"},
      {music + "\\m.wav", photos + "\\a b.txt", music + "\\list.sfv",
       "m.wav 0000abcd\r\na b.txt ffffffff\r\n"},
  };
  for (const auto& run : saves) {
    SCOPED_TRACE(run.list);
    file_list.clear();
    add(run.first, HashStatus::Complete, 0x0000ABCD);
    add(run.second, HashStatus::Complete, 0xFFFFFFFF);

    const std::vector<Seen> seen = save({{Action::SaveAs, "list"}});

    ASSERT_EQ(1u, seen.size());
    // The combo shows a filter by its description alone; the pattern only selects the files.
    EXPECT_EQ("Simple File Verification file", seen[0].first_filter);
    EXPECT_EQ(L"", seen[0].name);
    EXPECT_EQ(kHeader + run.lines, read_file(run.list));
    EXPECT_EQ("SFV file written", outcome());
  }
  EXPECT_EQ("a b.txt|list.sfv", folder_listing(photos));
  EXPECT_EQ("list.sfv|m.wav", folder_listing(music));
}

TEST_F(SaveFlow, CancelWritesNothing) {
  add(folder.file("a.txt"), HashStatus::Complete, 1);

  save({{Action::Cancel}});

  EXPECT_EQ("a.txt", folder_listing(folder.path()));
  EXPECT_EQ("Aborted SFV write", outcome());
}

TEST_F(SaveFlow, SfvExtensionIsAppendedOnlyWhenMissing) {
  const struct {
    std::string typed;
    std::string written;
  } cases[] = {
      {"LIST.SFV", "LIST.SFV"},
      {"list.Sfv", "list.Sfv"},
      {"out.txt", "out.txt.sfv"},
      {"list.sfv.bak", "list.sfv.bak.sfv"},
  };
  for (const auto& c : cases) {
    TempFolder here;
    file_list.clear();
    add(here.file("0.txt"), HashStatus::Complete, 0x12345678);  // sorts before any letter

    save({{Action::SaveAs, c.typed}});

    EXPECT_EQ("0.txt|" + c.written, folder_listing(here.path())) << "typed " << c.typed;
    EXPECT_EQ(kHeader + "0.txt 12345678\r\n", read_file(here.file(c.written))) << c.typed;
    EXPECT_EQ("SFV file written", outcome()) << c.typed;
  }
}

// A list's path, ".sfv" included, must fit the dialog's buffers of MAX_PATH characters; nor
// can the list be written under a device's name, or under a name the system would cut its
// end from. A name the code page lacks is the list's own, not its look-alike's. The
// dialog opens where a list fits, and a name it cannot take is refused in words with the
// dialog still open on it, never a crash nor another file's name: a second name is then
// written, and the run's results with it.
TEST_F(SaveFlow, LongFoldersAndUnusableTypedNamesAreWrittenOrRefused) {
  const struct {
    const char* what;
    std::size_t folder_length;  // 0: the test's own folder
    std::size_t typed_length;   // of n's; 0: as many as make a list path of `list_length`
    std::size_t list_length;
    std::wstring wide_name;  // typed in place of the n's when not empty
    std::wstring reason;     // what the box over the dialog says; "" when written
  } cases[] = {
      {"files from a folder of 280 characters", 280, 4, 0, L"", L""},
      {"files from a folder that fits the dialog but no list", MAX_PATH - 4, 4, 0, L"", L""},
      {"a list path of 259 characters", 0, 0, MAX_PATH - 1, L"", L""},
      {"a list path of 260 characters", 0, 0, MAX_PATH, L"", L"too long"},
      {"a typed name of 291 characters", 0, 291, 0, L"", L"too long"},
      {"a full-width name beside its look-alike's list", 0, 1, 0, L"\xFF4E", L""},  // full-width n
      {"a device's name once \".sfv\" is added", 0, 1, 0, L"COM1.x", L"device"},
      {"a name whose dot the system would drop", 0, 1, 0, L"n.sfv.", L"ends in a dot"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder here;
    file_list.clear();
    const std::string where = c.folder_length == 0 ? here.path()
                                                   : here.make_long_folder(c.folder_length);
    add(where + "\\0.txt", HashStatus::Complete, 0x12345678);
    const std::size_t typed_length = c.typed_length != 0 ? c.typed_length
                                                         : c.list_length - here.path().size() - 5;
    const std::string typed(typed_length, 'n');
    if (!c.wide_name.empty()) here.write(typed + ".sfv", "old");
    std::vector<Action> script = {{Action::SaveAs, typed, c.wide_name}};
    if (!c.reason.empty()) script.insert(script.end(), {{Action::Acknowledge}, {Action::SaveAs, "m"}});

    const std::vector<Seen> seen = save(script);

    ASSERT_EQ(script.size(), seen.size());
    // The dialog opened in the listed file's folder, or its nearest parent where a list fits.
    std::string list = where;
    while (list.size() + sizeof "\\n.sfv" > MAX_PATH) list.resize(list.rfind('\\'));
    const std::wstring name = !c.reason.empty()     ? L"m"
                              : c.wide_name.empty() ? widen(typed)
                                                    : c.wide_name;
    EXPECT_EQ(kHeader + "0.txt 12345678\r\n", read_file(widen(list) + L"\\" + name + L".sfv"));
    if (!c.wide_name.empty()) {
      EXPECT_EQ("old", read_file(here.file(typed + ".sfv"))) << "an existing list was replaced";
    }
    EXPECT_EQ("SFV file written", outcome());
    if (!c.reason.empty()) {
      EXPECT_TRUE(says(seen[1].text, c.reason))
          << "the box says " << boost::filesystem::path(seen[1].text).string();
      EXPECT_TRUE((c.wide_name.empty() ? widen(typed) : c.wide_name) == seen[2].name)
          << "the dialog keeps the refused name";
    }
  }
}

// A name can also be chosen in the dialog's own list, without Save: a folder browsed into,
// or a file double-clicked. Beside each full-width name lies its plain look-alike, holding
// a list of its own. The new list goes where the user chose, never to the look-alike, or,
// where that path fails the name check, the dialog says why and stays open, and a second
// name is written where it names; no other file changes. The dialog opens in the first
// file's folder.
TEST_F(SaveFlow, ANameChosenInTheDialogsListIsUsedOrRefusedNeverItsLookAlike) {
  const std::wstring wide_reports = L"\uFF32\uFF45\uFF50\uFF4F\uFF52\uFF54\uFF53";
  const std::wstring wide_made = L"\uFF4D\uFF41\uFF44\uFF45.sfv";
  const struct {
    const char* what;
    std::wstring listed_in;  // the folder of the listed file; paths are from the test's folder
    std::vector<Action> script;
    std::wstring target;  // the file the user chose
    std::wstring reason;  // what the box over the dialog says when the target is refused
  } cases[] = {
      {"a full-width folder browsed into",
       L"",
       {{Action::Activate, "", wide_reports}, {Action::SaveAs, "made"}},
       wide_reports + L"\\made.sfv",
       L""},
      {"its plain look-alike browsed into",
       L"",
       {{Action::Activate, "", L"Reports"}, {Action::SaveAs, "fresh"}},
       L"Reports\\fresh.sfv",
       L""},
      {"a full-width file double-clicked and confirmed",
       L"",
       {{Action::Activate, "", wide_made}, {Action::ConfirmYes}},
       wide_made,
       L""},
      {"files from a full-width folder",
       wide_reports,
       {{Action::SaveAs, "fresh"}},
       wide_reports + L"\\fresh.sfv",
       L""},
      {"a name with a character no name may hold, pasted in",
       L"",
       {{Action::SaveAs, "bad\tname"}},
       L"bad\tname.sfv",
       L"\"bad\tname.sfv\" ends in a dot or a space, or holds one of"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder here;
    file_list.clear();
    const std::wstring root = widen(here.path());
    const auto full = [&root](const std::wstring& path) {
      return path.empty() ? root : root + L"\\" + path;
    };
    here.write("made.sfv", "old");
    here.make_folder("Reports");
    here.write("Reports\\made.sfv", "old in Reports");
    ASSERT_TRUE(CreateDirectoryW(full(wide_reports).c_str(), nullptr)) << GetLastError();
    write_file(full(wide_made), "old full-width");
    const std::wstring listed = full(c.listed_in) + L"\\0.txt";
    write_file(listed, "data");
    FileEntry entry;
    entry.path = make_path(listed);
    entry.status = HashStatus::Complete;
    entry.computed = 0x12345678;
    file_list.append(entry);
    std::map<std::wstring, std::string> expected = files_under(root);
    const bool refused = !c.reason.empty();
    std::vector<Action> script = c.script;
    if (refused) {
      // A name that cannot be used is refused before the dialog asks to replace its file.
      std::erase_if(script, [](const Action& a) { return a.kind == Action::ConfirmYes; });
      script.insert(script.end(), {{Action::Acknowledge},
                                   {Action::SaveAs, "", full(L"Reports\\second")}});
    }

    const std::vector<Seen> seen = save(script);

    ASSERT_EQ(script.size(), seen.size());
    const std::wstring written = refused ? L"Reports\\second.sfv" : c.target;
    expected[written] = kHeader + "0.txt 12345678\r\n";
    EXPECT_EQ("SFV file written", outcome());
    EXPECT_EQ(expected, files_under(root));
    if (refused) {
      const Seen& box = seen[script.size() - 2];
      EXPECT_TRUE(says(box.text, c.reason))
          << "the box says " << boost::filesystem::path(box.text).string();
    }
  }
}

// The dialog asks before it replaces the file it returns; where the list's name is not
// that file's (".sfv" appended, or a dialog that appended it to a name that had it in
// other letters), the list's file is asked about over the dialog. Declined, the dialog
// stays open on the name; agreed to, the file is replaced, or, where it cannot be (it is
// read-only, or another program holds it open without sharing), a box says why, the old
// file stays whole, and the dialog stays open for a second name, which gets the list.
TEST_F(SaveFlow, AnExistingListIsReplacedOnlyWhenTheUserAgrees) {
  const std::string old_list =
      "; an older list, longer than the new one\r\nold1.txt 11111111\r\nold2.txt 22222222\r\n";
  enum Answer { Agreed, Declined, AgreedReadOnly, AgreedHeldOpen };
  const struct {
    std::string typed;  // the existing list's name is the typed one with .sfv if it lacks it
    Answer answer;
    std::wstring reason{};  // what the box after Yes says when the file cannot be replaced
  } cases[] = {{"list", Agreed},
               {"list", Declined},
               {"LIST.SFV", Agreed},
               {"LIST.SFV", Declined},
               {"list", AgreedReadOnly, L"read-only"},
               {"LIST.SFV", AgreedHeldOpen, L"open in another program"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed + " answered " + std::to_string(c.answer));
    TempFolder here;
    file_list.clear();
    add(here.file("a b.txt"), HashStatus::Complete, 0x0000ABCD);
    const std::string name = c.typed == "list" ? "list.sfv" : c.typed;
    const std::string target = here.write(name, old_list);
    std::vector<Action> script = {{Action::SaveAs, c.typed}, {Action::ConfirmYes}};
    if (c.answer == Declined) {
      script = {{Action::SaveAs, c.typed}, {Action::ConfirmNo}, {Action::Cancel}};
    }
    if (!c.reason.empty()) {
      script.insert(script.end(), {{Action::Acknowledge}, {Action::SaveAs, "second"}});
    }
    if (c.answer == AgreedReadOnly) SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
    const HANDLE holder = c.answer != AgreedHeldOpen ? INVALID_HANDLE_VALUE
        : CreateFileA(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);

    const std::vector<Seen> seen = save(script);

    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_EQ(script.size(), seen.size());
    EXPECT_TRUE(says(seen[1].text, L"already exists"))
        << "the question says " << boost::filesystem::path(seen[1].text).string();
    if (c.answer == Declined) {
      EXPECT_TRUE(widen(c.typed) == seen[2].name) << "the dialog keeps the name";
    }
    const std::string new_list = kHeader + "a b.txt 0000abcd\r\n";
    EXPECT_EQ(c.answer == Agreed ? new_list : old_list, read_file(target));
    std::string listing = name < "a b.txt" ? name + "|a b.txt" : "a b.txt|" + name;
    if (!c.reason.empty()) {
      EXPECT_TRUE(says(seen[2].text, c.reason))
          << "the box says " << boost::filesystem::path(seen[2].text).string();
      EXPECT_EQ(new_list, read_file(here.file("second.sfv")));
      listing += "|second.sfv";
    }
    EXPECT_EQ(listing, folder_listing(here.path())) << "no temporary file is left";
    EXPECT_EQ(c.answer == Declined ? "Aborted SFV write" : "SFV file written", outcome());
  }
}

TEST_F(SaveFlow, FilesNotReadCompletelyAreLeftOutAndCounted) {
  const struct {
    std::vector<HashStatus> statuses;  // of the files f0.txt, f1.txt, ... with CRC 0xA0, 0xA1, ...
    std::string lines;
    std::string outcome;
  } cases[] = {
      {{HashStatus::Complete, HashStatus::NotOpened},
       "f0.txt 000000a0\r\n",
       "SFV file written (1 file could not be read and was left out)"},
      // The first file was not read, yet its folder is still where the dialog opens.
      {{HashStatus::NotOpened, HashStatus::Complete, HashStatus::Incomplete, HashStatus::Complete},
       "f1.txt 000000a1\r\nf3.txt 000000a3\r\n",
       "SFV file written (2 files could not be read and were left out)"},
  };
  for (const auto& c : cases) {
    TempFolder here;
    file_list.clear();
    for (std::size_t i = 0; i < c.statuses.size(); ++i) {
      std::string name = "f";
      name += std::to_string(i) + ".txt";
      add(here.file(name), c.statuses[i], 0xA0u + static_cast<std::uint32_t>(i));
    }

    const std::vector<Seen> seen = save({{Action::SaveAs, "list"}});

    ASSERT_EQ(1u, seen.size()) << c.outcome;
    EXPECT_EQ(kHeader + c.lines, read_file(here.file("list.sfv"))) << c.outcome;
    EXPECT_EQ(c.outcome, outcome());
  }
}

TEST_F(SaveFlow, NoFileReadOpensNoDialog) {
  add(folder.file("a.txt"), HashStatus::NotOpened, 0);
  add(folder.file("b.txt"), HashStatus::Incomplete, 0x1234);

  const std::vector<Seen> seen = save({});

  EXPECT_EQ(0u, seen.size()) << "dialogs opened";
  EXPECT_EQ("a.txt|b.txt", folder_listing(folder.path()));
  EXPECT_EQ("No SFV file written: none of the files could be read", outcome());
}

// Without COM on its thread the dialog cannot be made: the save fails in words.
TEST_F(SaveFlow, ADialogThatCannotBeMadeFailsTheWrite) {
  add(folder.file("a.txt"), HashStatus::Complete, 1);
  std::string shown;
  std::thread([&] {
    const HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 10, 10, nullptr, nullptr,
                                        nullptr, nullptr);
    shown = write_sfv(window);
    DestroyWindow(window);
  }).join();
  EXPECT_EQ("Couldn't write SFV file", shown);
  EXPECT_EQ("a.txt", folder_listing(folder.path()));
}

}  // namespace
