#include "sfv/save_flow.h"

#include <shobjidl.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <boost/filesystem/operations.hpp>

#include "core/list/file_list.h"
#include "core/names/long_path.h"
#include "core/names/name_check.h"
#include "core/names/open_rules.h"
#include "core/names/path_rules.h"
#include "sfv/sfv_writer.h"
#include "ui/resource.h"

namespace {

// The caption of the boxes that say why a name was refused, over the Save As dialog.
constexpr wchar_t kCaption[] = L"Tallyrun 1.2";

// Why a name was refused, in the box over the dialog, which then stays open on the name.
constexpr wchar_t kNoExactForm[] =
    L"The list can't be saved here: some characters of this name, or of its folder, have no "
    L"exact form in the system's code page.\n\nChoose another name or folder.";
constexpr wchar_t kTooLong[] =
    L"This name is too long: the list's full path, with \".sfv\" at its end, must stay "
    L"under 260 characters.\n\nChoose a shorter name, or a folder nearer the top of the "
    L"drive.";
constexpr wchar_t kNoFileSystemPlace[] =
    L"The list can only be saved in a folder on a drive or a share.\n\nChoose such a folder.";

// Returns the text that tells why `element`, a part of the chosen path, is no valid name.
std::wstring invalid_name_reason(std::wstring_view element) {
  return L"The list can't be saved under this name: \"" + std::wstring(element) +
         L"\" ends in a dot or a space, or holds one of < > : \" | or a control "
         L"character.\n\nChoose another name or folder.";
}

// Returns the question asked before the existing file `leaf` is replaced by the new list.
std::wstring replace_question(std::wstring_view leaf) {
  return L"\"" + std::wstring(leaf) + L"\" already exists.\n\nDo you want to replace it?";
}

// Releases a COM interface when it goes out of scope.
struct Release {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <class Interface>
using ComRef = std::unique_ptr<Interface, Release>;

bool any_file_hashed(const FileList& list) {
  return std::any_of(list.entries.begin(), list.entries.end(), [](const FileEntry& entry) {
    return entry.status == HashStatus::Complete;
  });
}

// The Save As dialog, like the older one, builds the chosen path in buffers of MAX_PATH
// UTF-16 units, and a list whose path is longer could be neither shown nor confirmed in it.
bool fits_dialog(std::wstring_view path) { return path.size() < MAX_PATH; }

// Returns true when `name` ends in ".sfv", comparing the ASCII letters without case.
bool ends_in_sfv(std::wstring_view name) {
  constexpr std::wstring_view kSfv = L".sfv";
  return name.size() >= kSfv.size() &&
         std::equal(kSfv.begin(), kSfv.end(), name.end() - kSfv.size(), [](wchar_t a, wchar_t b) {
           return a == ((b >= L'A' && b <= L'Z') ? b - L'A' + L'a' : b);
         });
}

// Returns the name's last element: what follows its last '\' or '/'.
std::wstring_view leaf_of(std::wstring_view name) {
  const std::size_t separator = name.find_last_of(L"\\/");
  return separator == name.npos ? name : name.substr(separator + 1);
}

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

// Returns the file-system path of `item`, or nothing for a virtual item such as Computer.
std::optional<std::wstring> item_path(IShellItem* item) {
  wchar_t* path = nullptr;
  if (item == nullptr || FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
    return std::nullopt;
  }
  std::wstring text = path;
  CoTaskMemFree(path);
  return text;
}

// Returns the text in the dialog's name field.
std::wstring typed_name(IFileDialog* dialog) {
  wchar_t* name = nullptr;
  if (FAILED(dialog->GetFileName(&name)) || name == nullptr) return L"";
  std::wstring text = name;
  CoTaskMemFree(name);
  return text;
}

// Returns the path of the folder the dialog shows, or "" for a virtual one.
std::wstring shown_folder(IFileDialog* dialog) {
  IShellItem* folder = nullptr;
  if (FAILED(dialog->GetFolder(&folder))) return L"";
  const ComRef<IShellItem> owned(folder);
  return item_path(folder).value_or(L"");
}

// Returns the dialog's own window, the owner of the boxes shown over it.
HWND dialog_window(IFileDialog* dialog) {
  IOleWindow* window = nullptr;
  HWND handle = nullptr;
  if (SUCCEEDED(dialog->QueryInterface(IID_PPV_ARGS(&window)))) {
    window->GetWindow(&handle);
    window->Release();
  }
  return handle;
}

// Returns true when the name in the field, `typed`, with the folder of `folder_length`
// UTF-16 units before it unless it starts from a root of its own, gives a list path that
// fits the dialog. The ".sfv" that the list's name gets counts, since the dialog may add it
// in the same buffer; only a name ending in ".sfv" as the file type writes it needs none.
bool typed_name_fits(std::wstring_view typed, std::size_t folder_length) {
  const bool drive = typed.size() >= 2 && typed[1] == L':';
  const bool rooted = drive || typed.starts_with(L'\\') || typed.starts_with(L'/');
  // A root without a drive is put after the current drive's "C:".
  std::size_t length = drive ? typed.size() : rooted ? 2 + typed.size()
                                                     : folder_length + 1 + typed.size();
  if (!typed.ends_with(L".sfv")) length += 4;
  return length < MAX_PATH;
}

// Returns the path the user chose from the dialog's result: as it stands, except where the
// dialog added the file type's ".sfv" to a typed name that had the extension in other
// letters ("LIST.SFV" made "LIST.SFV.sfv"), which is used as typed.
std::wstring chosen_path(const std::wstring& result, std::wstring_view typed) {
  const std::wstring_view typed_leaf = leaf_of(typed);
  const std::wstring added = L"\\" + std::wstring(typed_leaf) + L".sfv";
  if (!typed_leaf.empty() && ends_in_sfv(typed_leaf) && result.ends_with(added)) {
    return result.substr(0, result.size() - 4);
  }
  return result;
}

// Returns true once the program has been told to end: Close pressed while the dialog was
// open ends the dialog's loop too, which leaves the quit for the main loop. The dialog may
// then return as if a name had been chosen, but the user asked for nothing to be written.
bool program_is_ending() {
  MSG quit;
  return PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
}

// The save in progress: the dialog while it is shown, and what the user chose in it.
IFileDialog* save_as = nullptr;
// The dialog window's own procedure, while refuse_overlong_names stands in front of it.
HWND save_as_window = nullptr;
WNDPROC save_as_procedure = nullptr;
// The existing file the dialog has just asked the user to replace, in its own prompt.
std::wstring replace_agreed;
// The file to write, once the user has chosen it and the checks have passed.
std::optional<std::wstring> chosen_target;
// An error raised while the dialog calls back into the program (an allocation that failed)
// must not unwind through the system's code: it closes the dialog, and write_sfv raises it
// once the dialog has returned.
std::exception_ptr dialog_error;

// Keeps the error being handled for write_sfv and closes the dialog.
void close_on_error() {
  dialog_error = std::current_exception();
  if (save_as != nullptr) save_as->Close(E_ABORT);
}

// Shows why the name was refused, in a box owned by the dialog, which stays open.
void refuse(HWND dialog, const std::wstring& reason) {
  MessageBoxW(dialog, reason.c_str(), kCaption, MB_OK | MB_ICONWARNING);
}

// Stands in front of the dialog's procedure: Save with a name too long for the dialog's
// buffers is refused with the reason before the dialog overflows them (Wine's dialog
// crashes on it). Every other message, and Save with any name that fits, pass unchanged.
LRESULT CALLBACK refuse_overlong_names(HWND dialog, UINT message, WPARAM wparam,
                                       LPARAM lparam) {
  if (message == WM_COMMAND && LOWORD(wparam) == IDOK && save_as != nullptr) {
    try {
      if (!typed_name_fits(typed_name(save_as), shown_folder(save_as).size())) {
        refuse(dialog, kTooLong);
        return 0;
      }
    } catch (...) {
      close_on_error();
      return 0;
    }
  }
  return CallWindowProcW(save_as_procedure, dialog, message, wparam, lparam);
}

// Puts refuse_overlong_names in front of the dialog's window once it exists; the dialog
// tells of its first file type and folder as it opens.
void guard_dialog_window(IFileDialog* dialog) {
  const HWND window = dialog_window(dialog);
  if (window == nullptr || window == save_as_window) return;
  save_as_window = window;
  save_as_procedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(refuse_overlong_names)));
}

