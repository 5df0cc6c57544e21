// A stand-in for PostThreadMessageA that fails as a full queue does on Windows, where a
// thread keeps at most 10,000 posted messages. Wine has no such limit, so a test puts this
// in post_thread_message to see what the program does when its posts are refused.
#pragma once

#include <windows.h>

#include <atomic>

// Refuses three posts in four and posts the fourth; a refusal fails with
// ERROR_NOT_ENOUGH_QUOTA, as a full queue does, or now and then with ERROR_ACCESS_DENIED, a
// refusal of another kind that passes too. Returns what PostThreadMessageA returns, or FALSE
// for a refused post.
inline BOOL WINAPI post_to_full_queue(DWORD thread, UINT message, WPARAM wparam, LPARAM lparam) {
  static std::atomic<unsigned> calls = 0;
  const unsigned call = ++calls;
  if (call % 4 != 0) {
    SetLastError(call % 7 == 0 ? ERROR_ACCESS_DENIED : ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return PostThreadMessageA(thread, message, wparam, lparam);
}

// Says every post went through and posts nothing, as if a modal loop of the receiving
// thread had taken the worker's thread messages out of its queue and dropped them, as the
// list view's right-button tracking does. Returns TRUE.
inline BOOL WINAPI post_lost_in_modal_loop(DWORD, UINT, WPARAM, LPARAM) { return TRUE; }
