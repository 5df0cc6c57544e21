#include "sfv/save_flow.h"

#include <commdlg.h>

#include <algorithm>
#include <cstring>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "core/file_list.h"
#include "core/long_path.h"
#include "core/path_rules.h"
#include "sfv/sfv_writer.h"
#include "ui/resource.h"

namespace {

bool any_file_hashed(const FileList& list) {
  return std::any_of(list.entries.begin(), list.entries.end(), [](const FileEntry& entry) {
    return entry.status == HashStatus::Complete;
  });
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

  const std::string initial_folder = native_string(parent_folder(file_list.at(0).path));
  char name[MAX_PATH] = {};
  static const char filter[] = "Simple File Verification file\0*.sfv\0";
  OPENFILENAMEA request = {};
  // The record without the fields Windows 2000 added, at this platform's size of it.
  request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  request.hwndOwner = window;
  request.lpstrFilter = filter;
  request.lpstrFile = name;
  request.nMaxFile = sizeof name;
  request.lpstrInitialDir = initial_folder.c_str();
  request.Flags = OFN_OVERWRITEPROMPT | OFN_ENABLESIZING;

  std::string target;
  for (;;) {
    if (!GetSaveFileNameA(&request)) {
      SetDlgItemTextA(window, IDC_CURRENT_FILE, "Aborted SFV write");
      return;
    }
    target = sfv_output_name(name);
    // The dialog asked before replacing the name as typed, not the one with ".sfv"
    // appended. When that one exists, show it in the dialog so the user is asked about it.
    if (target == name) break;
    boost::system::error_code error;
    if (!boost::filesystem::exists(path_for_wide_calls(make_path(target)), error)) break;
    if (target.size() >= sizeof name) {  // too long to show, so it cannot be confirmed
      SetDlgItemTextA(window, IDC_CURRENT_FILE,
                      sfv_write_report({SfvWriteResult::Outcome::Failed, 0}).c_str());
      return;
    }
    std::memcpy(name, target.c_str(), target.size() + 1);
  }

  const SfvWriteResult result = write_sfv_file(make_path(target), file_list);
  SetDlgItemTextA(window, IDC_CURRENT_FILE, sfv_write_report(result).c_str());
}