// Returns the file that the list goes to for the dialog's result `result`: the chosen
// path with ".sfv" appended where it lacks the extension. Raises the name-check error of
// make_path when the path is no valid name.
std::wstring list_target(const std::wstring& result, IFileDialog* dialog) {
  return sfv_output_name(chosen_path(result, typed_name(dialog)));
}

// Returns why the list cannot be written for the dialog's result `result`, or nothing when
// it can, with `target` then set to the list's file.
std::optional<std::wstring> refusal(const std::wstring& result, IFileDialog* dialog,
                                    std::wstring& target) {
  // The file is written, and listed in the window, under its 8-bit name; a path without an
  // exact one would reach another file or folder.
  if (!exact_8bit(result)) return kNoExactForm;
  try {
    target = list_target(result, dialog);
  } catch (const std::invalid_argument&) {
    return invalid_name_reason(first_invalid_element(std::wstring_view(result))
                                   .value_or(leaf_of(result)));
  }
  if (!fits_dialog(target)) return kTooLong;
  boost::system::error_code error;
  if (boost::filesystem::is_directory(path_for_wide_calls(make_path(target)), error)) {
    return L"\"" + std::wstring(leaf_of(target)) + L"\" is a folder.\n\nChoose another name.";
  }
  return std::nullopt;
}

