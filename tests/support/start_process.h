// Starting a program from another one under Wine, shared by the tests that drive the real
// tallyrun.exe and by the end-to-end benchmark.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Calls `create`, a CreateProcess call that fills `info`, after `before_each_try`, and
// returns 0 when it succeeds, else the last error. Wine now and then fails a start with
// ERROR_INTERNAL_ERROR while other programs start and end around it; a second try a moment
// later succeeds, so up to three tries are made.
inline DWORD start_process_with(const std::function<BOOL()>& create, PROCESS_INFORMATION& info,
                                const std::function<void()>& before_each_try) {
  DWORD error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    before_each_try();
    if (create()) return 0;
    error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR) break;
    Sleep(500);
  }
  info = PROCESS_INFORMATION{};
  return error;
}

// Starts `exe` with `command_line` through CreateProcessA and fills `info`; calls
// `before_each_try` just before every attempt. Returns 0 on success, else the last error.
inline DWORD start_process(const std::string& exe, std::string command_line,
                           PROCESS_INFORMATION& info,
                           const std::function<void()>& before_each_try = [] {}) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  return start_process_with(
      [&] {
        return CreateProcessA(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                              nullptr, nullptr, &startup, &info);
      },
      info, before_each_try);
}

// The same through CreateProcessW, for a command line that holds characters which the
// 8-bit code page lacks.
inline DWORD start_process(const std::wstring& exe, std::wstring command_line,
                           PROCESS_INFORMATION& info,
                           const std::function<void()>& before_each_try = [] {}) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  return start_process_with(
      [&] {
        return CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                              nullptr, nullptr, &startup, &info);
      },
      info, before_each_try);
}
