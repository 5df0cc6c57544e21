// tallyrun.exe as its user sees it: each case starts the real program, works it from
// another process through its windows, and checks what they show, the files it writes and
// how it exits.
#include <windows.h>
#include <dlgs.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/crc.hpp>
#include <gtest/gtest.h>

#include "core/names/code_page.h"
#include "core/names/open_rules.h"
#include "sfv/sfv_writer.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/remote_window.h"
#include "ui/resource.h"

namespace {

using Row = RemoteProcess::Row;

// Files whose CRC-32 is known without this program: "123456789" gives the algorithm's
// published check value, and the fox sentence its other well-known one.
constexpr std::string_view kCheckBytes = "123456789";
constexpr std::string_view kFoxBytes = "The quick brown fox jumps over the lazy dog";
const std::string kCheckLine = "check.txt cbf43926";
const std::string kFoxLine = "fox.txt 414fa339";

constexpr int kOk = 1, kReading = 2, kFailed = 5;  // row images
constexpr int kBarFull = 65535;

// The header line as it is on disk: the writer's text mode ends it with CR LF.
std::string header_on_disk() {
  std::string header(kSfvHeader);
  header.insert(header.size() - 1, "\r");
  return header;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Returns the text of an SFV file with a comment line and `lines`, each ended by CR LF.
std::string sfv_text(const std::vector<std::string>& lines) {
  std::string text = "; listed by the test\r\n";
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// Creates the file `name` of `size` bytes by moving its end: no byte is written, so any
// size takes no time, and reads of it give zeros. Returns its path.
std::string make_sparse_file(const TempFolder& where, const std::string& name, LONGLONG size) {
  const std::string path = where.file(name);
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, file) << "CreateFileA(" << path << "), error " << GetLastError();
  LARGE_INTEGER end;
  end.QuadPart = size;
  EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file))
      << "sizing " << path << ", error " << GetLastError();
  CloseHandle(file);
  return path;
}

class Program : public testing::Test {
 protected:
  // Starts tallyrun.exe with `arguments` after its quoted name; does not wait. Arguments in
  // UTF-16 may hold characters that the 8-bit code page lacks.
  template <class Text>
  void launch(const Text& arguments) {
    const std::string exe = program_path();
    ASSERT_NE("", exe) << "TALLYRUN_EXE is not set";
    main_ = nullptr;
    check_rules();
    process_.emplace(exe, arguments);
  }

  // Fails the case when the program made a read that Windows refuses as unaligned. A
  // refused conversion or open may be a first try that is followed by one Windows takes.
  void check_rules() {
    if (process_) {
      EXPECT_EQ(0, process_->rules().unaligned_refused) << process_->rules();
    }
  }
  void TearDown() override { check_rules(); }

  // Starts tallyrun.exe with `arguments` and waits for its main window.
  template <class Text>
  void start(const Text& arguments) {
    launch(arguments);
    main_ = process_->main_window();
    ASSERT_NE(nullptr, main_) << "no main window for arguments [" << arguments << "]; running "
                              << process_->running();
  }

  MainView view() const { return read_main_view(*process_, main_); }

  // Returns the first view for which `done` holds; fails the test with the last one seen
  // when none did within the deadline.
  MainView wait_for(const std::function<bool(const MainView&)>& done, std::string_view what) {
    MainView seen;
    const bool reached = wait_until([&] {
      seen = view();
      return done(seen);
    });
    EXPECT_TRUE(reached) << "waited for " << what << "; last saw " << seen;
    return seen;
  }

  // Returns the view once the line under the bars says `outcome` and drops are accepted
  // again, which the window does last when a run (and its save) ends.
  MainView wait_for_outcome(const std::string& outcome) {
    wait_for([&](const MainView& v) { return v.current == outcome && v.accepts_drops; },
             "\"" + outcome + "\" with drops accepted");
    // Read once more: the view that met the condition was read a part at a time, and its
    // first parts may come from before the end. Nothing changes after it.
    return view();
  }

  // Drops `paths`, waits for the Save As dialog of the creating run and returns it.
  HWND drop_and_wait_for_save_as(const std::vector<std::string>& paths) {
    if (!process_->drop(main_, paths)) return nullptr;
    const HWND dialog = process_->owned_dialog(main_);
    EXPECT_NE(nullptr, dialog) << "no Save As dialog; the window shows " << view();
    if (dialog != nullptr) {
      EXPECT_FALSE(IsWindowEnabled(main_)) << "Save As must be modal to the main window";
    }
    return dialog;
  }

  TempFolder folder_;  // declared first: the process must end before its files go
  std::optional<RemoteProcess> process_;
  HWND main_ = nullptr;
};

TEST_F(Program, ArgumentsThatNameNoSfvFileOpenAnEmptyWindow) {
  const std::string text_file = folder_.write("check.txt", kCheckBytes);
  // Devices answer in every folder; a list from one would be read from a port.
  const std::string arguments[] = {"",
                                   "\"",
                                   quoted(text_file),
                                   folder_.file("missing.sfv"),
                                   quoted(folder_.file("nul.sfv")),
                                   folder_.file("COM1.sfv")};
  for (const std::string& argument : arguments) {
    SCOPED_TRACE("arguments [" + argument + "]");
    start(argument);
    if (main_ == nullptr) continue;
    const MainView seen = view();
    EXPECT_EQ("Tallyrun 1.2", seen.caption);
    EXPECT_EQ("Status", seen.status);
    EXPECT_EQ("", seen.current);
    EXPECT_EQ(0, seen.file_bar);
    EXPECT_EQ(0, seen.overall_bar);
    EXPECT_TRUE(seen.accepts_drops) << seen;
    EXPECT_EQ(std::vector<Row>{}, seen.rows);
    EXPECT_EQ(std::vector<std::string>{"File"},
              process_->list_columns(GetDlgItem(main_, IDC_FILE_LIST)));
  }
}

