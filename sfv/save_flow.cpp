#include "sfv/save_flow.h"

#include <commdlg.h>
#include <dlgs.h>

#include <algorithm>
#include <optional>
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

// The dialog joins its folder and the typed name into buffers of MAX_PATH UTF-16 units, and
// shows the folder's path in one: a longer one overflows them (Wine's dialog crashes on it).
bool fits_dialog(std::wstring_view path) { return path.size() < MAX_PATH; }

// Returns the path in native form, every '/' turned into '\', in UTF-16.
std::wstring native_wide(const boost::filesystem::path& path) {
  return boost::filesystem::path(path).make_preferred().native();
}

// Returns the folder that the Save As dialog opens in for `folder`: the folder itself when
// the dialog can take its full path and a file saved there has an exact 8-bit name, else
// its nearest parent that passes both; "" (the dialog's own choice) when none does. A short
// (8.3) form is no way out: the dialog shows the folder under its long names all the same.
std::wstring dialog_folder(const boost::filesystem::path& folder) {
  for (boost::filesystem::path candidate = folder; !candidate.empty();
       candidate = parent_folder(candidate)) {
    const std::wstring native = native_wide(candidate);
    if (fits_dialog(native) && exact_8bit(native)) return native;
    if (candidate == parent_folder(candidate)) break;  // a root is its own parent
  }
  return L"";
}

// Returns true when the typed name, `typed_length` UTF-16 units long and starting with
// `typed`, joined with the dialog's folder of `folder_length` units unless it carries a
// root of its own, is a path the dialog can take.
bool typed_name_fits(std::wstring_view typed, std::size_t typed_length,
                     std::size_t folder_length) {
  const bool rooted = typed.starts_with(L'\\') || typed.starts_with(L'/') ||
                      (typed.size() >= 2 && typed[1] == L':');
  return typed_length < MAX_PATH && (rooted || folder_length + 1 + typed_length < MAX_PATH);
}

// Asks the dialog's own procedure for a text with the CDM_ message `message`. Returns its
// length in UTF-16 units, terminator excluded, and puts as much of it as fits the buffer
// into `text`; returns nothing when the dialog has none to give (CDM_GETFOLDERPATH fails
// for a virtual folder such as Computer). The dialog answers with the size it needs, even
// when that exceeds the buffer and it copied nothing or left the copy unterminated.
std::optional<std::size_t> dialog_text(WNDPROC procedure, HWND dialog, UINT message,
                                       std::wstring& text) {
  std::vector<wchar_t> buffer(kNameBufferSize, L'\0');
  const LRESULT size = CallWindowProcW(procedure, dialog, message, buffer.size() - 1,
                                       reinterpret_cast<LPARAM>(buffer.data()));
  if (size <= 0) return std::nullopt;
  text = buffer.data();  // the buffer's last unit stays 0
  return static_cast<std::size_t>(size) - 1;
}

// The Save As dialog's own window procedure, while refuse_overlong_names stands in front.
WNDPROC save_as_procedure = nullptr;
// True when the dialog was closed because the typed name was too long for it.
bool name_refused = false;

// Stands in front of the Save As dialog's procedure: Save with a name too long for the
// dialog's own buffers closes the dialog as refused instead of letting it overflow them.
// The name's other checks are made on what the dialog returns, since Enter in the name
// field or a double-click in the file list may confirm a name without passing here.
LRESULT CALLBACK refuse_overlong_names(HWND dialog, UINT message, WPARAM wparam,
                                       LPARAM lparam) {
  if (message == WM_COMMAND && LOWORD(wparam) == IDOK) {
    std::wstring typed, folder;
    const std::optional<std::size_t> typed_length =
        dialog_text(save_as_procedure, dialog, CDM_GETSPEC, typed);
    // A folder without a path (a virtual one) has nothing to join to the typed name.
    const std::size_t folder_length =
        dialog_text(save_as_procedure, dialog, CDM_GETFOLDERPATH, folder).value_or(0);
    if (typed_length && !typed_name_fits(typed, *typed_length, folder_length)) {
      name_refused = true;
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
      return 0;
    }
  }
  return CallWindowProcW(save_as_procedure, dialog, message, wparam, lparam);
}

