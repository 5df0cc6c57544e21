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
                        progress_lparam(at->index, worker.set.count, at->file_progress)};
}

void entry_done(FileHasher&) { notify_window(hash_worker); }

// Runs `hasher` over the run's entries on the calling thread.
void run_hasher(FileHasher& hasher) {
  hash_list_entries(hash_worker.set, hasher, *hash_worker.list, post_progress, entry_done);
}

// The thread of every hasher but the first; `parameter` is its FileHasher. Returns 0.
DWORD WINAPI hasher_main(LPVOID parameter) {
  run_hasher(*static_cast<FileHasher*>(parameter));
  return 0;
}

// The file calls of a run that opens nothing: every file is one that cannot be opened.
struct NoFiles {
  std::uint32_t depth() const { return 1; }
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
  // The files of this run may lie where reads end otherwise than in the last one.
  forget_how_first_reads_end();
  std::optional<bool> seeks;
  if (!list.is_empty()) {
    try {
      seeks = seek_penalty_of(list.at(0).path);
    } catch (...) {
      // No memory for the name: no answer, as from a volume that gives none.
    }
  }
  const std::uint32_t wanted =
      hashers_for(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS), seeks, list.count());
  std::uint32_t ready = 1;
  for (; ready < wanted; ++ready) {
    if (worker.hashers[ready] != nullptr) continue;
    try {
      worker.hashers[ready] = new FileHasher;
    } catch (...) {
      break;  // the run goes on with the hashers it has
    }
  }
  begin_set(worker.set, worker.hashers, ready, list.count());
  worker.set.files_at_once = seeks.value_or(false) ? 1 : kReadAheadSlots;
}

void hash_set(HashWorker& worker) {
  SetRun& set = worker.set;
  bool has_thread[kMaxHashers] = {};
  HANDLE threads[kMaxHashers] = {};
  DWORD running = 0;
  for (std::uint32_t i = 1; i < set.hasher_count; ++i) {
    threads[running] = CreateThread(nullptr, 0, hasher_main, set.hashers[i], 0, nullptr);
    has_thread[i] = threads[running] != nullptr;
    if (has_thread[i]) ++running;
  }
  run_hasher(*set.hashers[0]);
  // A hasher without a thread still holds the entry that begin_set gave it.
  for (std::uint32_t i = 1; i < set.hasher_count; ++i) {
    if (!has_thread[i]) run_hasher(*set.hashers[i]);
  }
  if (running > 0) WaitForMultipleObjects(running, threads, TRUE, INFINITE);
  for (DWORD i = 0; i < running; ++i) CloseHandle(threads[i]);
}

void hash_all(HashWorker& worker, FileList& list) {
  prepare_run(worker, list);
  hash_set(worker);
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
  const auto store = [&worker](FileHasher&, std::uint32_t index, HashStatus status) {
    worker.list->at(index).status = status;
  };
  for (std::uint32_t i = 0; i < worker.set.hasher_count; ++i) {
    hash_entries(worker.set, *worker.set.hashers[i], none, post_progress, store, entry_done);
  }
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