TEST_F(Program, ChecksTheSfvFileOnTheCommandLine) {
  folder_.make_folder("my files");
  folder_.write("my files\\check.txt", kCheckBytes);
  folder_.write("my files\\fox.txt", kFoxBytes);
  const std::string held = folder_.write("my files\\held.txt", kCheckBytes);
  const std::string good = folder_.write("my files\\good.sfv", sfv_text({kCheckLine, kFoxLine}));
  const std::string bad = folder_.write(
      "my files\\BAD.Sfv", sfv_text({kCheckLine, "fox.txt 414fa33a", "gone.txt 00000000"}));
  const std::string none = folder_.write("my files\\none.sfv", "; nothing listed\r\n");
  // Far more files than the window paints: passing, failing, missing and unreadable (held
  // open for writing below) in turn. Every row must end on its own final image.
  std::vector<std::string> lines;
  std::vector<Row> rows;
  for (int i = 0; i < 400; ++i) {
    char name_text[16];
    std::snprintf(name_text, sizeof name_text, "f%d.txt", i);
    const std::string name = name_text;
    if (i % 4 < 2) folder_.write("my files\\" + name, kCheckBytes);
    const char* crc = i % 4 == 1 ? " cbf43927" : " cbf43926";
    lines.push_back((i % 4 == 3 ? std::string("held.txt") : name) + crc);
    rows.push_back({i % 4 == 3 ? "held.txt" : name, i % 4 == 0 ? kOk : kFailed});
  }
  const std::string many = folder_.write("my files\\many.sfv", sfv_text(lines));
  const HANDLE writer = CreateFileA(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer) << "error " << GetLastError();
  // A list and its files at paths longer than the 8-bit calls take; one file was changed.
  const std::string long_folder = folder_.make_long_folder(280);
  write_file(long_folder + "\\check.txt", kCheckBytes);
  write_file(long_folder + "\\fox.txt", "The quick brown fox jumps over the lazy cat");
  const std::string long_list = long_folder + "\\long.sfv";
  write_file(long_list, sfv_text({kCheckLine, kFoxLine}));
  struct Case {
    std::string arguments;
    std::string verdict;
    std::vector<Row> rows;
    int bars;
  };
  std::vector<Case> cases = {
      {quoted(good), "Everything OK!", {{"check.txt", kOk}, {"fox.txt", kOk}}, kBarFull},
      {good, "Everything OK!", {{"check.txt", kOk}, {"fox.txt", kOk}}, kBarFull},
      {"\"" + good, "Everything OK!", {{"check.txt", kOk}, {"fox.txt", kOk}}, kBarFull},
      {bad,
       "File errors detected!",
       {{"check.txt", kOk}, {"fox.txt", kFailed}, {"gone.txt", kFailed}},
       kBarFull},
      {many, "File errors detected!", rows, kBarFull},
      // Nothing was checked, so nothing is OK; the bars never moved.
      {none, "No files listed", {}, 0},
      {quoted(long_list),
       "File errors detected!",
       {{"check.txt", kOk}, {"fox.txt", kFailed}},
       kBarFull},
  };
  // The release zip, as a user unpacks it: its own list must check every other file in it.
  const char* release = std::getenv("TALLYRUN_RELEASE_DIR");
  EXPECT_NE(nullptr, release)
      << "TALLYRUN_RELEASE_DIR is not set; run this through tests/ui/with_pipe_device_and_zip.sh";
  if (release != nullptr) {
    cases.push_back({quoted(std::string(release) + "\\tallyrun-1.2-win64.sfv"),
                     "Everything OK!",
                     {{"tallyrun.exe", kOk}, {"README.txt", kOk}, {"LICENSE.txt", kOk}},
                     kBarFull});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE("arguments [" + c.arguments + "]");
    start(c.arguments);
    if (main_ == nullptr) continue;
    const MainView seen = wait_for_outcome(c.verdict);
    EXPECT_EQ("Status", seen.status);
    EXPECT_EQ(c.rows, seen.rows);
    EXPECT_EQ(c.bars, seen.file_bar);
    EXPECT_EQ(c.bars, seen.overall_bar);
  }
  CloseHandle(writer);
}

TEST_F(Program, EachDropStartsACheckingOrACreatingRun) {
  const std::string sub = folder_.make_folder("sub");
  const std::string check = folder_.write("sub\\check.txt", kCheckBytes);
  const std::string fox = folder_.write("fox.txt", kFoxBytes);
  const std::string list = folder_.write("LIST.SFV", sfv_text({"sub\\" + kCheckLine, kFoxLine}));
  // Among several dropped items an .sfv file is just a file to hash; its bytes give it
  // the check value's CRC.
  const std::string dup = folder_.write("dup.sfv", kCheckBytes);
  const std::string empty = folder_.make_folder("empty");
  const std::string nothing = folder_.write("nothing.sfv", "; only a comment\r\nno-space\r\n");
  start("");
  if (main_ == nullptr) return;

  ASSERT_TRUE(process_->drop(main_, {list}));
  MainView seen = wait_for_outcome("Everything OK!");
  EXPECT_EQ((std::vector<Row>{{"check.txt", kOk}, {"fox.txt", kOk}}), seen.rows);

  // A list that names no file checks nothing; the next drop is taken as usual.
  ASSERT_TRUE(process_->drop(main_, {nothing}));
  seen = wait_for_outcome("No files listed");
  EXPECT_EQ(std::vector<Row>{}, seen.rows);
  EXPECT_EQ(kBarFull, seen.overall_bar) << "the bars keep the last run's end";

  // The new file goes to the first dropped item's folder; the folder cannot be read.
  HWND dialog = drop_and_wait_for_save_as({check, fox, dup, empty});
  ASSERT_NE(nullptr, dialog);
  EXPECT_EQ((std::vector<Row>{
                {"check.txt", kOk}, {"fox.txt", kOk}, {"dup.sfv", kOk}, {"empty", kFailed}}),
            view().rows);
  // A list held open by another program that shares it with nobody is not replaced: after
  // Yes, a box over the dialog says why, and the dialog stays open for another name.
  const std::string held = folder_.write("sub\\held.sfv", "old");
  const HANDLE holder =
      CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(save_as(dialog, "held")) << "the Save As name field did not take the name";
  for (const std::string says : {"already exists", "open in another program"}) {
    HWND box = nullptr;
    EXPECT_TRUE(wait_until([&] {
      box = process_->owned_dialog(dialog, 0);
      return box != nullptr && child_texts(box).find(says) != std::string::npos;
    })) << "no box over the dialog says " << says << "; the last shows " << child_texts(box);
    ASSERT_TRUE(click(box, says == "already exists" ? IDYES : IDOK));
  }
  CloseHandle(holder);
  EXPECT_EQ("old", read_file(held));
  ASSERT_TRUE(wait_until([&] { return process_->owned_dialog(dialog, 0) == nullptr; }));
  ASSERT_TRUE(save_as(dialog, "several")) << "the Save As name field did not take the name";
  seen = wait_for_outcome("SFV file written (1 file could not be read and was left out)");
  EXPECT_EQ("Status", seen.status);
  EXPECT_EQ(kBarFull, seen.file_bar);
  EXPECT_EQ(kBarFull, seen.overall_bar);
  EXPECT_EQ(header_on_disk() + kCheckLine + "\r\n" + kFoxLine + "\r\ndup.sfv cbf43926\r\n",
            read_file(sub + "\\several.sfv"));

  dialog = drop_and_wait_for_save_as({fox});
  ASSERT_NE(nullptr, dialog);
  EXPECT_EQ((std::vector<Row>{{"fox.txt", kOk}}), view().rows);
  ASSERT_TRUE(click(dialog, IDCANCEL));
  wait_for_outcome("Aborted SFV write");
  EXPECT_EQ("LIST.SFV|dup.sfv|empty|fox.txt|nothing.sfv|sub", folder_listing(folder_.path()));
  EXPECT_EQ("check.txt|held.sfv|several.sfv", folder_listing(sub));
}

// A named pipe and a device open like files, but hold no content of their own to check:
// neither may pass, nor get a line in a new list. The test's driver makes the pipe and the
// link to /dev/zero; NUL is found in any folder.
TEST_F(Program, PipesAndDevicesNeitherPassNorGetALine) {
  const char* pipe_dir = std::getenv("TALLYRUN_PIPE_DIR");
  ASSERT_NE(nullptr, pipe_dir)
      << "TALLYRUN_PIPE_DIR is not set; run this through tests/ui/with_pipe_device_and_zip.sh";
  const std::string folder = pipe_dir;
  write_file(folder + "\\check.txt", kCheckBytes);
  const std::string list = folder + "\\special.sfv";
  write_file(list, sfv_text({"pipe 00000000", "zero 00000000", "NUL 00000000", kCheckLine}));
  const std::vector<Row> rows = {
      {"pipe", kFailed}, {"zero", kFailed}, {"NUL", kFailed}, {"check.txt", kOk}};
  start(quoted(list));
  if (main_ == nullptr) return;

  MainView seen = wait_for_outcome("File errors detected!");
  EXPECT_EQ(rows, seen.rows);

  std::vector<std::string> dropped;
  for (const Row& row : rows) dropped.push_back(folder + "\\" + row.text);
  const HWND dialog = drop_and_wait_for_save_as(dropped);
  ASSERT_NE(nullptr, dialog);
  ASSERT_TRUE(save_as(dialog, "created")) << "the Save As name field did not take the name";
  seen = wait_for_outcome("SFV file written (3 files could not be read and were left out)");
  EXPECT_EQ(rows, seen.rows);
  EXPECT_EQ(header_on_disk() + kCheckLine + "\r\n", read_file(folder + "\\created.sfv"));
}

