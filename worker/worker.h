// The background run: the worker thread and its hashers hash every entry of the FileList,
// several files at once, and report to the user-interface thread in list order with
// WM_HASH_PROGRESS and WM_HASH_DONE.
#pragma once

#include <cstdint>
#include <optional>

#include <windows.h>

#include "core/list/file_list.h"
#include "core/reading/hash_worker.h"
#include "core/reading/volumes.h"
#include "worker/progress_message.h"

// Starts a run over the global FileList that reports to the thread `report_thread_id`,
// unless a run is in progress, in which case nothing changes. The run is readied here
// (prepare_run), so the progress of the last run is gone before this returns. When no thread
// can be created, the run ends at once as if no file could be opened (see end_run_unhashed).
// Raises nothing.
void start_worker(std::uint32_t report_thread_id);

// The worker thread's entry: runs the hashers of the run that start_worker readied
// (hash_set), releases the thread's handle, clears the run's mark and posts WM_HASH_DONE,
// again and again while the post fails and the receiving thread lives, so that the window
// never waits for ever. `parameter` is the HashWorker. Returns 0.
DWORD WINAPI worker_main(LPVOID parameter);

// Readies `worker` for a run over `list` (worker.list becomes `list`) and forgets the last
// run, so that its progress is gone. Called while no run is in progress. Raises nothing.
void prepare_run(HashWorker& worker, FileList& list);

// Hashes every entry of the run that prepare_run readied, on the calling thread (the worker)
// and the hashers' threads. First it asks each distinct volume of the list whether it seeks
// (seek_penalty_of, once a volume), then runs as many hashers as hashers_for gives for this
// machine's cores and those answers, fewer where the memory for another one or its thread
// cannot be had: only hashers whose threads exist take part, hashers[0] on the calling
// thread. Each entry gets its status and, for a complete read, its computed CRC; every read
// and every entry tells the window through post_progress and notify_window. Returns once
// every hasher's thread has ended.
void hash_set(HashWorker& worker);

// The hashers' progress sink: publishes that `hasher` has read entry `index` of
// hash_worker.list up to `file_progress` (its low 16 bits count), then notify_window.
void post_progress(FileHasher& hasher, std::uint32_t index, std::uint32_t file_progress);

// Posts a WM_HASH_PROGRESS with the run's progress in list order (see take_progress) to
// worker.report_thread_id unless one is still on its way, or the run has nothing to show
// yet: the receiver takes the newest progress with take_progress, so a message that was
// not posted loses nothing.
void notify_window(HashWorker& worker);

// Returns the progress of the current or last run in list order, as set_position gives
// it: every entry before its index finished, the entry at its index read so far (its file
// progress 0xFFFF once read whole); nothing while the run has no entry finished or read.
// Lets the hashers post their next WM_HASH_PROGRESS. Called by the thread that receives the
// run's messages, for each WM_HASH_PROGRESS and at WM_HASH_DONE.
std::optional<ProgressReport> take_progress(HashWorker& worker);

// Posts the worker's thread messages: PostThreadMessageA, unless a test puts a stand-in
// here that fails as a full queue would. Set only while no run is in progress.
using PostThreadMessageFunction = BOOL(WINAPI*)(DWORD thread, UINT message, WPARAM wparam,
                                                LPARAM lparam);
extern PostThreadMessageFunction post_thread_message;

// Answers whether the volume of a file seeks, for hash_set: volume_seek_penalty, unless a
// test puts another answer here. Set only while no run is in progress.
using SeekPenaltyQuery = SeekAnswer (*)(const boost::filesystem::path& path);
extern SeekPenaltyQuery seek_penalty_of;

// Ends a run whose thread could not be created: stores NotOpened for every entry of
// worker.list, posts each entry's closing message and then WM_HASH_DONE, so the window
// reports every file as failed instead of waiting forever for a run that never began.
// The run must have been readied by prepare_run.
void end_run_unhashed(HashWorker& worker);
