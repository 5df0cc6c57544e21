// Starting a program from another one under Wine, shared by the tests that drive the real
// tallyrun.exe and by the end-to-end benchmark.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>

// Starts `exe` with `command_line` through `create` (CreateProcessA or CreateProcessW, with
// the STARTUPINFO of the same kind) and fills `info`; calls `before_each_try` just before
// every attempt. Returns 0 on success, else the last error. Wine now and then fails a start
// with ERROR_INTERNAL_ERROR while other programs start and end around it; a second try a
// moment later succeeds, so up to three tries are made.
template <class StartupInfo, class Char, class Create>
DWORD start_process_with(Create create, const std::basic_string<Char>& exe,
                         std::basic_string<Char> command_line, PROCESS_INFORMATION& info,
                         const std::function<void()>& before_each_try) {
  StartupInfo startup{};
  startup.cb = sizeof startup;
  DWORD error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    before_each_try();
    if (create(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
               &startup, &info)) {
      return 0;
    }
    error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR) break;
    Sleep(500);
  }
  info = PROCESS_INFORMATION{};
  return error;
}

// Starts `exe` with `command_line` through CreateProcessA; see start_process_with.
inline DWORD start_process(const std::string& exe, std::string command_line,
                           PROCESS_INFORMATION& info,
                           const std::function<void()>& before_each_try = [] {}) {
  return start_process_with<STARTUPINFOA>(CreateProcessA, exe, std::move(command_line), info,
                                          before_each_try);
}

// The same through CreateProcessW, for a command line that holds characters which the
// 8-bit code page lacks.
inline DWORD start_process(const std::wstring& exe, std::wstring command_line,
                           PROCESS_INFORMATION& info,
                           const std::function<void()>& before_each_try = [] {}) {
  return start_process_with<STARTUPINFOW>(CreateProcessW, exe, std::move(command_line), info,
                                          before_each_try);
}