// The dialog's hook: puts refuse_overlong_names in front of the dialog, the hook's parent,
// through the wide call, which keeps the dialog a Unicode window.
UINT_PTR CALLBACK save_as_hook(HWND hook_dialog, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    save_as_procedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        GetParent(hook_dialog), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(refuse_overlong_names)));
  }
  return 0;
}

// Returns true once the program has been told to end: Close pressed while the dialog was
// open ends the dialog's loop too, which leaves the quit for the main loop. The dialog may
// then return as if a name had been chosen, but the user asked for nothing to be written.
bool program_is_ending() {
  MSG quit;
  return PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
}

void show_outcome(HWND window, const std::string& text) {
  SetDlgItemTextA(window, IDC_CURRENT_FILE, text.c_str());
}

void show_failure(HWND window) {
  show_outcome(window, sfv_write_report({SfvWriteResult::Outcome::Failed, 0}));
}

}  // namespace

void write_sfv(HWND window) {
  if (!any_file_hashed(file_list)) {
    // Nothing could be written, so there is no name to ask for.
    show_outcome(window,
                 sfv_write_report({SfvWriteResult::Outcome::NothingToWrite, file_list.count()}));
    return;
  }

  const std::wstring initial_folder = dialog_folder(parent_folder(file_list.at(0).path));
  std::vector<wchar_t> name(kNameBufferSize, L'\0');
  static const wchar_t filter[] = L"Simple File Verification file\0*.sfv\0";
  // The wide dialog, so that the chosen name comes back as the system holds it: the 8-bit
  // one hands over a look-alike (U+FF41, the full-width a, as 'a') for any character the
  // code page lacks, naming a file or folder that the user never chose.
  OPENFILENAMEW request = {};
  // The record without the fields Windows 2000 added, at this platform's size of it.
  request.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
  request.hwndOwner = window;
  request.lpstrFilter = filter;
  request.lpstrFile = name.data();
  request.nMaxFile = static_cast<DWORD>(name.size());
  request.lpstrInitialDir = initial_folder.empty() ? nullptr : initial_folder.c_str();
  // OFN_NOCHANGEDIR: the dialog would leave the process in the folder it showed last,
  // which could then be neither removed nor ejected while the program runs.
  request.Flags = OFN_OVERWRITEPROMPT | OFN_ENABLESIZING | OFN_EXPLORER | OFN_ENABLEHOOK |
                  OFN_NOCHANGEDIR;
  request.lpfnHook = save_as_hook;

  boost::filesystem::path target;
  for (;;) {
    name_refused = false;
    const bool chosen_name = GetSaveFileNameW(&request) != 0;
    if (name_refused) {
      show_failure(window);
      return;
    }
    if (!chosen_name || program_is_ending() || name[0] == L'\0') {
      show_outcome(window, "Aborted SFV write");
      return;
    }
    name.back() = L'\0';
    const std::wstring chosen = name.data();
    const std::wstring target_name = sfv_output_name(chosen);
    // The file is written, and listed in the window, under its 8-bit name; a path without
    // an exact one would reach another file or folder.
    if (!exact_8bit(chosen)) {
      show_failure(window);
      return;
    }
    target = make_path(target_name);
    // The dialog asked before replacing the name as typed, not the one with ".sfv"
    // appended. When that one exists, show it in the dialog so the user is asked about it.
    if (target_name == chosen) break;
    boost::system::error_code error;
    if (!boost::filesystem::exists(path_for_wide_calls(target), error)) break;
    if (!fits_dialog(target_name)) {  // too long to show, so it cannot be confirmed
      show_failure(window);
      return;
    }
    std::copy(target_name.begin(), target_name.end(), name.begin());
    name[target_name.size()] = L'\0';
  }

  show_outcome(window, sfv_write_report(write_sfv_file(target, file_list)));
}
