#include "worker/worker.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <boost/crc.hpp>
#include <gtest/gtest.h>

#include "core/names/path_rules.h"
#include "core/reading/seek_penalty.h"
#include "tests/support/full_queue.h"
#include "tests/support/print.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr std::uint32_t kMiB = 1024 * 1024;

struct Message {
  UINT id;
  WPARAM wparam;
  LPARAM lparam;
  bool operator==(const Message&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Message& m) {
  char text[64];
  snprintf(text, sizeof text, "{%s %llu %08llx}", m.id == WM_HASH_DONE ? "done" : "progress",
           static_cast<unsigned long long>(m.wparam), static_cast<unsigned long long>(m.lparam));
  return out << text;
}

Message progress(WPARAM index, std::uint32_t lparam) { return {WM_HASH_PROGRESS, index, lparam}; }
const Message kDone = {WM_HASH_DONE, 0, 0};

// How the run's messages reach this thread in each test. Only the worker thread calls them.
// An infinitely fast window: each post is taken at once, so every report is posted and a
// run's messages can be compared one by one.
BOOL WINAPI post_as_if_taken(DWORD thread, UINT message, WPARAM wparam, LPARAM lparam) {
  hash_worker.progress_posted.store(false);
  return PostThreadMessageA(thread, message, wparam, lparam);
}

// The real post, counting the messages posted and not yet received.
std::atomic<int> in_flight = 0;
std::atomic<int> most_in_flight = 0;
BOOL WINAPI post_counted(DWORD thread, UINT message, WPARAM wparam, LPARAM lparam) {
  most_in_flight = std::max(most_in_flight.load(), ++in_flight);
  if (PostThreadMessageA(thread, message, wparam, lparam)) return TRUE;
  --in_flight;
  return FALSE;
}

struct RunSeen {
  std::vector<Message> messages;
  std::optional<ProgressReport> last;  // the progress taken at WM_HASH_DONE
};

// Collects the run's messages from this thread's queue until WM_HASH_DONE, then a little
// longer, so that a second WM_HASH_DONE or a late progress message shows up too. Takes the
// progress as the window does: for each WM_HASH_PROGRESS, after `pause_ms`, and at the end.
RunSeen collect_run_messages(DWORD pause_ms = 0) {
  RunSeen seen;
  DWORD deadline = GetTickCount() + 30000;
  bool done = false;
  while (static_cast<LONG>(deadline - GetTickCount()) > 0) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, deadline - GetTickCount(), QS_POSTMESSAGE);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_HASH_PROGRESS, WM_HASH_DONE, PM_REMOVE)) {
      --in_flight;
      seen.messages.push_back({msg.message, msg.wParam, msg.lParam});
      if (msg.message == WM_HASH_PROGRESS) {
        Sleep(pause_ms);
        take_progress(hash_worker);
      }
      if (msg.message == WM_HASH_DONE && !done) {
        done = true;
        seen.last = take_progress(hash_worker);
        deadline = GetTickCount() + 100;
      }
    }
  }
  EXPECT_TRUE(done) << "no WM_HASH_DONE within 30 s";
  return seen;
}

std::uint32_t crc_of(const std::string& bytes) {
  boost::crc_32_type crc;
  crc.process_bytes(bytes.data(), bytes.size());
  return crc.checksum();
}

class Worker : public testing::Test {
 protected:
  void SetUp() override {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // gives this thread its message queue
    file_list.clear();
    post_thread_message = post_as_if_taken;
  }
  void TearDown() override {
    file_list.clear();
    post_thread_message = PostThreadMessageA;
    seek_penalty_of = volume_seek_penalty;
  }

  // Lists the file `name` of the test folder, whether it exists or not. `computed` starts
  // at a value no file here has, so that a value the run must not touch shows.
  void list_file(const std::string& name) {
    FileEntry entry;
    entry.path = make_path(folder.file(name));
    entry.computed = 0x5EED5EED;
    file_list.append(entry);
  }

