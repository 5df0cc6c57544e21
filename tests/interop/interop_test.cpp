// The Windows half of the SFV exchange with the Linux tools; check_with_linux_tools.sh
// makes the data files and the tools' SFV files, runs this program on their folder (named
// by TALLYRUN_INTEROP_DIR) and afterwards has the tools check from-tallyrun.sfv.
#include <windows.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/list/file_list.h"
#include "core/reading/hash_worker.h"
#include "core/names/path_rules.h"
#include "sfv/sfv_reader.h"
#include "sfv/sfv_writer.h"
#include "tests/support/print.h"
#include "tests/support/temp_folder.h"
#include "worker/worker.h"

namespace {

// The files the script creates, in the order it lists them to the tools. Four of them are
// named in scripts that Windows-1252 lacks, so the tools' lists hold UTF-8 names that its
// reading does not give, and the list written here is in UTF-8.
const std::vector<std::wstring> kDataFiles = {
    L"empty.bin",     L"name with spaces.txt", L"random.bin", L"notes.txt",
    L"\u2605 star.bin", L"\u0416\u0443\u043A.bin",  L"\u6708.bin", L"\u03B5\u03BB.txt"};

// Hashes `list` on this thread as the worker thread would, then discards the progress
// messages it posted here.
void hash_on_this_thread(FileList& list) {
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // gives the thread its message queue
  hash_worker.report_thread_id = GetCurrentThreadId();
  prepare_run(hash_worker, list);
  hash_set(hash_worker);
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
}

std::vector<std::wstring> leaves(const FileList& list) {
  std::vector<std::wstring> names;
  for (const FileEntry& entry : list.entries) names.push_back(leaf(entry.path.native()));
  return names;
}

// One line per entry: path, status, expected and computed CRC, for failure messages.
std::string describe(const FileList& list) {
  std::ostringstream text;
  text << std::hex;
  for (const FileEntry& entry : list.entries) {
    text << "\n  " << native_string(entry.path) << " status " << static_cast<int>(entry.status)
         << " expected ";
    if (entry.expected) {
      text << *entry.expected;
    } else {
      text << "none";
    }
    text << " computed " << entry.computed;
  }
  return text.str();
}

class InteropFolder : public testing::Test {
 protected:
  void SetUp() override {
    const char* folder = std::getenv("TALLYRUN_INTEROP_DIR");
    ASSERT_NE(folder, nullptr)
        << "TALLYRUN_INTEROP_DIR is not set; run this through tests/interop/check_with_linux_tools.sh";
    folder_ = folder;
  }

  boost::filesystem::path file(const std::wstring& name) const {
    return make_path(widen(folder_) + L"\\" + name);
  }

  std::string folder_;
};

class LinuxToolSfv : public InteropFolder, public testing::WithParamInterface<const char*> {};

TEST_P(LinuxToolSfv, LoadsEveryLineAndEveryFileMatches) {
  file_list.replace_with(load_sfv(file(widen(GetParam()))));
  hash_on_this_thread(file_list);
  EXPECT_TRUE(leaves(file_list) == kDataFiles) << "the data lines of " << GetParam();
  EXPECT_TRUE(file_list.all_files_match()) << GetParam() << ":" << describe(file_list);
}

INSTANTIATE_TEST_SUITE_P(Tools, LinuxToolSfv,
                         testing::Values("from-cksfv.sfv", "from-rhash.sfv"));

TEST_F(InteropFolder, WritesTheSfvFileForTheToolsToCheck) {
  FileList list;
  for (const std::wstring& name : kDataFiles) {
    FileEntry entry;
    entry.path = file(name);
    list.append(entry);
  }
  hash_on_this_thread(list);
  for (const FileEntry& entry : list.entries) {
    EXPECT_EQ(entry.status, HashStatus::Complete) << native_string(entry.path);
  }

  const SfvWriteResult result = write_sfv_file(file(L"from-tallyrun.sfv"), list);
  EXPECT_EQ(result.outcome, SfvWriteResult::Outcome::Written) << sfv_write_report(result);
  EXPECT_EQ(result.left_out, 0u) << describe(list);
}

}  // namespace
