// A stand-in for PostThreadMessageA that fails as a full queue does on Windows, where a
// thread keeps at most 10,000 posted messages. Wine has no such limit, so a test puts this
// in post_thread_message to see what the program does when its posts are refused.
#pragma once

#include <windows.h>

#include <atomic>

// Refuses three posts in four with ERROR_NOT_ENOUGH_QUOTA and posts the fourth. Returns
// what PostThreadMessageA returns, or FALSE for a refused post.
inline BOOL WINAPI post_to_full_queue(DWORD thread, UINT message, WPARAM wparam, LPARAM lparam) {
  static std::atomic<unsigned> calls = 0;
  if (++calls % 4 != 0) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return PostThreadMessageA(thread, message, wparam, lparam);
}