  std::vector<Message> run() {
    start_worker(GetCurrentThreadId());
    return collect_run_messages().messages;
  }

  TempFolder folder;
};

struct RunCase {
  const char* name;
  std::vector<int> sizes;  // a file of that many bytes per entry; -1 for a missing file
  std::vector<Message> messages;
};

SeekAnswer seeks(const boost::filesystem::path&) { return SeekAnswer::Seeks; }
SeekAnswer does_not_seek(const boost::filesystem::path&) { return SeekAnswer::DoesNotSeek; }

// Returns true when no message reports less than the one before, (index, file progress)
// compared in that order: the window sees the list in order.
bool in_list_order(const std::vector<Message>& messages) {
  const auto key = [](const Message& m) { return std::pair(m.wparam, m.lparam >> 16); };
  return std::is_sorted(messages.begin(), messages.end() - (messages.empty() ? 0 : 1),
                        [&](const Message& a, const Message& b) { return key(a) < key(b); });
}

// Each case runs on one hasher, as on a drive that seeks, and on several, and each of those
// twice: with a window that takes every report at once, which sees every message (all of
// them, on one hasher, the same as ever; in list order on several); and with a queue that
// refuses most posts, which must lose neither WM_HASH_DONE nor the run's last progress.
TEST_F(Worker, PostsProgressPerReadAndPerEntryThenDoneOnce) {
  const RunCase cases[] = {
      {"empty list", {}, {kDone}},
      {"one empty file", {0}, {progress(0, 0xFFFFFFFF), kDone}},
      {"one missing file", {-1}, {progress(0, 0xFFFFFFFF), kDone}},
      {"2.5 MiB file, then a small one",
       {int(5 * kMiB / 2), 10},
       {progress(0, 0x66663333), progress(0, 0xCCCC6666), progress(0, 0xFFFE7FFF),
        progress(0, 0xFFFF7FFF), progress(1, 0xFFFEFFFE), progress(1, 0xFFFFFFFF), kDone}},
      {"missing, empty, one byte",
       {-1, 0, 1},
       {progress(0, 0xFFFF5555), progress(1, 0xFFFFAAAA), progress(2, 0xFFFEFFFE),
        progress(2, 0xFFFFFFFF), kDone}},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    file_list.clear();
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      const std::string name = std::string(c.name) + "-" + std::to_string(i);
      contents.push_back(c.sizes[i] < 0 ? "" : pseudo_random_bytes(c.sizes[i], unsigned(i)));
      if (c.sizes[i] >= 0) folder.write(name, contents.back());
      list_file(name);
    }

    for (const auto& [full_queue, one_hasher] :
         {std::pair(false, true), std::pair(true, true), std::pair(false, false),
          std::pair(true, false)}) {
      SCOPED_TRACE(std::string(full_queue ? "full queue" : "every report taken") +
                   (one_hasher ? ", one hasher" : ", several hashers"));
      post_thread_message = full_queue ? post_to_full_queue : post_as_if_taken;
      seek_penalty_of = one_hasher ? seeks : does_not_seek;
      start_worker(GetCurrentThreadId());
      const RunSeen seen = collect_run_messages();
      if (!full_queue && one_hasher) {
        EXPECT_EQ(seen.messages, c.messages);
      }
      EXPECT_TRUE(in_list_order(seen.messages)) << testing::PrintToString(seen.messages);
      EXPECT_EQ(std::count(seen.messages.begin(), seen.messages.end(), kDone), 1);
      EXPECT_EQ(seen.messages.back(), kDone);
      const std::optional<ProgressReport> last =
          c.messages.size() < 2 ? std::nullopt
                                : std::optional<ProgressReport>(
                                      {std::uint32_t(c.messages.rbegin()[1].wparam),
                                       std::uint32_t(c.messages.rbegin()[1].lparam)});
      EXPECT_EQ(seen.last, last);

      for (std::size_t i = 0; i < c.sizes.size(); ++i) {
        const FileEntry& entry = file_list.at(std::uint32_t(i));
        const bool exists = c.sizes[i] >= 0;
        EXPECT_EQ(entry.status, exists ? HashStatus::Complete : HashStatus::NotOpened) << i;
        EXPECT_EQ(entry.computed, exists ? crc_of(contents[i]) : 0x5EED5EEDu) << i;
      }
    }
  }
}

