// Times tallyrun.exe end to end, as its user starts it: from the command line to the verdict
// in its window, and the Close button with and without a run going on; and times the bare
// read loop over the files of a list, which is as fast as any check of them through that
// loop could be. Runs under Wine next to the program, for scripts/bench. The window is read
// from outside without sending it messages while it works, as the user's eye would, so the
// measurement does not slow the program down. Every wait has a deadline, and a program left
// running is killed.
// Usage: tallyrun-bench-run [-t SECONDS] COMMAND ...
//   run EXE LIST     starts EXE with LIST and waits for the verdict; prints
//                    "run SECONDS ROWS PEAK_WORKING_SET_BYTES VERDICT", then closes EXE.
//   close EXE [LIST] starts EXE, without LIST waits until its empty window is idle, with
//                    LIST until it shows "Checking"; presses Close and prints
//                    "close SECONDS EXIT_CODE": the time from pressing to the process's end.
//                    Exits 3 when the run had ended before Close could be pressed.
//   loop LIST [THREADS]  prints "loop SECONDS FILES BYTES": the bare read loop over LIST's
//                    files, on THREADS threads (1 unless given) that each take the next file.
//   crc LIST         prints "crc SECONDS FILES BYTES": the CRC alone over the same bytes,
//                    each chunk read untimed and only the CRC over it in memory timed.
// -t is every wait's deadline (300 s unless given). Failures are printed on stderr and exit 1.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/crc/crc32.h"
#include "core/reading/hash_worker.h"
#include "core/names/path_rules.h"
#include "sfv/sfv_reader.h"
#include "tests/support/start_process.h"
#include "ui/resource.h"

