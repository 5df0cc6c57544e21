#include "worker/worker.h"

#include "core/reading/read_ahead.h"
#include "core/reading/seek_penalty.h"
#include "core/reading/set_run.h"

PostThreadMessageFunction post_thread_message = PostThreadMessageA;
SeekPenaltyQuery seek_penalty_of = volume_seek_penalty;

namespace {

// Posts WM_HASH_DONE to `thread`. A full queue (Windows keeps at most 10,000 posted messages
// per thread), or any other passing failure, must not lose it, or the window would wait with
// drops refused, so the post is tried again until it goes through or the thread is gone.
void post_done(std::uint32_t thread) {
  while (!post_thread_message(thread, WM_HASH_DONE, 0, 0) &&
         GetLastError() != ERROR_INVALID_THREAD_ID) {
    Sleep(10);
  }
}

// Returns the run's progress in list order as the window takes it.
std::optional<ProgressReport> run_report(const HashWorker& worker) {
  const std::optional<SetPosition> at = set_position(worker.set);
  if (!at) return std::nullopt;
  return ProgressReport{at->index,
                        progress_lparam(at->index, worker.set.count.load(), at->file_progress)};
}

void entry_done(FileHasher&) { notify_window(hash_worker); }

// Runs `hasher` over the run's entries on the calling thread.
void run_hasher(FileHasher& hasher) {
  hash_list_entries(hash_worker.set, hasher, *hash_worker.list, hash_worker.volumes,
                    post_progress, entry_done);
}

// The thread of every hasher but the first; `parameter` is its FileHasher. Returns 0.
DWORD WINAPI hasher_main(LPVOID parameter) {
  run_hasher(*static_cast<FileHasher*>(parameter));
  return 0;
}

// The file calls of a run that opens nothing: every file is one that cannot be opened.
struct NoFiles {
  bool together(std::uint32_t) const { return false; }
  std::optional<std::int64_t> open(std::uint32_t, std::uint32_t) { return std::nullopt; }
  void start_first(std::uint32_t) {}
  bool read(std::uint32_t, void*, std::uint32_t, std::uint32_t*) { return false; }
  HashStatus hash_large(std::uint32_t, std::int64_t, ProgressSink) { return HashStatus::NotOpened; }
  void close(std::uint32_t) {}
};

}  // namespace

void notify_window(HashWorker& worker) {
  // The flag is read after the hasher published its place, and cleared by the window before
  // it reads the places, so a place published after the window looked finds it clear.
  if (worker.progress_posted.load() || worker.progress_posted.exchange(true)) return;
  const std::optional<ProgressReport> report = run_report(worker);
  if (!report || !post_thread_message(worker.report_thread_id, WM_HASH_PROGRESS, report->index,
                                      report->lparam)) {
    worker.progress_posted.store(false);  // the next report tries again; WM_HASH_DONE ends it
  }
}

void post_progress(FileHasher& hasher, std::uint32_t index, std::uint32_t file_progress) {
  publish_read(hasher, index, file_progress);
  notify_window(hash_worker);
}

std::optional<ProgressReport> take_progress(HashWorker& worker) {
  worker.progress_posted.store(false);
  return run_report(worker);
}

void prepare_run(HashWorker& worker, FileList& list) {
  worker.list = &list;
  worker.progress_posted.store(false);
  worker.set.count.store(0);  // nothing to show until the worker has begun the set
}

namespace {

// Asks each distinct volume of the run's list once whether it seeks, and returns whether
// every one of them is read one file at a time. An answer that cannot be had for want of
// memory counts as none from a local volume.
bool ask_volumes(HashWorker& worker) {
  FileList& list = *worker.list;
  try {
    return sort_into_volumes(
        worker.volumes, list.count(),
        [&list](std::uint32_t index) -> const std::wstring& { return list.at(index).path.native(); },
        [&list](std::uint32_t first) {
          try {
            return seek_penalty_of(list.at(first).path);
          } catch (...) {
            return SeekAnswer::NoAnswer;
          }
        });
  } catch (...) {
    // No memory to sort the list: every entry on one volume that is read one file at a time.
    worker.volumes.volumes.clear();
    worker.volumes.volumes.emplace_back().answer = SeekAnswer::NoAnswer;
    worker.volumes.of_entry.clear();
    return true;
  }
}

// Waits until every thread of `threads` has ended. A wait that fails is never taken for
// their end: the list must not change under a hasher that still writes into it.
void wait_for_threads(HANDLE* threads, DWORD count) {
  if (count == 0) return;
  if (WaitForMultipleObjects(count, threads, TRUE, INFINITE) < WAIT_OBJECT_0 + count) return;
  for (DWORD i = 0; i < count; ++i) {
    DWORD code = STILL_ACTIVE;
    while (WaitForSingleObject(threads[i], INFINITE) != WAIT_OBJECT_0 &&
           GetExitCodeThread(threads[i], &code) && code == STILL_ACTIVE) {
      Sleep(10);
    }
  }
}

}  // namespace

