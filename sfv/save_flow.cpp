#include "sfv/save_flow.h"

#include <shobjidl.h>

#include <algorithm>
#include <cstdint>
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

namespace {

// The caption of the boxes that say why a name was refused, over the Save As dialog.
constexpr wchar_t kCaption[] = L"Tallyrun 1.2";

// Why a name was refused, in the box over the dialog, which then stays open on the name.
constexpr wchar_t kTooLong[] =
    L"This name is too long: the list's full path, with \".sfv\" at its end, must stay "
    L"under 260 characters.\n\nChoose a shorter name, or a folder nearer the top of the "
    L"drive.";
constexpr wchar_t kNoFileSystemPlace[] =
    L"The list can only be saved in a folder on a drive or a share.\n\nChoose such a folder.";
// What every box over a failed write ends with: the dialog stays open on the name.
constexpr wchar_t kResultsKept[] = L"\n\nThe checksums are kept: choose another name or folder.";

// Returns the text that tells why `element`, a part of the chosen path, is no valid name.
std::wstring invalid_name_reason(std::wstring_view element) {
  return L"The list can't be saved under this name: \"" + std::wstring(element) +
         L"\" ends in a dot or a space, or holds one of < > : \" | or a control "
         L"character.\n\nChoose another name or folder.";
}

// Returns the text that tells why the list's file `leaf`, with ".sfv" added where it lacked
// it, cannot be used: the system takes that name for a device (COM1, LPT1, NUL, ...) in any
// folder, and the list would be written to the device.
std::wstring device_name_reason(std::wstring_view leaf) {
  return L"The list can't be saved as \"" + std::wstring(leaf) +
         L"\": Windows takes that name for a device, such as a serial port or a printer, in "
         L"every folder.\n\nChoose another name.";
}

// Returns the system's own text for the error `error`, without its line end; "" when it
// has none.
std::wstring system_text(std::uint32_t error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring result(text, length);
  LocalFree(text);
  while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r')) result.pop_back();
  return result;
}

// Returns why the list could not be written to the file `leaf`, for the error `error` that
// write_sfv_file gave: one text for each cause the user can act on, else the system's own.
std::wstring write_failure_reason(std::wstring_view leaf, std::uint32_t error) {
  const std::wstring name = L"\"" + std::wstring(leaf) + L"\"";
  switch (error) {
    case ERROR_FILE_READ_ONLY:
      return name + L" is read-only, so it was not replaced." + kResultsKept;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return name + L" is open in another program, which does not let it be replaced." +
             kResultsKept;
    case ERROR_ACCESS_DENIED:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return L"The list can't be written as " + name +
             L": access to the file or its folder was denied, or the drive is write-protected." +
             kResultsKept;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return L"The list can't be written as " + name + L": the drive is full." + kResultsKept;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NETNAME_DELETED:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
      return L"The list can't be written as " + name +
             L": its folder no longer exists, or its drive or share can't be reached." +
             kResultsKept;
    case ERROR_ALREADY_EXISTS:
      return name + L" is a folder." + kResultsKept;
    default:
      return L"The list can't be written as " + name + L": " + system_text(error) +
             L" (error " + std::to_wstring(error) + L")." + kResultsKept;
  }
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

// Returns true when a list can be saved in `folder`: a name of one character with ".sfv"
// after a separator still fits the dialog. A folder that fits while no name in it does
// would only ever refuse what the user types.
bool list_fits_in(std::wstring_view folder) { return folder.size() + 6 < MAX_PATH; }

// Returns the path in native form, every '/' turned into '\', in UTF-16.
std::wstring native_wide(const boost::filesystem::path& path) {
  return boost::filesystem::path(path).make_preferred().native();
}

// Returns the folder that the Save As dialog opens in for `folder`: the folder itself when
// a list's path in it fits the dialog (list_fits_in), else its nearest parent where one
// does; "" (the dialog's own choice) when none does. A short (8.3) form is no way out: the
// dialog shows the folder under its long names all the same.
std::wstring dialog_folder(const boost::filesystem::path& folder) {
  for (boost::filesystem::path candidate = folder; !candidate.empty();
       candidate = parent_folder(candidate)) {
    const std::wstring native = native_wide(candidate);
    if (list_fits_in(native)) return native;
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
std::wstring chosen_path(const std::wstring& result, const std::wstring& typed) {
  const std::wstring typed_leaf = leaf(typed);
  const std::wstring added = L"\\" + typed_leaf + L".sfv";
  if (has_sfv_extension(typed_leaf) && result.ends_with(added)) {
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
// The list's file and the outcome, once the list has been written there with the dialog
// still open.
std::wstring written_to;
std::optional<SfvWriteResult> written;
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

// Returns true when the typed `name`, without the quotes that may enclose it, ends in a dot
// or a space. The system drops them from a file's name, and the dialog makes of "out.sfv."
// the name "out.sfv..sfv": the list would not be saved under the name the user sees.
bool ends_in_dot_or_space(std::wstring_view name) {
  if (name.size() >= 2 && name.front() == L'"' && name.back() == L'"') {
    name = name.substr(1, name.size() - 2);
  }
  const std::wstring last = leaf(std::wstring(name));
  return !last.empty() && (last.back() == L'.' || last.back() == L' ') && last != L"." &&
         last != L"..";
}

// Returns why the list cannot be written for the dialog's result `result`, or nothing when
// it can, with `target` then set to the list's file.
std::optional<std::wstring> refusal(const std::wstring& result, IFileDialog* dialog,
                                    std::wstring& target) {
  const std::wstring typed = typed_name(dialog);
  if (ends_in_dot_or_space(typed)) return invalid_name_reason(typed);
  try {
    target = list_target(result, dialog);
  } catch (const std::invalid_argument&) {
    const std::optional<std::wstring_view> invalid =
        first_invalid_element(std::wstring_view(result));
    return invalid_name_reason(invalid ? std::wstring(*invalid) : leaf(result));
  }
  if (!fits_dialog(target)) return kTooLong;
  // The dialog may take the name for a file of its own, but the list goes where the system
  // resolves its name, which path_to_open tells, as it does for every file the program reads.
  if (!path_to_open(make_path(target))) return device_name_reason(leaf(target));
  boost::system::error_code error;
  if (boost::filesystem::is_directory(path_for_wide_calls(make_path(target)), error)) {
    return L"\"" + leaf(target) + L"\" is a folder.\n\nChoose another name.";
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

// Checks the name that the user confirmed in `dialog` and writes the list there, with the
// dialog still open. Returns S_OK and sets written when the list was written; otherwise
// shows why the name was refused or the write failed in a box over the dialog, or asks
// whether to replace an existing file the dialog did not ask about, and returns S_FALSE,
// which keeps the dialog open on the name and the run's results in the FileList.
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
    const int answer = MessageBoxW(window, replace_question(leaf(target)).c_str(), kCaption,
                                   MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    if (answer != IDYES) return S_FALSE;
  }
  if (program_is_ending()) return S_FALSE;
  const SfvWriteResult outcome = write_sfv_file(make_path(target), file_list);
  if (outcome.outcome == SfvWriteResult::Outcome::Failed) {
    refuse(window, write_failure_reason(leaf(target), outcome.error));
    return S_FALSE;
  }
  written_to = target;
  written = outcome;
  return S_OK;
}

// Answers the dialog before it asks whether to replace `item`, its result: a name that
// cannot be used is refused there with the reason, before any question; when the list
// goes to another file (".sfv" appended), `item` is not touched and check_chosen_name asks
// about that file; a file the list has just been written to is not asked about, should the
// dialog ask after OnFileOk; otherwise the dialog asks as usual.
FDE_OVERWRITE_RESPONSE before_replacing(IFileDialog* dialog, IShellItem* item) {
  replace_agreed.clear();
  const std::optional<std::wstring> path = item_path(item);
  if (!path) return FDEOR_DEFAULT;
  if (written && *path == written_to) return FDEOR_ACCEPT;
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

enum class SaveAsEnd { Written, Cancelled, Failed };

// Shows the Save As dialog owned by `window`, opened in `folder` ("" for the dialog's own
// choice), until the list is written under a name that passes check_chosen_name or the
// user backs out. Returns Written with written set, Cancelled (Cancel, Close, the program
// ending) or Failed when the dialog could not be shown. Raises what a check raised while
// it was open.
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
  written.reset();
  written_to.clear();
  replace_agreed.clear();
  const HRESULT shown = dialog->Show(window);
  save_as = nullptr;
  save_as_window = nullptr;
  dialog->Unadvise(cookie);
  if (dialog_error) std::rethrow_exception(std::exchange(dialog_error, nullptr));
  // A list written is reported as such, however the dialog ended after it.
  if (written) return SaveAsEnd::Written;
  if (program_is_ending() || shown == HRESULT_FROM_WIN32(ERROR_CANCELLED) || SUCCEEDED(shown)) {
    return SaveAsEnd::Cancelled;
  }
  return SaveAsEnd::Failed;
}

}  // namespace

std::string write_sfv(HWND owner) {
  if (!any_file_hashed(file_list)) {
    // Nothing could be written, so there is no name to ask for.
    return sfv_write_report({SfvWriteResult::Outcome::NothingToWrite, file_list.count()});
  }
  switch (show_save_as(owner, dialog_folder(parent_folder(file_list.at(0).path)))) {
    case SaveAsEnd::Written:
      return sfv_write_report(*written);
    case SaveAsEnd::Cancelled:
      return "Aborted SFV write";
    case SaveAsEnd::Failed:
      break;
  }
  return sfv_write_report({SfvWriteResult::Outcome::Failed, 0});
}
