// The background run: one worker thread hashes every entry of the FileList in order and
// reports to the user-interface thread with WM_HASH_PROGRESS and WM_HASH_DONE.
#pragma once

#include <cstdint>

#include <windows.h>

#include "core/file_list.h"
#include "core/hash_worker.h"
#include "worker/progress_message.h"

// Starts a run over the global FileList that reports to the thread `report_thread_id`,
// unless a run is in progress, in which case nothing changes. When no thread can be
// created, the run ends at once as if no file could be opened (see end_run_unhashed).
// Raises nothing.
void start_worker(std::uint32_t report_thread_id);

// The worker thread's entry: hashes worker->list, releases the thread's handle, clears the
// run's mark and posts WM_HASH_DONE. `parameter` is the HashWorker. Returns 0.
DWORD WINAPI worker_main(LPVOID parameter);

// Hashes every entry of `list` in order, storing each status and, for a complete read,
// the computed CRC; posts progress after every read and a closing message per entry to
// worker.report_thread_id. Sets worker.list to `list`.
void hash_all(HashWorker& worker, FileList& list);

// Posts one WM_HASH_PROGRESS for entry `index` of worker.list to worker.report_thread_id.
// Only the low 16 bits of `file_progress` count. An undeliverable message is lost.
void post_progress(HashWorker& worker, std::uint32_t index, std::uint32_t file_progress);

// Ends a run whose thread could not be created: stores NotOpened for every entry of
// worker.list, posts each entry's closing message and then WM_HASH_DONE, so the window
// reports every file as failed instead of waiting forever for a run that never began.
void end_run_unhashed(HashWorker& worker);