// The shell can hand over names longer than the usual 259 characters; cutting one would
// list and hash a different path.
TEST_F(Program, ALongDroppedNameIsKeptWhole) {
  const std::string leaf = std::string(300, 'n') + ".txt";
  start("");
  if (main_ == nullptr) return;
  ASSERT_TRUE(process_->drop(main_, {folder_.file(leaf)}));
  const MainView seen = wait_for_outcome("No SFV file written: none of the files could be read");
  EXPECT_EQ((std::vector<Row>{{leaf, kFailed}}), seen.rows);
}

// A name that the code page cannot hold has a look-alike there that names another file:
// the full-width a (U+FF41) best fits to a plain 'a'. The program reads every file by its
// true name, never the look-alike: each look-alike holds other bytes, and its list fails.
TEST_F(Program, ALookAlikeNameIsNeverTakenForTheFileItResembles) {
  ASSERT_FALSE(exact_8bit(L"\uFF41")) << "the code page " << GetACP() << " holds U+FF41";
  folder_.write("check.txt", kCheckBytes);
  const std::string plain_bin = folder_.write("a.bin", kFoxBytes);
  folder_.write("a.sfv", sfv_text({"check.txt 00000000"}));
  const std::wstring look_alike_bin = widen(folder_.path()) + L"\\\uFF41.bin";
  const std::wstring look_alike_sfv = widen(folder_.path()) + L"\\\uFF41.sfv";
  write_file(look_alike_bin, kCheckBytes);
  write_file(look_alike_sfv, sfv_text({kCheckLine}));

  // Named on the command line, and dropped alone, the list is read by its own name.
  start(L"\"" + look_alike_sfv + L"\"");
  if (main_ == nullptr) return;
  EXPECT_EQ((std::vector<Row>{{"check.txt", kOk}}), wait_for_outcome("Everything OK!").rows);
  ASSERT_TRUE(process_->drop(main_, std::vector<std::wstring>{look_alike_sfv}));
  EXPECT_EQ((std::vector<Row>{{"check.txt", kOk}}), wait_for_outcome("Everything OK!").rows);

  // Dropped with the file it resembles, each is read and listed as itself; the list is in
  // UTF-8, since the code page cannot name the one.
  ASSERT_TRUE(process_->drop(main_, std::vector<std::wstring>{look_alike_bin, widen(plain_bin)}));
  const HWND dialog = process_->owned_dialog(main_);
  ASSERT_NE(nullptr, dialog) << "no Save As dialog; the window shows " << view();
  ASSERT_TRUE(save_as(dialog, "created")) << "the Save As name field did not take the name";
  wait_for_outcome("SFV file written");
  EXPECT_TRUE((std::vector<std::wstring>{L"\uFF41.bin", L"a.bin"}) ==
              process_->list_names(GetDlgItem(main_, IDC_FILE_LIST)));
  EXPECT_EQ(header_on_disk() + "\xEF\xBD\x81.bin cbf43926\r\na.bin 414fa339\r\n",
            read_file(folder_.file("created.sfv")));
}

TEST_F(Program, AFolderNamedLikeAnSfvFileEndsTheProgramWithAnError) {
  const std::string folder_sfv = folder_.make_folder("x.sfv");
  for (const bool dropped : {false, true}) {
    SCOPED_TRACE(dropped ? "dropped" : "on the command line");
    if (dropped) {
      start("");
      if (main_ == nullptr) continue;
      process_->drop(main_, {folder_sfv});
    } else {
      launch(quoted(folder_sfv));
    }
    const HWND box = process_->message_box();
    ASSERT_NE(nullptr, box) << "no error box; running " << process_->running();
    EXPECT_EQ("Tallyrun 1.2", window_text(box));
    EXPECT_EQ(nullptr, GetWindow(box, GW_OWNER)) << "the error box has no owner";
    const std::string texts = child_texts(box);
    EXPECT_NE(std::string::npos, texts.find("Couldn't open sfv file")) << "the box shows " << texts;
    EXPECT_TRUE(process_->running()) << "the program waits for the box to be closed";
    ASSERT_TRUE(click(box, IDOK)) << "the box has no OK button: " << texts;
    EXPECT_EQ(std::optional<DWORD>(1), process_->wait_exit());
  }
}