// Returns the dialog's result as a file-system path; nothing when it has none.
std::optional<std::wstring> dialog_result(IFileDialog* dialog) {
  IShellItem* item = nullptr;
  if (FAILED(dialog->GetResult(&item))) return std::nullopt;
  const ComRef<IShellItem> owned(item);
  return item_path(item);
}

// Checks the name that the user confirmed in `dialog`, with the dialog still open. Returns
// S_OK and sets chosen_target when the list may be written there; otherwise shows why in a
// box over the dialog, or asks whether to replace an existing file the dialog did not ask
// about, and returns S_FALSE, which keeps the dialog open on the name.
HRESULT check_chosen_name(IFileDialog* dialog) {
  const HWND window = dialog_window(dialog);
  const std::wstring agreed = std::exchange(replace_agreed, L"");
  const std::optional<std::wstring> result = dialog_result(dialog);
  std::wstring target;
  const std::optional<std::wstring> reason =
      result ? refusal(*result, dialog, target) : std::optional<std::wstring>(kNoFileSystemPlace);
  if (reason) {
    refuse(window, *reason);
    return S_FALSE;
  }
  // The dialog asks before replacing its result, which is not the list's file when ".sfv"
  // was appended to it: that file is asked about here.
  boost::system::error_code error;
  if (boost::filesystem::exists(path_for_wide_calls(make_path(target)), error) &&
      !(target == *result && agreed == *result)) {
    const int answer = MessageBoxW(window, replace_question(leaf_of(target)).c_str(), kCaption,
                                   MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    if (answer != IDYES) return S_FALSE;
  }
  if (program_is_ending()) return S_FALSE;
  chosen_target = target;
  return S_OK;
}

// Answers the dialog before it asks whether to replace `item`, its result: a name that
// cannot be used is refused there with the reason, before any question; when the list
// goes to another file (".sfv" appended), `item` is not touched and check_chosen_name asks
// about that file; otherwise the dialog asks as usual.
FDE_OVERWRITE_RESPONSE before_replacing(IFileDialog* dialog, IShellItem* item) {
  replace_agreed.clear();
  const std::optional<std::wstring> path = item_path(item);
  if (!path) return FDEOR_DEFAULT;
  std::wstring target;
  if (const std::optional<std::wstring> reason = refusal(*path, dialog, target)) {
    refuse(dialog_window(dialog), *reason);
    return FDEOR_REFUSE;
  }
  if (target != *path) return FDEOR_ACCEPT;
  replace_agreed = *path;
  return FDEOR_DEFAULT;
}

// The dialog's events: guards its window as it opens, lets it ask before replacing only the
// file the list goes to, and checks the name when the user confirms one. A static object
// with no count of its own, since it lives as long as the process.
struct SaveAsEvents final : IFileDialogEvents {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
    if (id == __uuidof(IUnknown) || id == __uuidof(IFileDialogEvents)) {
      *object = static_cast<IFileDialogEvents*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE OnFileOk(IFileDialog* dialog) override {
    try {
      return check_chosen_name(dialog);
    } catch (...) {
      close_on_error();
      return S_FALSE;
    }
  }
  HRESULT STDMETHODCALLTYPE OnFolderChanging(IFileDialog*, IShellItem*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnFolderChange(IFileDialog* dialog) override {
    guard_dialog_window(dialog);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnSelectionChange(IFileDialog*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShareViolation(IFileDialog*, IShellItem*,
                                             FDE_SHAREVIOLATION_RESPONSE* response) override {
    *response = FDESVR_DEFAULT;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnTypeChange(IFileDialog* dialog) override {
    guard_dialog_window(dialog);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnOverwrite(IFileDialog* dialog, IShellItem* item,
                                        FDE_OVERWRITE_RESPONSE* response) override {
    try {
      *response = before_replacing(dialog, item);
    } catch (...) {
      close_on_error();
      *response = FDEOR_REFUSE;
    }
    return S_OK;
  }
};
SaveAsEvents save_as_events;

enum class SaveAsEnd { Chosen, Cancelled, Failed };

// Shows the Save As dialog owned by `window`, opened in `folder` ("" for the dialog's own
// choice), until the user chooses a file that passes check_chosen_name or backs out.
// Returns Chosen with chosen_target set, Cancelled (Cancel, Close, the program ending) or
// Failed when the dialog could not be shown. Raises what a check raised while it was open.
SaveAsEnd show_save_as(HWND window, const std::wstring& folder) {
  IFileSaveDialog* created = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileSaveDialog, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&created)))) {
    return SaveAsEnd::Failed;
  }
  const ComRef<IFileSaveDialog> dialog(created);
  static const COMDLG_FILTERSPEC kType = {L"Simple File Verification file", L"*.sfv"};
  FILEOPENDIALOGOPTIONS options = 0;
  // FOS_NOCHANGEDIR: the dialog would leave the process in the folder it showed last, which
  // could then be neither removed nor ejected while the program runs.
  if (FAILED(dialog->GetOptions(&options)) ||
      FAILED(dialog->SetOptions(options | FOS_OVERWRITEPROMPT | FOS_NOCHANGEDIR |
                                FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST)) ||
      FAILED(dialog->SetFileTypes(1, &kType))) {
    return SaveAsEnd::Failed;
  }
  // SetFolder, not SetDefaultFolder: Windows otherwise opens the folder the user last saved
  // in, where a list of bare names could never check.
  IShellItem* start = nullptr;
  if (!folder.empty() &&
      SUCCEEDED(SHCreateItemFromParsingName(folder.c_str(), nullptr, IID_PPV_ARGS(&start)))) {
    dialog->SetFolder(start);
    start->Release();
  }
  DWORD cookie = 0;
  if (FAILED(dialog->Advise(&save_as_events, &cookie))) return SaveAsEnd::Failed;
  save_as = dialog.get();
  chosen_target.reset();
  replace_agreed.clear();
  const HRESULT shown = dialog->Show(window);
  save_as = nullptr;
  save_as_window = nullptr;
  dialog->Unadvise(cookie);
  if (dialog_error) std::rethrow_exception(std::exchange(dialog_error, nullptr));
  if (program_is_ending() || shown == HRESULT_FROM_WIN32(ERROR_CANCELLED)) {
    return SaveAsEnd::Cancelled;
  }
  if (FAILED(shown)) return SaveAsEnd::Failed;
  return chosen_target ? SaveAsEnd::Chosen : SaveAsEnd::Cancelled;
}

void show_outcome(HWND window, const std::string& text) {
  SetDlgItemTextA(window, IDC_CURRENT_FILE, text.c_str());
}

}  // namespace

void write_sfv(HWND window) {
  if (!any_file_hashed(file_list)) {
    // Nothing could be written, so there is no name to ask for.
    show_outcome(window,
                 sfv_write_report({SfvWriteResult::Outcome::NothingToWrite, file_list.count()}));
    return;
  }
  switch (show_save_as(window, dialog_folder(parent_folder(file_list.at(0).path)))) {
    case SaveAsEnd::Cancelled:
      show_outcome(window, "Aborted SFV write");
      return;
    case SaveAsEnd::Failed:
      show_outcome(window, sfv_write_report({SfvWriteResult::Outcome::Failed, 0}));
      return;
    case SaveAsEnd::Chosen:
      show_outcome(window, sfv_write_report(write_sfv_file(make_path(*chosen_target), file_list)));
      return;
  }
}
