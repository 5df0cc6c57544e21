// Runs tallyrun.exe under rules that Windows enforces and Wine lets through: the layer in
// windows_rules.cpp is loaded into the program as it starts and replaces entries of its
// import table. This side loads the layer, and both sides share what the layer counted.
#pragma once

#include <windows.h>

#include <string>

// What the layer refused or changed in one process, kept in a named block of shared memory
// (windows_rules_block_name) that outlives the process while the starter holds it open.
struct WindowsRulesCounts {
  LONG reads_pending;  // overlapped reads that went pending
  LONG reads_cancelled;  // pending reads ended by CancelIoEx or CloseHandle
  LONG unaligned_refused;  // unbuffered reads refused for their alignment
  LONG flags_refused;  // code-page conversions refused for flags or defaults
  LONG long_paths_refused;  // CreateFile refused for a path over MAX_PATH
  LONG files_open;  // files opened by CreateFile for unbuffered reading and not closed yet
  LONG files_open_most;  // the most of them open at once: how many files are hashed at once
  LONG reads_in_call;  // overlapped reads that ended inside ReadFile (TALLYRUN_RULES_IN_CALL*)
  LONG files_pending;  // files, told apart by name, with at least one read that went pending
  LONG seek_questions;  // seek penalty questions put to a volume that the layer opened
  LONG threads_refused;  // CreateThread calls failed by TALLYRUN_RULES_THREADS
};

// Returns the name of the shared block of the process `process_id`.
inline std::wstring windows_rules_block_name(DWORD process_id) {
  return L"Local\\tallyrun-windows-rules-" + std::to_wstring(process_id);
}

// Loads the layer at `dll` into the program `info`, just created with
// DEBUG_ONLY_THIS_PROCESS: stops it by a breakpoint at its entry point, once the loader has
// run and before its own code does, leaves it as debugger, has it call LoadLibraryW on a
// remote thread, and lets it run. Points `counts` at the layer's block, a view that the
// caller unmaps. Returns 0, or the error that stopped it.
inline DWORD load_windows_rules(const PROCESS_INFORMATION& info, const std::wstring& dll,
                                const WindowsRulesCounts*& counts) {
  char* entry = nullptr;
  unsigned char saved = 0;
  const unsigned char breakpoint = 0xCC;
  for (bool stopped = false; !stopped;) {
    DEBUG_EVENT event{};
    if (!WaitForDebugEvent(&event, 20000)) return GetLastError();
    DWORD how = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT: {
        // The entry point from the image's own header, wherever the image was placed.
        auto* base = static_cast<char*>(event.u.CreateProcessInfo.lpBaseOfImage);
        IMAGE_DOS_HEADER dos{};
        IMAGE_NT_HEADERS64 nt{};
        if (!ReadProcessMemory(info.hProcess, base, &dos, sizeof dos, nullptr) ||
            !ReadProcessMemory(info.hProcess, base + dos.e_lfanew, &nt, sizeof nt, nullptr) ||
            !ReadProcessMemory(info.hProcess, base + nt.OptionalHeader.AddressOfEntryPoint,
                               &saved, 1, nullptr) ||
            !WriteProcessMemory(info.hProcess, base + nt.OptionalHeader.AddressOfEntryPoint,
                                &breakpoint, 1, nullptr)) {
          return GetLastError();
        }
        entry = base + nt.OptionalHeader.AddressOfEntryPoint;
        FlushInstructionCache(info.hProcess, entry, 1);
        CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      }
      case LOAD_DLL_DEBUG_EVENT:
        CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        return ERROR_PROCESS_ABORTED;
      case EXCEPTION_DEBUG_EVENT: {
        const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
        if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
          how = DBG_EXCEPTION_NOT_HANDLED;
        } else if (entry != nullptr && record.ExceptionAddress == entry &&
                   event.dwThreadId == info.dwThreadId) {
          // The loader is done; the program's own code has not run. Put the byte back,
          // step back onto it, and hold the thread while the layer loads.
          CONTEXT context{};
          context.ContextFlags = CONTEXT_CONTROL;
          if (!WriteProcessMemory(info.hProcess, entry, &saved, 1, nullptr) ||
              !GetThreadContext(info.hThread, &context)) {
            return GetLastError();
          }
          FlushInstructionCache(info.hProcess, entry, 1);
          context.Rip = reinterpret_cast<DWORD64>(entry);
          if (!SetThreadContext(info.hThread, &context) ||
              SuspendThread(info.hThread) == static_cast<DWORD>(-1)) {
            return GetLastError();
          }
          stopped = true;
        }
        break;
      }
      default:
        break;
    }
    if (!ContinueDebugEvent(event.dwProcessId, event.dwThreadId, how)) return GetLastError();
  }
  DebugSetProcessKillOnExit(FALSE);
  if (!DebugActiveProcessStop(info.dwProcessId)) return GetLastError();

  // kernel32 sits at the same address in every process of the session.
  const auto load_library = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
  const std::size_t name_size = (dll.size() + 1) * sizeof(wchar_t);
  void* name = VirtualAllocEx(info.hProcess, nullptr, name_size, MEM_COMMIT | MEM_RESERVE,
                              PAGE_READWRITE);
  if (name == nullptr) return GetLastError();
  DWORD error = 0;
  HANDLE thread = nullptr;
  if (!WriteProcessMemory(info.hProcess, name, dll.c_str(), name_size, nullptr) ||
      (thread = CreateRemoteThread(info.hProcess, nullptr, 0, load_library, name, 0,
                                   nullptr)) == nullptr) {
    error = GetLastError();
  } else {
    DWORD loaded = 0;  // the module's address, cut to 32 bits: 0 when it failed to load
    if (WaitForSingleObject(thread, 20000) != WAIT_OBJECT_0 ||
        !GetExitCodeThread(thread, &loaded) || loaded == 0) {
      error = ERROR_DLL_INIT_FAILED;
    }
    CloseHandle(thread);
  }
  VirtualFreeEx(info.hProcess, name, 0, MEM_RELEASE);
  if (error != 0) return error;

  // The layer made the block while it loaded; holding it keeps the counts after the exit.
  HANDLE block = OpenFileMappingW(FILE_MAP_READ, FALSE,
                                  windows_rules_block_name(info.dwProcessId).c_str());
  if (block == nullptr) return GetLastError();
  counts = static_cast<const WindowsRulesCounts*>(
      MapViewOfFile(block, FILE_MAP_READ, 0, 0, sizeof(WindowsRulesCounts)));
  CloseHandle(block);  // the view keeps it
  if (counts == nullptr) return GetLastError();
  return ResumeThread(info.hThread) == static_cast<DWORD>(-1) ? GetLastError() : 0;
}
