// tallyrun.exe's entry.
#include <windows.h>

#include "core/hash_worker.h"
#include "ui/run_program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line,
                   int show_command) {
  const int exit_code = run_program(instance, previous_instance, command_line, show_command);
  // A run still going when the window closed is not waited for. Ending the process here
  // stops the worker before any static object it may still use is destroyed; the system
  // reclaims the rest, and the program has no file left open for writing.
  if (hash_worker.worker_thread.load() != nullptr) ExitProcess(static_cast<UINT>(exit_code));
  return exit_code;
}
