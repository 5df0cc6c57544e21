#include "worker/worker.h"

void post_progress(HashWorker& worker, std::uint32_t index, std::uint32_t file_progress) {
  const std::uint32_t lparam = progress_lparam(index, worker.list->count(), file_progress);
  PostThreadMessageA(worker.report_thread_id, WM_HASH_PROGRESS, index, lparam);
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
  PostThreadMessageA(report_thread_id, WM_HASH_DONE, 0, 0);
  return 0;
}

void end_run_unhashed(HashWorker& worker) {
  for (std::uint32_t i = 0; i < worker.list->count(); ++i) {
    worker.list->at(i).status = HashStatus::NotOpened;
    post_progress(worker, i, kFileFinished);
  }
  PostThreadMessageA(worker.report_thread_id, WM_HASH_DONE, 0, 0);
}

void start_worker(std::uint32_t report_thread_id) {
  HashWorker& worker = hash_worker;
  if (worker.worker_thread.load() != nullptr) return;
  worker.list = &file_list;
  worker.report_thread_id = report_thread_id;
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