namespace {

constexpr DWORD kPollMs = 2;  // often enough to add no visible delay, seldom enough to cost little
constexpr DWORD kCloseWaitMs = 30000;  // for closing after a measurement is taken
double deadline_seconds = 300;

// A failed measurement: its text is printed and the program exits 1.
struct Failure {
  std::string what;
};

// Returns the seconds of the performance counter, for differences.
double now_seconds() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Returns true as soon as `condition` holds, polling every kPollMs; false once
// deadline_seconds have passed without it.
bool poll_until(const std::function<bool()>& condition) {
  const double deadline = now_seconds() + deadline_seconds;
  for (;;) {
    if (condition()) return true;
    if (now_seconds() >= deadline) return false;
    Sleep(kPollMs);
  }
}

// Returns the window's text. For a window of another process the system keeps the text
// itself, so no message reaches the busy target.
std::string window_text(HWND window) {
  char text[1024] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// Returns true when `window` accepts dropped files, which the main window does again last
// when a run ends. Read from the window's style, without a message.
bool accepts_drops(HWND window) {
  return (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0;
}

// Returns true when `text` is one of the two outcomes that end a checking run.
bool is_verdict(const std::string& text) {
  return text == "Everything OK!" || text == "File errors detected!";
}

// One running tallyrun.exe; killed on destruction if it still runs.
class Program {
 public:
  // Starts `exe` with `list` in quotes as its command line, or none when `list` is empty,
  // and notes the time just before. Raises Failure when it cannot be started.
  Program(const std::string& exe, const std::string& list) {
    std::string command_line = "\"" + exe + "\"";
    if (!list.empty()) command_line += " \"" + list + "\"";
    // When Wine fails a start and it is tried again, the time of the try that worked counts.
    const DWORD error =
        start_process(exe, command_line, info_, [this] { started_ = now_seconds(); });
    if (error != 0)
      throw Failure{"cannot start " + command_line + ", error " + std::to_string(error)};
  }
  // Kills the process if it still runs, and closes its handles.
  ~Program() {
    if (!has_exited(0)) {
      TerminateProcess(info_.hProcess, 255);
      WaitForSingleObject(info_.hProcess, kCloseWaitMs);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Returns the time noted just before the start.
  double started() const { return started_; }
  // Returns the process handle, with all access.
  HANDLE handle() const { return info_.hProcess; }
  // Returns true once the process has exited, waiting up to `timeout_ms` for it.
  bool has_exited(DWORD timeout_ms) const {
    return WaitForSingleObject(info_.hProcess, timeout_ms) == WAIT_OBJECT_0;
  }
  // Returns the exit code of the exited process.
  DWORD exit_code() const {
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
  }

  // Returns the main window once it is there: the visible top-level dialog titled
  // "Tallyrun 1.2" that holds the file list. Raises Failure when the error box appears
  // instead, the process ends, or neither comes before the deadline.
  HWND main_window() const {
    Found found{info_.dwProcessId};
    const bool seen = poll_until([&] {
      EnumWindows(look_at, reinterpret_cast<LPARAM>(&found));
      return found.main || found.error_box || has_exited(0);
    });
    if (found.error_box) throw Failure{"error box: " + error_text(found.error_box)};
    if (!found.main) throw Failure{seen ? "the program ended without a window" : "no window"};
    return found.main;
  }

 private:
  struct Found {
    DWORD process_id;
    HWND main = nullptr;       // the main window: it holds the file list
    HWND error_box = nullptr;  // a window of the same caption without one
  };

  // Notes `window` in the Found at `found_address` when it is the program's main window or
  // its error box; goes on with the next window.
  static BOOL CALLBACK look_at(HWND window, LPARAM found_address) {
    auto& found = *reinterpret_cast<Found*>(found_address);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[16] = {};
    GetClassNameA(window, name, sizeof name);
    if (owner != found.process_id || !IsWindowVisible(window) ||
        std::strcmp(name, "#32770") != 0 || window_text(window) != "Tallyrun 1.2") {
      return TRUE;
    }
    (GetDlgItem(window, IDC_FILE_LIST) != nullptr ? found.main : found.error_box) = window;
    return TRUE;
  }

  // Returns the texts of the error box's children, for the failure message.
  static std::string error_text(HWND box) {
    std::string texts;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
      texts += (texts.empty() ? "" : " | ") + window_text(child);
    return texts;
  }

  PROCESS_INFORMATION info_{};
  double started_ = 0;
};

// Presses Close as the button does and returns the seconds until the process has ended.
// Raises Failure when it does not end before the deadline.
double close_and_time(const Program& program, HWND main) {
  const double start = now_seconds();
  if (!PostMessageA(main, WM_COMMAND, IDCANCEL, 0))
    throw Failure{"cannot post Close, error " + std::to_string(GetLastError())};
  if (!program.has_exited(static_cast<DWORD>(deadline_seconds * 1000)))
    throw Failure{"the program has not ended after Close"};
  return now_seconds() - start;
}

// The "run" command: starts `exe` with `list`, waits for the verdict, prints it with its time,
// the list's rows and the peak working set, then closes the program. Raises Failure.
int time_run(const std::string& exe, const std::string& list) {
  Program program(exe, list);
  const HWND main = program.main_window();
  const HWND current = GetDlgItem(main, IDC_CURRENT_FILE);
  std::string shown;
  bool ended = false;
  // The style first: it alone changes when the run ends, and reading it is cheaper. Drops
  // accepted with no verdict mean no run at all.
  bool idle = false;
  poll_until([&] {
    idle = accepts_drops(main);
    ended = idle && is_verdict(shown = window_text(current));
    return idle || program.has_exited(0);
  });
  const double seconds = now_seconds() - program.started();
  if (idle && !ended)
    throw Failure{"the window opened empty: " + list + " is missing or lists no file"};
  if (!ended && program.has_exited(0)) throw Failure{"the program ended before its verdict"};
  if (!ended) throw Failure{"no verdict before the deadline; the window shows \"" + shown + "\""};

  DWORD_PTR rows = 0;
  if (!SendMessageTimeoutA(GetDlgItem(main, IDC_FILE_LIST), LVM_GETITEMCOUNT, 0, 0,
                           SMTO_ABORTIFHUNG, kCloseWaitMs, &rows)) {
    throw Failure{"the file list does not answer"};
  }
  // Wine takes this from the Linux process's peak resident size (VmHWM).
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (!GetProcessMemoryInfo(program.handle(), &memory, sizeof memory) ||
      memory.PeakWorkingSetSize == 0) {
    throw Failure{"cannot read the peak working set, error " + std::to_string(GetLastError())};
  }
  std::printf("run %.3f %u %llu %s\n", seconds, static_cast<unsigned>(rows),
              static_cast<unsigned long long>(memory.PeakWorkingSetSize), shown.c_str());
  std::fflush(stdout);
  close_and_time(program, main);
  return 0;
}

// The "close" command: presses Close on an idle empty window, or during the run of `list`,
// and prints the seconds until the process has ended. Returns 3 when the run ended first.
// Raises Failure.
int time_close(const std::string& exe, const std::string& list) {
  Program program(exe, list);
  const HWND main = program.main_window();
  if (list.empty()) {
    // Idle: it has shown its empty window and waits for input with nothing left to do.
    WaitForInputIdle(program.handle(), static_cast<DWORD>(deadline_seconds * 1000));
    if (!poll_until([&] { return accepts_drops(main); })) throw Failure{"the window stays busy"};
  } else {
    const HWND status = GetDlgItem(main, IDC_STATUS_LABEL);
    const HWND current = GetDlgItem(main, IDC_CURRENT_FILE);
    bool ended = false;
    const bool checking = poll_until([&] {
      ended = accepts_drops(main);  // with a verdict, or with no run at all
      return ended || window_text(status) == "Checking" || program.has_exited(0);
    });
    if (ended && !is_verdict(window_text(current)))
      throw Failure{"the window opened empty: " + list + " is missing or lists no file"};
    if (ended) {
      std::fprintf(stderr, "tallyrun-bench-run: the run ended before Close; list more files\n");
      return 3;
    }
    if (!checking || program.has_exited(0)) throw Failure{"the window never showed \"Checking\""};
  }
  const double seconds = close_and_time(program, main);
  std::printf("close %.3f %lu\n", seconds, program.exit_code());
  return 0;
}

// Reads the files of `names` that `next` hands out, as hash_file reads a file of one chunk,
// into `buffer`, until none is left; adds the bytes read to `total` and the files not read
// whole to `unread`. With `crc`, also runs the CRC over every chunk and adds the seconds it
// took to `crc_seconds`.
void read_files(const std::vector<std::string>& names, std::atomic<std::size_t>& next,
                unsigned char* buffer, std::atomic<std::uint64_t>& total,
                std::atomic<std::size_t>& unread, boost::crc_32_type* crc, double* crc_seconds) {
  for (std::size_t i; (i = next++) < names.size();) {
    HANDLE file = CreateFileA(names[i].c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                                  FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      ++unread;
      continue;
    }
    LARGE_INTEGER size{};
    size.QuadPart = -1;  // a file whose size is unknown counts as not read
    std::int64_t done = 0;
    DWORD count = 0;
    if (GetFileSizeEx(file, &size)) {
      while (done < size.QuadPart &&
             ReadFile(file, buffer, kReadChunkSize, &count, nullptr) && count > 0) {
        done += count;
        if (crc != nullptr) {
          const double crc_start = now_seconds();
          crc32_process(*crc, buffer, count);
          *crc_seconds += now_seconds() - crc_start;
        }
      }
    }
    CloseHandle(file);
    if (done != size.QuadPart) ++unread;
    total += static_cast<std::uint64_t>(done);
  }
}

// The "loop" command: reads every file of `list` as hash_file does, without a CRC, on
// `threads` threads that each take the list's next file, and prints the time. With
// `crc_alone`, the "crc" command: makes the same reads untimed on one thread and times only
// the CRC of every chunk, by the kernel the program would choose. Raises Failure when a file
// cannot be read completely.
int time_loop(const std::string& list, bool crc_alone, unsigned threads) {
  const std::vector<FileEntry> entries = load_sfv(make_path(list));
  std::vector<std::string> names;
  for (const FileEntry& entry : entries) names.push_back(native_string(entry.path));
  std::vector<unsigned char*> buffers;
  for (unsigned i = 0; i < threads; ++i) {
    buffers.push_back(static_cast<unsigned char*>(
        VirtualAlloc(nullptr, kReadChunkSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE)));
    if (buffers.back() == nullptr) throw Failure{"no memory for the loop's buffers"};
  }

  std::atomic<std::size_t> next = 0, unread = 0;
  std::atomic<std::uint64_t> total = 0;
  boost::crc_32_type crc;
  double crc_seconds = 0;
  const double start = now_seconds();
  std::vector<std::thread> others;
  for (unsigned i = 1; i < threads; ++i) {
    others.emplace_back(read_files, std::cref(names), std::ref(next), buffers[i], std::ref(total),
                        std::ref(unread), nullptr, nullptr);
  }
  read_files(names, next, buffers[0], total, unread, crc_alone ? &crc : nullptr, &crc_seconds);
  for (std::thread& other : others) other.join();
  const double seconds = crc_alone ? crc_seconds : now_seconds() - start;
  for (unsigned char* buffer : buffers) VirtualFree(buffer, 0, MEM_RELEASE);
  if (unread > 0) throw Failure{std::to_string(unread) + " listed files were not read completely"};
  std::printf("%s %.3f %zu %llu\n", crc_alone ? "crc" : "loop", seconds, names.size(),
              static_cast<unsigned long long>(total.load()));
  return 0;
}

// Prints the usage and returns the exit code for a wrong command line.
int usage() {
  std::fprintf(stderr, "usage: tallyrun-bench-run [-t SECONDS] run EXE LIST | close EXE [LIST] |"
                       " loop LIST [THREADS] | crc LIST\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "-t") {
    deadline_seconds = std::atof(args[1].c_str());
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || deadline_seconds <= 0) return usage();
  try {
    if (args[0] == "run" && args.size() == 3) return time_run(args[1], args[2]);
    if (args[0] == "close" && (args.size() == 2 || args.size() == 3))
      return time_close(args[1], args.size() == 3 ? args[2] : "");
    if (args[0] == "loop" && (args.size() == 2 || args.size() == 3)) {
      const int threads = args.size() == 3 ? std::atoi(args[2].c_str()) : 1;
      if (threads >= 1 && threads <= 64) {
        return time_loop(args[1], false, static_cast<unsigned>(threads));
      }
    }
    if (args[0] == "crc" && args.size() == 2) return time_loop(args[1], true, 1);
  } catch (const Failure& failure) {
    std::fprintf(stderr, "tallyrun-bench-run: %s\n", failure.what.c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tallyrun-bench-run: %s\n", error.what());
    return 1;
  }
  return usage();
}