TEST_F(Worker, AtMostOneProgressMessageIsOnItsWay) {
  // Files that cannot be opened end at once: the worker reports far faster than this
  // window, which takes a millisecond over each message.
  constexpr std::uint32_t kFiles = 3000;
  for (std::uint32_t i = 0; i < kFiles; ++i) list_file("missing-" + std::to_string(i));
  post_thread_message = post_counted;
  in_flight = 0;
  most_in_flight = 0;
  start_worker(GetCurrentThreadId());
  const RunSeen seen = collect_run_messages(1);
  EXPECT_LE(most_in_flight.load(), 2) << "one WM_HASH_PROGRESS and WM_HASH_DONE at most";
  EXPECT_LT(seen.messages.size(), std::size_t{kFiles}) << "reports were not merged";
  EXPECT_EQ(seen.messages.back(), kDone);
  EXPECT_EQ(seen.last, (ProgressReport{kFiles - 1, 0xFFFFFFFF}));
}

TEST_F(Worker, EveryRunStartsOnceTheLastHasReportedDone) {
  // An empty list ends at once, possibly before the thread's creation has returned;
  // neither it nor a finished run may leave its mark behind and refuse the next one.
  folder.write("small", "123456789");
  const bool lists_file[] = {false, true, true, false, false, true};
  for (bool with_file : lists_file) {
    file_list.clear();
    if (with_file) list_file("small");
    const std::vector<Message> messages = run();
    const std::vector<Message> expected =
        with_file ? std::vector<Message>{progress(0, 0xFFFEFFFE), progress(0, 0xFFFFFFFF), kDone}
                  : std::vector<Message>{kDone};
    EXPECT_EQ(messages, expected) << (with_file ? "one file" : "empty list");
    EXPECT_EQ(hash_worker.worker_thread.load(), nullptr) << "mark left after WM_HASH_DONE";
  }
}

TEST_F(Worker, StartDuringARunChangesNothingAndTheHandleIsReleased) {
  folder.write("big", pseudo_random_bytes(16 * kMiB));
  list_file("big");
  start_worker(GetCurrentThreadId());
  // 16 MiB keep the worker busy far longer than the next lines take.
  HANDLE thread = hash_worker.worker_thread.load();
  ASSERT_NE(thread, nullptr) << "the run ended before the test could look at it";
  start_worker(GetCurrentThreadId());
  EXPECT_EQ(hash_worker.worker_thread.load(), thread);

  const std::vector<Message> messages = collect_run_messages().messages;
  ASSERT_EQ(messages.size(), 18u) << "16 reads, the closing message and one WM_HASH_DONE";
  EXPECT_EQ(messages.back(), kDone);
  EXPECT_EQ(file_list.at(0).status, HashStatus::Complete);

  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(thread, &flags)) << "thread handle still open";
}

TEST_F(Worker, RunWithoutThreadReportsEveryFileAsNotOpened) {
  folder.write("a", "a");
  list_file("a");
  list_file("b");
  file_list.at(0).status = HashStatus::Complete;  // left from an earlier run
  hash_worker.report_thread_id = GetCurrentThreadId();
  seek_penalty_of = does_not_seek;
  prepare_run(hash_worker, file_list);

  end_run_unhashed(hash_worker);

  EXPECT_EQ(collect_run_messages().messages,
            (std::vector<Message>{progress(0, 0xFFFF7FFF), progress(1, 0xFFFFFFFF), kDone}));
  for (std::uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(file_list.at(i).status, HashStatus::NotOpened) << i;
    EXPECT_EQ(file_list.at(i).computed, 0x5EED5EEDu) << i;
  }
}

}  // namespace
