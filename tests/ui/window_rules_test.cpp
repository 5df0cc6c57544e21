#include "ui/window_rules.h"

#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/names/path_rules.h"
#include "tests/support/entries.h"
#include "tests/support/temp_folder.h"
#include "ui/run_program.h"

namespace {

TEST(CommandLine, WholeTextIsOnePathWithOuterQuotesRemoved) {
  struct Case {
    const char* command_line;
    const char* path;
  } cases[] = {
      {R"("C:\my files\list.sfv")", R"(C:\my files\list.sfv)"},
      {R"(C:\my files\list.sfv)", R"(C:\my files\list.sfv)"},
      {R"("C:\list.sfv)", R"(C:\list.sfv)"},
      {R"(C:\list.sfv")", R"(C:\list.sfv)"},
      {R"(")", ""},
      {R"("")", ""},
      // A second argument is no argument: it is part of the one path.
      {R"("a.sfv" "b.sfv")", R"(a.sfv" "b.sfv)"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(command_line_path(c.command_line), c.path) << "command line: " << c.command_line;
}

// The system's own command line, in UTF-16, holds the program's name first.
TEST(CommandLine, ArgumentsFollowTheProgramNameAsTheRuntimeFindsThem) {
  const struct {
    const wchar_t* command_line;
    const wchar_t* arguments;
  } cases[] = {
      {LR"("C:\my apps\tallyrun.exe" "C:\a b.sfv")", LR"("C:\a b.sfv")"},
      {L"tallyrun.exe\t list.sfv ", L"list.sfv "},
      {LR"("C:\my apps\tallyrun.exe")", L""},
      {LR"("C:\my apps\t"x.exe y)", L"y"},  // the quotes end inside the name
      // Characters beyond ASCII are no blanks, in the name or in the arguments.
      {L"C:\\caf\u00E9\\tallyrun.exe \uFF41.sfv", L"\uFF41.sfv"},
      {L"", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::wstring(program_arguments(c.command_line)), c.arguments)
        << "command line: " << boost::filesystem::path(c.command_line).string();
  }
}

// The list named on the command line is opened by its full path, so that its entries are
// absolute; a device is never opened, and counts as a path that does not exist.
TEST(CommandLine, NamesAFileByItsFullPathAndNeverADevice) {
  TempFolder folder;
  const CurrentFolder inside(folder.path());
  const struct {
    const char* command_line;
    std::string file;  // generic; "" for none
  } cases[] = {
      {"", ""},
      {"\"", ""},
      {"\"sub\\..\\list.sfv\"", generic_string(make_path(folder.path())) + "/list.sfv"},
      {"COM1.sfv", ""},
  };
  for (const auto& c : cases) {
    const std::optional<boost::filesystem::path> file = command_line_file(c.command_line);
    EXPECT_EQ(file ? generic_string(*file) : "", c.file) << "command line: " << c.command_line;
  }
}

TEST(RowImage, FollowsTheRunAndJudgesFinishedRows) {
  const FileEntry matching = entry(HashStatus::Complete, 0xCBF43926, 0xCBF43926);
  const FileEntry differing = entry(HashStatus::Complete, 0xCBF43926, 0x12345678);
  // A missing file listed as 00000000: its computed CRC is still the initial 0.
  const FileEntry missing = entry(HashStatus::NotOpened, 0, 0);
  const FileEntry cut_short = entry(HashStatus::Incomplete, 0, 0);
  const FileEntry dropped_read = entry(HashStatus::Complete, std::nullopt, 0x12345678);
  const FileEntry dropped_folder = entry(HashStatus::NotOpened, std::nullopt, 0);
  const std::optional<ProgressReport> none;
  struct Case {
    const char* what;
    const FileEntry& entry;
    std::uint32_t row, current, file_progress;
    bool create_mode;
    RowImage image;
  } cases[] = {
      {"row being read", matching, 3, 3, 0x8000, false, ImageWorking},
      {"row being read, creating", dropped_read, 3, 3, 0, true, ImageWorking},
      {"current row finished", matching, 3, 3, 0xFFFF, false, ImageOk},
      {"earlier row", matching, 1, 3, 0x8000, false, ImageOk},
      {"later row, not reached", matching, 4, 3, 0xFFFF, false, ImagePending},
      {"differing CRC", differing, 1, 3, 0, false, ImageFailed},
      {"missing file listed as 0", missing, 1, 3, 0, false, ImageFailed},
      {"file cut short", cut_short, 3, 3, 0xFFFF, false, ImageFailed},
      {"creating, read", dropped_read, 0, 1, 0, true, ImageOk},
      {"creating, unreadable", dropped_folder, 0, 1, 0, true, ImageFailed},
      {"creating ignores CRCs", differing, 0, 0, 0xFFFF, true, ImageOk},
  };
  for (const Case& c : cases) {
    const ProgressReport shown{c.current, c.file_progress << 16};
    EXPECT_EQ(row_image(c.entry, c.row, shown, c.create_mode), c.image) << c.what;
  }
  // Before the run's first report every row waits, the first one included.
  EXPECT_EQ(row_image(matching, 0, none, false), ImagePending);
}

TEST(ErrorBox, ShowsTheErrorsTextAndNamesFailedAllocationsPlainly) {
  EXPECT_EQ(error_box_text(std::runtime_error("Couldn't open sfv file")), "Couldn't open sfv file");
  EXPECT_EQ(error_box_text(std::bad_alloc()), "bad allocation");
  EXPECT_EQ(error_box_text(std::bad_array_new_length()), "bad allocation");
}

TEST(PathExists, OnlyNamesThatLeadNowhereAreMissing) {
  TempFolder folder;
  folder.write("list.sfv", "");
  folder.make_folder("x.sfv");
  struct Case {
    std::string path;
    bool exists;
  } cases[] = {
      {folder.file("list.sfv"), true},
      {folder.file("x.sfv"), true},
      {folder.file("LIST.SFV"), true},
      {folder.file("other.sfv"), false},
      {folder.file("no folder\\list.sfv"), false},
      {"", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(path_exists(make_path(c.path)), c.exists) << "path: " << c.path;
}

}  // namespace