TEST_F(Program, CloseEndsTheProgramAtOnceEvenDuringARun) {
  // Reading 256 GiB takes the worker far longer than the deadline below (at least half a
  // minute even where the CRC runs at 8 GB/s), so a program that waited for the run could
  // not meet it, and the run is still going while the case looks at it.
  const std::string big = make_sparse_file(folder_, "big.bin", 256LL << 30);
  const std::string list = folder_.write("big.sfv", sfv_text({"big.bin 00000000"}));
  folder_.write("check.txt", kCheckBytes);
  const std::string small = folder_.write("small.sfv", sfv_text({kCheckLine}));
  // A list far longer than any queue of messages; each file is missing, so the worker
  // reports as fast as it can.
  std::string lines;
  for (int i = 0; i < 200000; ++i) lines.append("m").append(std::to_string(i)).append(" 0\r\n");
  const std::string long_list = folder_.write("long.sfv", lines);
  // Every hasher is busy with a file that takes it far longer than the deadline.
  const std::string set_list =
      folder_.write("set.sfv", sfv_text({"big.bin 00000000", "big.bin 00000000", kCheckLine}));
  const struct {
    const char* what;
    std::string list;  // "" for an idle window
    UINT message;      // BM_CLICK goes to the Close button, anything else to the window
  } cases[] = {
      {"idle, Close button", "", BM_CLICK},
      {"during a run, Close button", list, BM_CLICK},
      {"during a run, WM_CLOSE", list, WM_CLOSE},
      {"during a run of 200,000 files", long_list, BM_CLICK},
      {"during a run of a set, every hasher reading", set_list, BM_CLICK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start(c.list);
    if (main_ == nullptr) continue;
    if (c.list == long_list) {
      // Only the status: reading 200,000 rows from another process would take minutes.
      EXPECT_TRUE(wait_until([&] {
        return window_text(GetDlgItem(main_, IDC_STATUS_LABEL)) == "Checking";
      })) << "the run did not start";
    } else if (c.list == set_list) {
      EXPECT_TRUE(wait_until([&] { return process_->rules().files_open >= 2; }))
          << "big.bin is not read twice at once: " << process_->rules();
    } else if (c.list == list) {
      const MainView seen =
          wait_for([&](const MainView& v) { return v.status == "Checking" && v.current == big; },
                   "the run on big.bin");
      EXPECT_LT(seen.file_bar, kBarFull) << "big.bin was read to its end already";
      EXPECT_FALSE(seen.accepts_drops) << "drops are refused during a run";
      // A drop that got through now would replace the list under the worker; so would one
      // that a WM_HASH_DONE from another program (such as this one) had let in.
      PostMessageA(main_, 0x465, 0, 0);  // WM_HASH_DONE
      process_->drop(main_, {small});
      ASSERT_TRUE(wait_posted_handled(GetDlgItem(main_, IDC_FILE_LIST)));
      const MainView later = view();
      EXPECT_EQ((std::vector<Row>{{"big.bin", kReading}}), later.rows) << "after a drop";
      EXPECT_EQ("Checking", later.status);
      EXPECT_FALSE(later.accepts_drops) << "the run was ended by a stray WM_HASH_DONE";
    }
    const HWND target = c.message == BM_CLICK ? GetDlgItem(main_, IDCANCEL) : main_;
    ASSERT_TRUE(PostMessageA(target, c.message, 0, 0));
    // The window goes at once. Wine then takes about 2 s to end any process that had a
    // window, whatever it does, and at times several more for one whose worker is busy with
    // Wine's server, as over 200,000 missing files.
    EXPECT_TRUE(wait_until([&] { return !IsWindowVisible(main_); }, 1000))
        << "the window was still shown 1 s after Close";
    EXPECT_EQ(std::optional<DWORD>(0), process_->wait_exit(20000));
    if (c.list == list) {
      EXPECT_LT(0, process_->rules().reads_pending) << "big.bin was not read with reads in "
                                                    << "flight: " << process_->rules();
    }
  }
}

// The list view's right-button tracking loop takes the worker's thread messages out of the
// queue and drops them, unseen by any filter; the run must still reach its verdict, whether
// the button comes up during the run or only after its end.
TEST_F(Program, ARightButtonHeldOnTheListLosesNeitherTheProgressNorTheEnd) {
  std::string lines;
  for (int i = 0; i < 3000; ++i) {
    const std::string name = "s" + std::to_string(i) + ".txt";
    folder_.write(name, kCheckBytes);
    lines += name + " cbf43926\r\n";
  }
  const std::string list = folder_.write("small.sfv", lines);
  for (const bool release_after_end : {false, true}) {
    SCOPED_TRACE(release_after_end ? "released after the end" : "released during the run");
    start(quoted(list));
    if (main_ == nullptr) continue;
    const HWND list_view = GetDlgItem(main_, IDC_FILE_LIST);
    // Only the outcome line and the drop flag: 3,000 rows read from another process would
    // take longer than the run.
    const auto ended = [&] {
      return window_text(GetDlgItem(main_, IDC_CURRENT_FILE)) == "Everything OK!" &&
             (GetWindowLongPtrA(main_, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0;
    };
    Sleep(300);
    ASSERT_TRUE(PostMessageA(list_view, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(30, 30)));
    if (release_after_end) {
      EXPECT_TRUE(wait_until(ended)) << "no verdict while the button was held; "
                                     << window_text(GetDlgItem(main_, IDC_CURRENT_FILE));
    } else {
      Sleep(400);
    }
    ASSERT_TRUE(PostMessageA(list_view, WM_RBUTTONUP, 0, MAKELPARAM(30, 30)));
    EXPECT_TRUE(wait_until(ended)) << "no verdict after the button came up; "
                                   << window_text(GetDlgItem(main_, IDC_CURRENT_FILE));
    EXPECT_EQ(kBarFull, view().overall_bar);
    PostMessageA(main_, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(std::optional<DWORD>(0), process_->wait_exit(5000));
  }
}

// Close while the Save As dialog is open ends the program; the dialog's end is then no
// choice of a name, and nothing may be written, least of all over an existing file. The
// same holds while a box over the dialog says why a name (one too long for it) was refused.
TEST_F(Program, CloseDuringSaveAsWritesNothing) {
  for (const bool sfv_there : {false, true}) {
    SCOPED_TRACE(sfv_there ? "with a file .sfv in the folder, over a box" : "into an empty folder");
    const std::string sub = sfv_there ? "with" : "without";
    const std::string here = folder_.make_folder(sub);
    const std::string check = folder_.write(sub + "\\a.txt", kCheckBytes);
    const std::string fox = folder_.write(sub + "\\b.txt", kFoxBytes);
    if (sfv_there) write_file(here + "\\.sfv", "old");
    start("");
    if (main_ == nullptr) continue;
    const HWND dialog = drop_and_wait_for_save_as({check, fox});
    ASSERT_NE(nullptr, dialog);
    if (sfv_there) {
      ASSERT_TRUE(save_as(dialog, std::string(300, 'n')));
      const HWND box = process_->owned_dialog(dialog);
      ASSERT_NE(nullptr, box) << "no box over the dialog; running " << process_->running();
      EXPECT_NE(std::string::npos, child_texts(box).find("too long")) << child_texts(box);
    }
    ASSERT_TRUE(PostMessageA(main_, WM_COMMAND, IDCANCEL, 0));
    // Not at once here: on the virtual display, with no window manager, Wine waits 2 s for
    // one as each open window (the main one, the dialog, the box) is hidden.
    EXPECT_EQ(std::optional<DWORD>(0), process_->wait_exit());
    EXPECT_EQ(sfv_there ? ".sfv|a.txt|b.txt" : "a.txt|b.txt", folder_listing(here));
    if (sfv_there) {
      EXPECT_EQ("old", read_file(here + "\\.sfv"));
    }
  }
}

// The worker's messages reach the window through any modal loop of its thread, here the
// one that moves the window: the whole run, from the drop to the verdict, happens in it.
TEST_F(Program, ARunReachesItsVerdictWhileTheWindowIsBeingMoved) {
  folder_.write("check.txt", kCheckBytes);
  folder_.write("fox.txt", kFoxBytes);
  const std::string list = folder_.write("list.sfv", sfv_text({kCheckLine, kFoxLine}));
  start("");
  if (main_ == nullptr) return;

  ASSERT_TRUE(PostMessageA(main_, WM_SYSCOMMAND, SC_MOVE, 0));
  ASSERT_TRUE(wait_until([&] { return (gui_thread_flags(main_) & GUI_INMOVESIZE) != 0; }))
      << "the move loop did not start; flags " << gui_thread_flags(main_);

  ASSERT_TRUE(process_->drop(main_, {list}));
  const MainView seen = wait_for_outcome("Everything OK!");
  EXPECT_NE(0u, gui_thread_flags(main_) & GUI_INMOVESIZE) << "the move loop ended early";
  EXPECT_EQ((std::vector<Row>{{"check.txt", kOk}, {"fox.txt", kOk}}), seen.rows);
  EXPECT_EQ(kBarFull, seen.overall_bar);

  PostMessageA(main_, WM_KEYDOWN, VK_RETURN, 0);
  EXPECT_TRUE(wait_until([&] { return (gui_thread_flags(main_) & GUI_INMOVESIZE) == 0; }))
      << "the move loop did not end; flags " << gui_thread_flags(main_);
}

// The system's 8-bit code page under which tallyrun.exe runs: TALLYRUN_CODE_PAGE when the
// test's driver sets it (the test build that asks for UTF-8 has a code page of its own),
// else this process's, which shares LANG with the program.
UINT program_code_page() {
  const char* given = std::getenv("TALLYRUN_CODE_PAGE");
  return given != nullptr ? static_cast<UINT>(std::atoi(given)) : GetACP();
}

// Returns `wide` in the program's code page, by the system's conversion without any flag.
std::string program_text(const std::wstring& wide) {
  const UINT code_page = program_code_page();
  const int length = static_cast<int>(wide.size());
  std::string text(static_cast<std::size_t>(
                       WideCharToMultiByte(code_page, 0, wide.data(), length, nullptr, 0,
                                           nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), length, text.data(),
                      static_cast<int>(text.size()), nullptr, nullptr);
  return text;
}

// Returns the content of the file at the UTF-16 path `path`; "" when it cannot be read.
std::string read_wide_file(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string bytes(1 << 16, '\0');
  DWORD read = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

// Types `name` into the Save As dialog's name field as UTF-16, which the code page of
// this process need not hold, and presses Save.
bool save_as_wide(HWND dialog, const std::wstring& name) {
  HWND field = GetDlgItem(dialog, cmb13);
  if (field == nullptr || !IsWindowVisible(field)) field = GetDlgItem(dialog, edt1);
  DWORD_PTR result = 0;
  if (field == nullptr || !SendMessageTimeoutW(field, WM_SETTEXT, 0,
                                               reinterpret_cast<LPARAM>(name.c_str()),
                                               SMTO_ABORTIFHUNG, kWaitMs, &result)) {
    return false;
  }
  wchar_t typed[MAX_PATH] = {};
  SendMessageTimeoutW(field, WM_GETTEXT, MAX_PATH, reinterpret_cast<LPARAM>(typed),
                      SMTO_ABORTIFHUNG, kWaitMs, &result);
  return name == typed && click(dialog, IDOK);
}

// Names are 8-bit text in the system's code page: under a double-byte one the second byte
// of a character may be 0x5C, the byte of '\' (表 and ソ in 932, 乗 in 936), and under
// UTF-8 any character is a name. Each way in (a list on the command line, a dropped list, a
// drop that creates a list) must read, show and write every name as the code page holds
// it. The test's driver runs this case again under 932, 936, 1251 and 65001.
TEST_F(Program, NamesInTheSystemCodePageWorkEveryWay) {
  struct Names {
    std::wstring folder, check, fox, sub, list, created;
  };
  const UINT code_page = program_code_page();
  if (code_page != CP_UTF8) {
    ASSERT_EQ(code_page, GetACP()) << "LANG did not give the code page asked for";
  }
  Names script;
  switch (code_page) {
    case 932:  // folders and names that end in a trail byte 0x5C
      script = {L"\u30C7\u30FC\u30BF\u8868\\\u30BD", L"\u8868", L"\u30BD", L"\u8868\u30BD",
                L"\u4E00\u89A7\u8868.sfv", L"\u65B0\u3057\u3044\u8868"};
      break;
    case 936:
      script = {L"\u6587\u4EF6\u4E57", L"\u4E57", L"\u72D0\u72F8\u4E57", L"\u4E57\u4E57",
                L"\u5217\u8868\u4E57.sfv", L"\u65B0\u4E57"};
      break;
    case 1251:
      script = {L"\u043F\u0430\u043F\u043A\u0430", L"\u043F\u0440\u043E\u0432\u0435\u0440\u043A\u0430.txt",
                L"\u043B\u0438\u0441\u0430", L"\u043F\u043E\u0434",
                L"\u0441\u043F\u0438\u0441\u043E\u043A.sfv", L"\u043D\u043E\u0432\u044B\u0439"};
      break;
    case CP_UTF8:  // several scripts at once, and a character beyond 16 bits
      script = {L"\u8868\u30BD\u4E57\\\u043F\u0430\u043F\u043A\u0430", L"\U0001F600",
                L"\u03B5 \u043B\u0438\u0441\u0430.txt", L"\u8868", L"\u4E00\u89A7\U0001F600.sfv",
                L"\u65B0\u3057\u3044 \u03B5"};
      break;
    default:
      script = {L"caf\u00E9", L"\u00FCber", L"r\u00E9sum\u00E9.txt", L"\u00E9t\u00E9",
                L"liste \u00E0.sfv", L"cr\u00E9\u00E9"};
  }
  const Names ascii = {L"plain\\set", L"check.txt", L"fox.txt", L"sub", L"list.sfv", L"created"};
  int cases = 0, passed = 0;
  const auto failures = [] {
    return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  };
  // Counts a case, as passed when it added no failure.
  const auto count = [&](int failures_before) {
    ++cases;
    if (failures() == failures_before) ++passed;
  };
  for (const Names* names : std::vector<const Names*>{&ascii, &script}) {
    SCOPED_TRACE(names == &ascii ? "ASCII names" : "names in code page " + std::to_string(code_page));
    const std::wstring root = widen(folder_.path()) + L"\\" + names->folder;
    std::wstring made = widen(folder_.path());
    for (std::size_t start = 0; start <= names->folder.size();) {
      const std::size_t end = std::min(names->folder.find(L'\\', start), names->folder.size());
      made += L"\\" + names->folder.substr(start, end - start);
      CreateDirectoryW(made.c_str(), nullptr);
      start = end + 1;
    }
    ASSERT_TRUE(CreateDirectoryW((root + L"\\" + names->sub).c_str(), nullptr))
        << "error " << GetLastError();
    write_file(root + L"\\" + names->check, kCheckBytes);
    write_file(root + L"\\" + names->fox, kFoxBytes);
    write_file(root + L"\\" + names->sub + L"\\" + names->fox, kFoxBytes);
    const std::string check = program_text(names->check), fox = program_text(names->fox);
    const std::string sub_fox = program_text(names->sub + L"\\" + names->fox);
    const std::wstring good = root + L"\\" + names->list;
    const std::wstring bad = root + L"\\x" + names->list;
    write_file(good, sfv_text({check + " cbf43926", sub_fox + " 414fa339"}));
    write_file(bad, sfv_text({check + " cbf43926", sub_fox + " 414fa33a"}));
    const std::vector<Row> all_ok = {{check, kOk}, {fox, kOk}};

    int failed_before = failures();
    {
      SCOPED_TRACE("a list on the command line");
      start(L"\"" + good + L"\"");
      if (main_ == nullptr) return;
      EXPECT_EQ(all_ok, wait_for_outcome("Everything OK!").rows);
    }
    count(failed_before);
    failed_before = failures();
    {
      SCOPED_TRACE("a wrong CRC");
      start(L"\"" + bad + L"\"");
      if (main_ == nullptr) return;
      EXPECT_EQ((std::vector<Row>{{check, kOk}, {fox, kFailed}}),
                wait_for_outcome("File errors detected!").rows);
    }
    count(failed_before);
    failed_before = failures();
    {
      SCOPED_TRACE("a dropped list");
      ASSERT_TRUE(process_->drop(main_, std::vector<std::wstring>{good}));
      EXPECT_EQ(all_ok, wait_for_outcome("Everything OK!").rows);
    }
    count(failed_before);
    failed_before = failures();
    const std::wstring created = root + L"\\" + names->created + L".sfv";
    {
      SCOPED_TRACE("a list created by a drop");
      ASSERT_TRUE(process_->drop(main_, std::vector<std::wstring>{root + L"\\" + names->check,
                                                                 root + L"\\" + names->fox}));
      const HWND dialog = process_->owned_dialog(main_);
      ASSERT_NE(nullptr, dialog) << "no Save As dialog; the window shows " << view();
      ASSERT_TRUE(save_as_wide(dialog, names->created)) << "the name field did not take the name";
      EXPECT_EQ(all_ok, wait_for_outcome("SFV file written").rows);
      EXPECT_EQ(header_on_disk() + check + " cbf43926\r\n" + fox + " 414fa339\r\n",
                read_wide_file(created));
    }
    count(failed_before);
    failed_before = failures();
    {
      SCOPED_TRACE("the created list, dropped");
      ASSERT_TRUE(process_->drop(main_, std::vector<std::wstring>{created}));
      EXPECT_EQ(all_ok, wait_for_outcome("Everything OK!").rows);
    }
    count(failed_before);
  }
  // Bytes that form no character in the code page could only name some other file (U+FFFD
  // or the default character in place of the bytes): the list is refused like one that
  // names an invalid name. Single-byte code pages give every byte a character.
  CPINFO info{};
  if (GetCPInfo(code_page, &info) && info.MaxCharSize > 1) {
    const int failed_before = failures();
    SCOPED_TRACE("bytes that form no character");
    const std::string broken = code_page == CP_UTF8 ? "\xFF" : "\x81";
    const std::wstring list = widen(folder_.path()) + L"\\broken.sfv";
    write_file(list, sfv_text({"sub\\" + broken + ".txt cbf43926"}));
    launch(L"\"" + list + L"\"");
    const HWND box = process_->message_box();
    ASSERT_NE(nullptr, box) << "no error box; running " << process_->running();
    const std::string texts = child_texts(box);
    EXPECT_NE(std::string::npos, texts.find("boost::filesystem::path: invalid name \""))
        << "the box shows " << texts;
    EXPECT_NE(std::string::npos, texts.find("txt\" in path: \"sub\\")) << "the box shows " << texts;
    ASSERT_TRUE(click(box, IDOK));
    EXPECT_EQ(std::optional<DWORD>(1), process_->wait_exit());
    count(failed_before);
  }
  std::printf("code page %u: %d of %d cases passed\n", code_page, passed, cases);
}

// Lists that other tools write, every file there: UTF-8 with its mark on a comment's line,
// names in six scripts; UTF-8 without a mark (CF 80, the end of the Greek pi, is no 932);
// UTF-16 behind its mark, with a damaged file.
// Dropped, the files are listed in UTF-8, since no code page holds all their names. The
// test's driver runs this case again under 932, 936, 1251 and 65001.
TEST_F(Program, ListsInUtf8AndUtf16CheckAndAnyNameIsListed) {
  const std::wstring root = widen(folder_.path()) + L"\\";
  const std::vector<std::wstring> names = {
      L"check.txt", L"\u03B5\u03C0.txt", L"\u0416\u0443\u043A.bin", L"\u6708.bin",
      L"\u05D0\u05D1.bin", L"\u0639.bin", L"\u2605 star.bin"};
  std::wstring lines;
  std::vector<std::wstring> dropped;
  for (const std::wstring& name : names) {
    write_file(root + name, kCheckBytes);
    lines += name + L" cbf43926\r\n";
    dropped.push_back(root + name);
  }
  write_file(root + L"damaged.bin", kFoxBytes);
  const auto utf8 = [](const std::wstring& text) {
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            static_cast<int>(bytes.size()), nullptr, nullptr)));
    return bytes;
  };
  const std::wstring damaged = L"; from elsewhere\r\n" + lines + L"damaged.bin cbf43926\r\n";
  const struct {
    std::string bytes;
    std::size_t rows;  // of `names`, then damaged.bin
    const char* outcome;
  } cases[] = {
      {"\xEF\xBB\xBF; from elsewhere\r\n" + utf8(lines), names.size(), "Everything OK!"},
      {utf8(names[0] + L" cbf43926\n" + names[1] + L" cbf43926"), 2, "Everything OK!"},
      {"\xFF\xFE" + std::string(reinterpret_cast<const char*>(damaged.data()), damaged.size() * 2),
       names.size() + 1, "File errors detected!"},
  };
  for (const auto& c : cases) {
    write_file(root + L"list.sfv", c.bytes);
    start(L"\"" + root + L"list.sfv\"");
    if (main_ == nullptr) return;
    const MainView seen = wait_for_outcome(c.outcome);
    std::vector<std::wstring> shown(names.begin(), names.begin() + std::min(c.rows, names.size()));
    if (c.rows > names.size()) shown.push_back(L"damaged.bin");
    EXPECT_TRUE(shown == process_->list_names(GetDlgItem(main_, IDC_FILE_LIST))) << seen;
    for (std::size_t i = 0; i < seen.rows.size(); ++i) {
      EXPECT_EQ(i < names.size() ? kOk : kFailed, seen.rows[i].image) << "row " << i << seen;
    }
  }
  ASSERT_TRUE(process_->drop(main_, dropped));
  const HWND dialog = process_->owned_dialog(main_);
  ASSERT_NE(nullptr, dialog) << "no Save As dialog; the window shows " << view();
  ASSERT_TRUE(save_as(dialog, "made")) << "the Save As name field did not take the name";
  wait_for_outcome("SFV file written");
  EXPECT_EQ(header_on_disk() + utf8(lines), read_file(root + L"made.sfv"));
}

}  // namespace

namespace {

// Sets environment variables for the programs started while it lives (they inherit the
// test's environment), then removes them.
class ProgramEnvironment {
 public:
  explicit ProgramEnvironment(std::vector<std::pair<std::string, std::string>> variables)
      : variables_(std::move(variables)) {
    for (const auto& [name, value] : variables_) {
      SetEnvironmentVariableA(name.c_str(), value.c_str());
    }
  }
  ~ProgramEnvironment() {
    for (const auto& [name, value] : variables_) SetEnvironmentVariableA(name.c_str(), nullptr);
  }
  ProgramEnvironment(const ProgramEnvironment&) = delete;
  ProgramEnvironment& operator=(const ProgramEnvironment&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> variables_;
};

// Writes `size` pseudo-random bytes to `name` and returns the SFV line that lists them,
// with the CRC-32 taken here by Boost, apart from the program's own kernels.
std::string write_listed_file(const TempFolder& where, const std::string& name,
                              std::size_t size, unsigned seed) {
  const std::string bytes = pseudo_random_bytes(size, seed);
  where.write(name, bytes);
  boost::crc_32_type crc;
  crc.process_bytes(bytes.data(), bytes.size());
  char line[64];
  std::snprintf(line, sizeof line, " %08x", static_cast<unsigned>(crc.checksum()));
  return name + line;
}

constexpr std::size_t kMiB = 1 << 20;

// Files of several chunks are read with reads in flight, as the layer makes them go pending
// as Windows does, and every chunk must be hashed in the file's order; one ends on a whole
// chunk, so the read at its end finds nothing, the other ends in a short read. Files whose
// reads end inside the call (small ones held in their file record, compressed ones) may
// come first, two of them so that both hashers start on one: a file larger than a chunk
// still reads ahead by its own first read, so every large file after them has reads in
// flight.
TEST_F(Program, BigFilesPassWithTheirReadsInFlight) {
  const std::string whole = write_listed_file(folder_, "whole.bin", 5 * kMiB, 1);
  const std::string short_end = write_listed_file(folder_, "short.bin", 6 * kMiB + 123, 2);
  std::vector<std::string> small, packed, large;
  for (unsigned i = 0; i < 6; ++i) {
    const std::string n = std::to_string(i) + ".bin";
    if (i < 2) {
      small.push_back(write_listed_file(folder_, "small" + n, 100 + i, 10 + i));
      packed.push_back(write_listed_file(folder_, "packed" + n, 3 * kMiB, 20 + i));
    }
    large.push_back(write_listed_file(folder_, "large" + n, 3 * kMiB + i, 30 + i));
  }
  const auto then = [](std::vector<std::string> first, const std::vector<std::string>& after) {
    first.insert(first.end(), after.begin(), after.end());
    return first;
  };
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> knobs;
    std::vector<std::string> lines;
    int pending_files;  // the files with reads in flight
  } cases[] = {
      {"at a drive", {}, {whole, short_end}, 2},
      {"small files ending in the call first", {{"TALLYRUN_RULES_IN_CALL_UP_TO", "4096"}},
       then(small, large), 6},
      {"compressed files first", {{"TALLYRUN_RULES_IN_CALL", "packed"}}, then(packed, large), 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ProgramEnvironment knobs(c.knobs);
    const std::string list = folder_.write("big.sfv", sfv_text(c.lines));
    std::vector<Row> rows;
    for (const std::string& line : c.lines) rows.push_back({line.substr(0, line.find(' ')), kOk});
    start(quoted(list));
    if (main_ == nullptr) continue;
    EXPECT_EQ(rows, wait_for_outcome("Everything OK!").rows);
    PostMessageA(main_, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(std::optional<DWORD>(0), process_->wait_exit());
    const WindowsRulesCounts counts = process_->rules();
    std::printf("counts, %s: %s\n", c.what, testing::PrintToString(counts).c_str());
    EXPECT_EQ(c.pending_files, counts.files_pending) << counts;
  }
}

// A list of many files is hashed several files at once, or one at a time where the drive
// says it seeks: either way each row gets its own file's result, a damaged file in the
// middle and a missing one near the end fail alone, and the rules layer, which answers the
// question for the volume, sees as many files open at once as hashers were meant to run.
// Without an answer, as under Wine itself, the drive counts as one that does not seek.
TEST_F(Program, ASetOfFilesChecksTheSameOnOneHasherOrSeveral) {
  std::vector<std::string> lines;
  std::vector<Row> rows;
  for (int i = 0; i < 16; ++i) {
    const std::string name = "s" + std::to_string(i) + ".bin";
    lines.push_back(write_listed_file(folder_, name, i % 2 ? 100 + i : 3 * kMiB + i, i));
    rows.push_back({name, i == 7 || i == 14 ? kFailed : kOk});
  }
  const std::string list = folder_.write("set.sfv", sfv_text(lines));
  write_file(folder_.file("s7.bin"), pseudo_random_bytes(107, 99));  // the same size
  DeleteFileA(folder_.file("s14.bin").c_str());
  // Only where it seeks, or where a local volume opens but does not say, is no file opened
  // while another one is still open; the one volume is asked once. Where the system gives
  // the worker no thread for a second hasher, the run goes on with the first alone.
  const struct {
    const char* seeks;
    const char* threads;
    bool one_at_a_time;
    int questions;
  } cases[] = {{"", "", false, 0},    {"0", "", false, 1}, {"1", "", true, 1},
               {"none", "", true, 1}, {"1", "1", true, 1}, {"0", "1", false, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("seek penalty knob \"") + c.seeks + "\", threads \"" + c.threads +
                 "\"");
    const ProgramEnvironment knob(std::vector<std::pair<std::string, std::string>>{
        {"TALLYRUN_RULES_SEEK_PENALTY", c.seeks}, {"TALLYRUN_RULES_THREADS", c.threads}});
    start(quoted(list));
    if (main_ == nullptr) continue;
    const MainView seen = wait_for_outcome("File errors detected!");
    EXPECT_EQ(rows, seen.rows);
    EXPECT_EQ(kBarFull, seen.overall_bar);
    PostMessageA(main_, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(std::optional<DWORD>(0), process_->wait_exit());
    const WindowsRulesCounts counts = process_->rules();
    EXPECT_EQ(c.one_at_a_time, counts.files_open_most == 1) << counts;
    EXPECT_EQ(c.questions, counts.seek_questions) << counts;
    EXPECT_EQ(*c.threads != '\0' && !c.one_at_a_time, counts.threads_refused > 0) << counts;
  }
}

// A read that fails among others in flight, and files that grew or shrank after their size
// was taken (the layer reports a size a chunk off), each fail their row; the reads left in
// flight must not spoil the file read after them.
TEST_F(Program, AFailedReadOrAChangedSizeFailsTheFileAlone) {
  const ProgramEnvironment knobs({{"TALLYRUN_RULES_FAIL_READ", "fails:3"},
                                  {"TALLYRUN_RULES_SIZE_SHIFT", "grows:-1048576 shrinks:1048576"}});
  const std::string list = folder_.write(
      "changing.sfv",
      sfv_text({write_listed_file(folder_, "first.bin", 5 * kMiB + 1, 1),
                write_listed_file(folder_, "fails.bin", 8 * kMiB, 2),
                write_listed_file(folder_, "grows.bin", 5 * kMiB + 7, 3),
                write_listed_file(folder_, "grows-whole.bin", 5 * kMiB, 4),
                write_listed_file(folder_, "shrinks.bin", 5 * kMiB + 7, 5),
                write_listed_file(folder_, "last.bin", 7 * kMiB + 9, 6)}));
  start(quoted(list));
  if (main_ == nullptr) return;
  const MainView seen = wait_for_outcome("File errors detected!");
  EXPECT_EQ((std::vector<Row>{{"first.bin", kOk},
                              {"fails.bin", kFailed},
                              {"grows.bin", kFailed},
                              {"grows-whole.bin", kFailed},
                              {"shrinks.bin", kFailed},
                              {"last.bin", kOk}}),
            seen.rows);
  PostMessageA(main_, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(std::optional<DWORD>(0), process_->wait_exit());
  std::printf("counts after failing files: %s\n",
              testing::PrintToString(process_->rules()).c_str());
  EXPECT_LT(0, process_->rules().reads_pending) << process_->rules();
}

// The layer's own rules, which the program keeps and so never shows: a copy of this test
// program, started under the layer, runs LayerInside below and exits 0 when it passed.
TEST_F(Program, TheLayerRefusesWhatWindowsRefuses) {
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  const std::string report = folder_.file("inside.xml");
  // Its reads of the file stay pending long enough to be cancelled before they start.
  const ProgramEnvironment inside(
      {{"TALLYRUN_RULES_INSIDE", "1"}, {"TALLYRUN_RULES_DELAY_MS", "data.bin:300"}});
  const RemoteProcess copy(exe, "--gtest_filter=WindowsRules.LayerInside --gtest_output=xml:" +
                                    quoted(report));
  EXPECT_EQ(std::optional<DWORD>(0), copy.wait_exit(60000)) << read_file(report);
}

TEST(WindowsRules, LayerInside) {
  if (std::getenv("TALLYRUN_RULES_INSIDE") == nullptr) {
    GTEST_SKIP() << "runs in a copy of this program started under the layer";
  }
  const HANDLE block = OpenFileMappingW(FILE_MAP_READ, FALSE,
                                        windows_rules_block_name(GetCurrentProcessId()).c_str());
  ASSERT_NE(nullptr, block) << "not under the layer";
  const auto* counts =
      static_cast<const WindowsRulesCounts*>(MapViewOfFile(block, FILE_MAP_READ, 0, 0, 0));
  TempFolder folder;
  const std::string bytes = pseudo_random_bytes(3 * 4096 + 100);
  const std::string path = folder.write("data.bin", bytes);
  auto* buffer = static_cast<char*>(
      VirtualAlloc(nullptr, 4 * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  const HANDLE plain = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, plain) << GetLastError();
  const struct {
    char* buffer;
    DWORD size;
    LONGLONG offset;
    DWORD error;  // 0 when it must succeed
  } unbuffered[] = {{buffer, 4096, 4096, 0},
                    {buffer + 512, 4096, 0, ERROR_INVALID_PARAMETER},
                    {buffer, 4000, 0, ERROR_INVALID_PARAMETER},
                    {buffer, 4096, 512, ERROR_INVALID_PARAMETER}};
  for (const auto& c : unbuffered) {
    LARGE_INTEGER at;
    at.QuadPart = c.offset;
    SetFilePointerEx(plain, at, nullptr, FILE_BEGIN);
    DWORD got = 0;
    const BOOL ok = ReadFile(plain, c.buffer, c.size, &got, nullptr);
    EXPECT_EQ(c.error, ok ? 0 : GetLastError()) << "read of " << c.size << " at " << c.offset;
  }

  const HANDLE overlapped = ReOpenFile(plain, GENERIC_READ, FILE_SHARE_READ,
                                       FILE_FLAG_NO_BUFFERING | FILE_FLAG_OVERLAPPED);
  ASSERT_NE(INVALID_HANDLE_VALUE, overlapped) << GetLastError();
  const HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  for (const bool past_end : {false, true}) {
    OVERLAPPED read{};
    read.Offset = past_end ? 4 * 4096 : 4096;
    read.hEvent = past_end ? nullptr : event;
    EXPECT_FALSE(ReadFile(overlapped, buffer, 3 * 4096, nullptr, &read));
    EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
    EXPECT_FALSE(HasOverlappedIoCompleted(&read));
    DWORD got = 0;
    EXPECT_FALSE(GetOverlappedResult(overlapped, &read, &got, FALSE));
    EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());
    if (!past_end) {
      EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "the event was not reset";
      EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 1000)) << "the event was not set";
    }
    EXPECT_EQ(!past_end, GetOverlappedResult(overlapped, &read, &got, TRUE) != 0);
    EXPECT_EQ(past_end ? ERROR_HANDLE_EOF : 0u, past_end ? GetLastError() : 0u);
    EXPECT_EQ(bytes.substr(4096, past_end ? 0 : 3 * 4096), std::string(buffer, got));
  }
  // A read cancelled before it started ends aborted; once ended, none is left to cancel.
  OVERLAPPED read{};
  EXPECT_FALSE(ReadFile(overlapped, buffer, 4096, nullptr, &read));
  EXPECT_TRUE(CancelIoEx(overlapped, nullptr));
  DWORD got = 0;
  EXPECT_FALSE(GetOverlappedResult(overlapped, &read, &got, TRUE));
  EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
  EXPECT_FALSE(CancelIoEx(overlapped, nullptr));
  EXPECT_EQ(ERROR_NOT_FOUND, GetLastError());
  CloseHandle(overlapped);
  CloseHandle(plain);

  const struct {
    bool to_wide;
    UINT code_page;
    DWORD flags;
    bool default_char;
    DWORD error;  // 0 when it must succeed
  } conversions[] = {{false, CP_UTF8, WC_NO_BEST_FIT_CHARS, false, ERROR_INVALID_FLAGS},
                     {false, 54936, WC_COMPOSITECHECK, false, ERROR_INVALID_FLAGS},
                     {false, CP_UTF8, 0, true, ERROR_INVALID_PARAMETER},
                     {false, CP_UTF8, WC_ERR_INVALID_CHARS, false, 0},
                     {false, 1252, WC_NO_BEST_FIT_CHARS, true, 0},
                     {true, CP_UTF8, MB_PRECOMPOSED, false, ERROR_INVALID_FLAGS},
                     {true, 54936, MB_PRECOMPOSED, false, ERROR_INVALID_FLAGS},
                     {true, CP_UTF8, MB_ERR_INVALID_CHARS, false, 0},
                     {false, 1252, WC_ERR_INVALID_CHARS, false, ERROR_INVALID_FLAGS},
                     {true, CP_UTF7, MB_PRECOMPOSED, false, ERROR_INVALID_FLAGS}};
  for (const auto& c : conversions) {
    char text[16];
    wchar_t wide[16];
    BOOL used = FALSE;
    const int length =
        c.to_wide ? MultiByteToWideChar(c.code_page, c.flags, "ab", 2, wide, 16)
                  : WideCharToMultiByte(c.code_page, c.flags, L"ab", 2, text, sizeof text,
                                        nullptr, c.default_char ? &used : nullptr);
    EXPECT_EQ(c.error, length == 2 ? 0 : GetLastError())
        << (c.to_wide ? "from " : "to ") << c.code_page << " with flags " << c.flags;
  }

  // A path past MAX_PATH opens only with the prefix that lifts the limit.
  const std::wstring long_file = widen(folder.make_long_folder(280)) + L"\\x.txt";
  write_file(long_file, "x");
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(long_file.c_str(), GENERIC_READ, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  const HANDLE prefixed = CreateFileW((L"\\\\?\\" + long_file).c_str(), GENERIC_READ, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, prefixed) << GetLastError();
  CloseHandle(prefixed);

  // Reads of a compressed file (named) and of one held in its file record (by size, up to
  // the bound) end in the call, the event set; a read at the end fails there. Only the
  // compressed one says so in its attributes.
  SetEnvironmentVariableA("TALLYRUN_RULES_IN_CALL", "packed");
  SetEnvironmentVariableA("TALLYRUN_RULES_IN_CALL_UP_TO", "4096");
  const struct {
    const char* name;
    std::size_t size;
    bool in_call;
    bool compressed;
  } files[] = {{"packed.bin", 3 * 4096 + 100, true, true},
               {"record.bin", 4096, true, false},
               {"over.bin", 4097, false, false}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const std::string file_bytes = pseudo_random_bytes(f.size, 7);
    const HANDLE file =
        CreateFileA(folder.write(f.name, file_bytes).c_str(), GENERIC_READ, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
    for (const DWORD offset : {0, 4 * 4096}) {
      OVERLAPPED at{};
      at.Offset = offset;
      at.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      DWORD count = 0;
      const BOOL ok = ReadFile(file, buffer, 2 * 4096, &count, &at);
      const DWORD error = ok ? 0 : GetLastError();
      const std::string expected =
          file_bytes.substr(std::min<std::size_t>(offset, f.size), 2 * 4096);
      if (f.in_call) {
        EXPECT_EQ(offset == 0 ? 0 : ERROR_HANDLE_EOF, error) << "at " << offset;
        EXPECT_EQ(offset == 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(at.hEvent, 0));
        EXPECT_EQ(count, at.InternalHigh);
      } else {
        EXPECT_EQ(ERROR_IO_PENDING, error) << "at " << offset;
        GetOverlappedResult(file, &at, &count, TRUE);
      }
      EXPECT_EQ(expected, std::string(buffer, count)) << "at " << offset;
      CloseHandle(at.hEvent);
    }
    FILE_BASIC_INFO basic{};
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_TRUE(GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
                GetFileInformationByHandle(file, &info));
    EXPECT_EQ(f.compressed, (basic.FileAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0)
        << basic.FileAttributes;
    EXPECT_EQ(f.compressed, (info.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0)
        << info.dwFileAttributes;
    CloseHandle(file);
  }

  // A volume opens only while the knob is set, and answers the seek question with the
  // knob's value, or fails it.
  wchar_t mount[MAX_PATH] = {};
  wchar_t volume[MAX_PATH] = {};
  ASSERT_TRUE(GetVolumePathNameW(widen(folder.path()).c_str(), mount, MAX_PATH) &&
              GetVolumeNameForVolumeMountPointW(mount, volume, MAX_PATH))
      << GetLastError();
  volume[std::wcslen(volume) - 1] = L'\0';  // the volume, not its root folder
  const struct {
    std::string knob;
    bool opens;
    DWORD error;  // of the question; 0 when it answers
    int seeks;
  } volumes[] = {{"", false, 0, 0},
                 {"0", true, 0, 0},
                 {"1", true, 0, 1},
                 {"none", true, ERROR_NOT_SUPPORTED, 0}};
  for (const auto& v : volumes) {
    SetEnvironmentVariableA("TALLYRUN_RULES_SEEK_PENALTY", v.knob.c_str());
    const HANDLE device = CreateFileW(volume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(v.opens, device != INVALID_HANDLE_VALUE)
        << "knob \"" << v.knob << "\", error " << GetLastError();
    if (device == INVALID_HANDLE_VALUE) continue;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceSeekPenaltyProperty;
    DEVICE_SEEK_PENALTY_DESCRIPTOR answer{};
    DWORD size = 0;
    const BOOL ok = DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                    &answer, sizeof answer, &size, nullptr);
    EXPECT_EQ(v.error, ok ? 0 : GetLastError()) << "knob \"" << v.knob << "\"";
    EXPECT_EQ(v.seeks, answer.IncursSeekPenalty) << "knob \"" << v.knob << "\"";
    CloseHandle(device);
  }
  SetEnvironmentVariableA("TALLYRUN_RULES_SEEK_PENALTY", nullptr);

  EXPECT_EQ(3, counts->unaligned_refused);
  EXPECT_EQ(7, counts->flags_refused);
  EXPECT_EQ(1, counts->long_paths_refused);
  EXPECT_EQ(5, counts->reads_pending);
  EXPECT_EQ(2, counts->files_pending);  // data.bin through its second handle, and over.bin
  EXPECT_EQ(4, counts->reads_in_call);
  EXPECT_EQ(3, counts->seek_questions);
  EXPECT_EQ(1, counts->reads_cancelled);
  UnmapViewOfFile(counts);
  CloseHandle(block);
  VirtualFree(buffer, 0, MEM_RELEASE);
}

}  // namespace
