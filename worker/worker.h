// The background run: one worker thread hashes every entry of the FileList in order and
// reports to the user-interface thread with WM_HASH_PROGRESS and WM_HASH_DONE.
#pragma once

#include <cstdint>
#include <optional>

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
// run's mark and posts WM_HASH_DONE, again and again while the post fails and the receiving
// thread lives, so that the window never waits for ever. `parameter` is the HashWorker.
// Returns 0.
DWORD WINAPI worker_main(LPVOID parameter);

// Hashes every entry of `list` in order, storing each status and, for a complete read,
// the computed CRC; posts progress after every read and a closing message per entry to
// worker.report_thread_id. Sets worker.list to `list`.
void hash_all(HashWorker& worker, FileList& list);

// Publishes the progress of entry `index` of worker.list at `file_progress` (its low 16 bits
// count) in worker.progress, and posts a WM_HASH_PROGRESS that says so to
// worker.report_thread_id unless one is still on its way: the receiver takes the newest
// progress with take_progress, so a message that was not posted loses nothing.
void post_progress(HashWorker& worker, std::uint32_t index, std::uint32_t file_progress);

// Returns the newest progress of the current or last run, or nothing when it has reported
// none yet, and lets the worker post its next WM_HASH_PROGRESS. Called by the thread that
// receives the run's messages, for each WM_HASH_PROGRESS and at WM_HASH_DONE.
std::optional<ProgressReport> take_progress(HashWorker& worker);

// Posts the worker's thread messages: PostThreadMessageA, unless a test puts a stand-in
// here that fails as a full queue would. Set only while no run is in progress.
using PostThreadMessageFunction = BOOL(WINAPI*)(DWORD thread, UINT message, WPARAM wparam,
                                                LPARAM lparam);
extern PostThreadMessageFunction post_thread_message;

// Ends a run whose thread could not be created: stores NotOpened for every entry of
// worker.list, posts each entry's closing message and then WM_HASH_DONE, so the window
// reports every file as failed instead of waiting forever for a run that never began.
void end_run_unhashed(HashWorker& worker);
