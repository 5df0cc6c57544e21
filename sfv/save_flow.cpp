#include "sfv/save_flow.h"

#include <commdlg.h>
#include <dlgs.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "core/file_list.h"
#include "core/long_path.h"
#include "core/open_rules.h"
#include "core/path_rules.h"
#include "sfv/sfv_writer.h"
#include "ui/resource.h"

namespace {

// The longest name the wide file calls take, terminator included: far more than any name
// the dialog hands over, so no name it builds can overflow the buffer.
constexpr std::size_t kNameBufferSize = 32768;

bool any_file_hashed(const FileList& list) {
  return std::any_of(list.entries.begin(), list.entries.end(), [](const FileEntry& entry) {
    return entry.status == HashStatus::Complete;
  });
}

// The dialog joins its folder and the typed name into buffers of MAX_PATH characters, and
// shows the folder's path in one: a longer one overflows them (Wine's dialog crashes on it).
bool fits_dialog(std::string_view path) { return path.size() < MAX_PATH; }

// Returns the folder that the Save As dialog opens in for `folder`: the folder itself when
// the dialog can take its full path, else its nearest parent that it can take; "" (the
// dialog's own choice) when none fits. A short (8.3) form is no way out: the dialog shows
// the folder under its long names all the same.
std::string dialog_folder(const boost::filesystem::path& folder) {
  for (boost::filesystem::path candidate = folder; !candidate.empty();
       candidate = parent_folder(candidate)) {
    const std::string native = native_string(candidate);
    if (fits_dialog(native)) return native;
    if (candidate == parent_folder(candidate)) break;  // a root is its own parent
  }
  return "";
}

// Returns true when the name typed into the dialog, joined with the dialog's folder
// unless it carries a root of its own, is a path the dialog can take.
bool typed_name_fits(std::string_view folder, std::string_view typed) {
  const bool rooted = typed.starts_with('\\') || typed.starts_with('/') ||
                      (typed.size() >= 2 && typed[1] == ':');
  return fits_dialog(typed) && (rooted || folder.size() + 1 + typed.size() < MAX_PATH);
}

// Returns true when the text of the dialog's name field has an exact 8-bit form. For any
// other, the 8-bit dialog would hand over a look-alike (U+FF41, the full-width a, as 'a'):
// the name of another file, replaced after a question about this one.
bool typed_name_is_exact(HWND dialog) {
  HWND field = GetDlgItem(dialog, cmb13);  // the name field is one of these two
  if (field == nullptr || !IsWindowVisible(field)) field = GetDlgItem(dialog, edt1);
  if (field == nullptr) return true;
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      GetWindowTextW(field, text.data(), static_cast<int>(text.size()))));
  return exact_8bit(text).has_value();
}

// The Save As dialog's own window procedure, while refuse_unusable_names stands in front.
WNDPROC save_as_procedure = nullptr;
// True when the dialog was closed because the typed name could not be used.
bool name_refused = false;

// Stands in front of the Save As dialog's procedure: Save with a name too long for the
// dialog's own buffers, or with no exact 8-bit form, closes the dialog as refused instead
// of letting it overflow its buffers or hand over another file's name.
LRESULT CALLBACK refuse_unusable_names(HWND dialog, UINT message, WPARAM wparam,
                                       LPARAM lparam) {
  if (message == WM_COMMAND && LOWORD(wparam) == IDOK) {
    std::vector<char> typed(kNameBufferSize, '\0');
    char folder[MAX_PATH] = {};
    CallWindowProcA(save_as_procedure, dialog, CDM_GETSPEC, typed.size(),
                    reinterpret_cast<LPARAM>(typed.data()));
    CallWindowProcA(save_as_procedure, dialog, CDM_GETFOLDERPATH, sizeof folder,
                    reinterpret_cast<LPARAM>(folder));
    if (!typed_name_fits(folder, typed.data()) || !typed_name_is_exact(dialog)) {
      name_refused = true;
      PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
      return 0;
    }
  }
  return CallWindowProcA(save_as_procedure, dialog, message, wparam, lparam);
}

// The dialog's hook: puts refuse_unusable_names in front of the dialog, the hook's parent.
UINT_PTR CALLBACK save_as_hook(HWND hook_dialog, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    save_as_procedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        GetParent(hook_dialog), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(refuse_unusable_names)));
  }
  return 0;
}

// Returns true once the program has been told to end: Close pressed while the dialog was
// open ends the dialog's loop too, which leaves the quit for the main loop. The dialog may
// then return as if a name had been chosen, but the user asked for nothing to be written.
bool program_is_ending() {
  MSG quit;
  return PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
}

}  // namespace

void write_sfv(HWND window) {
  if (!any_file_hashed(file_list)) {
    // Nothing could be written, so there is no name to ask for.
    SetDlgItemTextA(window, IDC_CURRENT_FILE,
                    sfv_write_report({SfvWriteResult::Outcome::NothingToWrite, file_list.count()})
                        .c_str());
    return;
  }

  const std::string initial_folder = dialog_folder(parent_folder(file_list.at(0).path));
  std::vector<char> name(kNameBufferSize, '\0');
  static const char filter[] = "Simple File Verification file\0*.sfv\0";
  OPENFILENAMEA request = {};
  // The record without the fields Windows 2000 added, at this platform's size of it.
  request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  request.hwndOwner = window;
  request.lpstrFilter = filter;
  request.lpstrFile = name.data();
  request.nMaxFile = static_cast<DWORD>(name.size());
  request.lpstrInitialDir = initial_folder.empty() ? nullptr : initial_folder.c_str();
  request.Flags = OFN_OVERWRITEPROMPT | OFN_ENABLESIZING | OFN_EXPLORER | OFN_ENABLEHOOK;
  request.lpfnHook = save_as_hook;

  std::string target;
  for (;;) {
    name_refused = false;
    const bool chosen_name = GetSaveFileNameA(&request) != 0;
    if (name_refused) {
      SetDlgItemTextA(window, IDC_CURRENT_FILE,
                      sfv_write_report({SfvWriteResult::Outcome::Failed, 0}).c_str());
      return;
    }
    if (!chosen_name || program_is_ending() || name[0] == '\0') {
      SetDlgItemTextA(window, IDC_CURRENT_FILE, "Aborted SFV write");
      return;
    }
    const std::string chosen = name.data();
    target = sfv_output_name(chosen);
    // The dialog asked before replacing the name as typed, not the one with ".sfv"
    // appended. When that one exists, show it in the dialog so the user is asked about it.
    if (target == chosen) break;
    boost::system::error_code error;
    if (!boost::filesystem::exists(path_for_wide_calls(make_path(target)), error)) break;
    if (!fits_dialog(target)) {  // too long to show, so it cannot be confirmed
      SetDlgItemTextA(window, IDC_CURRENT_FILE,
                      sfv_write_report({SfvWriteResult::Outcome::Failed, 0}).c_str());
      return;
    }
    std::memcpy(name.data(), target.c_str(), target.size() + 1);
  }

  const SfvWriteResult result = write_sfv_file(make_path(target), file_list);
  SetDlgItemTextA(window, IDC_CURRENT_FILE, sfv_write_report(result).c_str());
}
