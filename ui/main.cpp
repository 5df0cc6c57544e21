// tallyrun.exe's entry.
#include <windows.h>

#include <string>

#include "core/names/code_page.h"
#include "core/reading/hash_worker.h"
#include "ui/run_program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR, int show_command) {
  // First of all: Boost.Filesystem's own conversion of paths passes flags that Windows
  // refuses under the UTF-8 code page, so every path would fail to convert there.
  use_code_page_for_paths();
  // Not the runtime's 8-bit command line: it may name a look-alike of the file meant.
  std::wstring command_line = command_line_from_system();
  const int exit_code =
      run_program(instance, previous_instance, command_line.data(), show_command);
  // A run still going when the window closed is not waited for. Ending the process here
  // stops the worker before any static object it may still use is destroyed; the system
  // reclaims the rest, and the program has no file left open for writing.
  if (hash_worker.worker_thread.load() != nullptr) ExitProcess(static_cast<UINT>(exit_code));
  return exit_code;
}