void hash_set(HashWorker& worker) {
  const std::uint32_t count = worker.list->count();
  const bool every_volume_alone = ask_volumes(worker);
  const std::uint32_t wanted =
      hashers_for(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS), every_volume_alone, count);
  // Only a hasher whose thread exists takes part: one left out of the set holds no entry,
  // so the run's progress never waits for it.
  FileHasher* members[kMaxHashers] = {worker.hashers[0]};
  HANDLE threads[kMaxHashers] = {};
  DWORD running = 0;
  for (std::uint32_t i = 1; i < wanted; ++i) {
    if (worker.hashers[i] == nullptr) {
      try {
        worker.hashers[i] = new FileHasher;
      } catch (...) {
        break;  // the run goes on with the hashers it has
      }
    }
    HANDLE thread =
        CreateThread(nullptr, 0, hasher_main, worker.hashers[i], CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) break;
    threads[running++] = thread;
    members[running] = worker.hashers[i];
  }
  begin_set(worker.set, members, running + 1, count);
  for (DWORD i = 0; i < running; ++i) {
    if (ResumeThread(threads[i]) == static_cast<DWORD>(-1)) {
      // It never ran a line: its hasher's entries are taken on this thread instead, after
      // the first hasher's, so that none is left unhashed.
      TerminateThread(threads[i], 1);
      WaitForSingleObject(threads[i], INFINITE);
    }
  }
  run_hasher(*worker.hashers[0]);
  for (DWORD i = 0; i < running; ++i) {
    DWORD code = 0;
    if (GetExitCodeThread(threads[i], &code) && code == 1) run_hasher(*members[i + 1]);
  }
  wait_for_threads(threads, running);
  for (DWORD i = 0; i < running; ++i) CloseHandle(threads[i]);
}

DWORD WINAPI worker_main(LPVOID parameter) {
  HashWorker& worker = *static_cast<HashWorker*>(parameter);
  hash_set(worker);
  const std::uint32_t report_thread_id = worker.report_thread_id;
  // The mark is cleared before the last message, not after it: the window starts the
  // next run as soon as it has handled WM_HASH_DONE, and must not find this one still
  // marked. Nobody waits for the thread, so its handle is released here.
  CloseHandle(worker.worker_thread.exchange(nullptr));
  post_done(report_thread_id);
  return 0;
}

void end_run_unhashed(HashWorker& worker) {
  NoFiles none;
  FileHasher* const first = worker.hashers[0];
  begin_set(worker.set, &first, 1, worker.list->count());
  const auto store = [&worker](FileHasher&, std::uint32_t index, HashStatus status) {
    worker.list->at(index).status = status;
  };
  hash_entries(worker.set, *first, none, post_progress, store, entry_done);
  post_done(worker.report_thread_id);
}

void start_worker(std::uint32_t report_thread_id) {
  HashWorker& worker = hash_worker;
  if (worker.worker_thread.load() != nullptr) return;
  worker.report_thread_id = report_thread_id;
  prepare_run(worker, file_list);
  // Created suspended so that the mark is in place before the worker can clear it: a run
  // over an empty list may otherwise end before CreateThread returns, and the stale mark
  // would refuse every later run.
  HANDLE thread = CreateThread(nullptr, 0, worker_main, &worker, CREATE_SUSPENDED, nullptr);
  if (thread == nullptr) {
    end_run_unhashed(worker);
    return;
  }
  worker.worker_thread.store(thread);
  if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
    TerminateThread(thread, 1);  // it never ran a line, so nothing is left half done
    CloseHandle(worker.worker_thread.exchange(nullptr));
    end_run_unhashed(worker);
  }
}
