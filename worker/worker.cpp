#include "worker/worker.h"

PostThreadMessageFunction post_thread_message = PostThreadMessageA;

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

}  // namespace

void post_progress(HashWorker& worker, std::uint32_t index, std::uint32_t file_progress) {
  const ProgressReport report{index, progress_lparam(index, worker.list->count(), file_progress)};
  worker.progress.store(pack_progress(report));
  // The window has not yet taken the last report; it will find this newer one when it does.
  if (worker.progress_posted.exchange(true)) return;
  // The flag is stored before the post and cleared by the window before it takes the
  // progress, so a report published after the window looked always finds the flag clear.
  if (!post_thread_message(worker.report_thread_id, WM_HASH_PROGRESS, report.index,
                           report.lparam)) {
    worker.progress_posted.store(false);  // the next report tries again; WM_HASH_DONE ends it
  }
}

std::optional<ProgressReport> take_progress(HashWorker& worker) {
  worker.progress_posted.store(false);
  const std::uint64_t word = worker.progress.load();
  if (word == HashWorker::kNoProgress) return std::nullopt;
  return unpack_progress(word);
}

void hash_all(HashWorker& worker, FileList& list) {
  worker.list = &list;  // post_progress takes the count from it
  for (std::uint32_t i = 0; i < list.count(); ++i) {
    FileEntry& entry = list.at(i);
    worker.index = i;
    worker.crc.reset();
    const HashStatus status = hash_file(worker, entry.path, post_progress);
    entry.status = status;
    // A file that was not read completely keeps its old `computed`: a CRC of part of a
    // file is no checksum of it.
    if (status == HashStatus::Complete) entry.computed = worker.crc.checksum();
    post_progress(worker, i, kFileFinished);
  }
}

DWORD WINAPI worker_main(LPVOID parameter) {
  HashWorker& worker = *static_cast<HashWorker*>(parameter);
  hash_all(worker, *worker.list);
  const std::uint32_t report_thread_id = worker.report_thread_id;
  // The mark is cleared before the last message, not after it: the window starts the
  // next run as soon as it has handled WM_HASH_DONE, and must not find this one still
  // marked. Nobody waits for the thread, so its handle is released here.
  CloseHandle(worker.worker_thread.exchange(nullptr));
  post_done(report_thread_id);
  return 0;
}

void end_run_unhashed(HashWorker& worker) {
  for (std::uint32_t i = 0; i < worker.list->count(); ++i) {
    worker.list->at(i).status = HashStatus::NotOpened;
    post_progress(worker, i, kFileFinished);
  }
  post_done(worker.report_thread_id);
}

void start_worker(std::uint32_t report_thread_id) {
  HashWorker& worker = hash_worker;
  if (worker.worker_thread.load() != nullptr) return;
  worker.list = &file_list;
  worker.report_thread_id = report_thread_id;
  worker.progress.store(HashWorker::kNoProgress);
  worker.progress_posted.store(false);
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
