#include "sfv/sfv_writer.h"

#include <windows.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "core/names/path_rules.h"
#include "sfv/sfv_reader.h"
#include "tests/support/temp_folder.h"

void PrintTo(SfvWriteResult::Outcome outcome, std::ostream* out) {
  const char* names[] = {"Written", "NothingToWrite", "Failed"};
  *out << names[static_cast<int>(outcome)];
}

namespace {

TEST(HasSfvExtension, FoldsOnlyAsciiLettersOfTheLastExtension) {
  const struct {
    const char* path;
    bool sfv;
  } cases[] = {
      {"C:/a/list.sfv", true},   {"C:/a/LIST.SFV", true},   {"list.SfV", true},
      {".sfv", true},            {"a.b.sfv", true},         {"list", false},
      {"list.sfv.txt", false},   {"list.sfvx", false},      {"list.sf", false},
      {"x.sfv/list", false},     {"list.\x9A" "fv", false},  // s with caron is no s
      {"list.\x8A" "FV", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(has_sfv_extension(make_path(c.path)), c.sfv) << c.path;
  }
}

TEST(SfvOutputName, AppendsTheExtensionUnlessPresent) {
  const struct {
    const char* chosen;
    const char* written;
  } cases[] = {
      {"C:\\out\\list", "C:\\out\\list.sfv"},
      {"C:\\out\\LIST.SFV", "C:\\out\\LIST.SFV"},
      {"C:\\out\\list.txt", "C:\\out\\list.txt.sfv"},
      {"C:\\out\\list.sfv.txt", "C:\\out\\list.sfv.txt.sfv"},
  };
  for (const auto& c : cases) EXPECT_EQ(sfv_output_name(c.chosen), c.written) << c.chosen;
  EXPECT_THROW(sfv_output_name("C:\\out\\list."), std::invalid_argument);
}

TEST(SfvDataLine, IsLeafSpaceAndEightLowercaseDigits) {
  EXPECT_EQ(sfv_data_line("a b.txt", 0x0000ABCD), "a b.txt 0000abcd\n");
  EXPECT_EQ(sfv_data_line("z", 0), "z 00000000\n");
  EXPECT_EQ(sfv_data_line("z", 0xFFFFFFFF), "z ffffffff\n");
  EXPECT_EQ(sfv_data_line("z", 0x00ABCDEF), "z 00abcdef\n");
  EXPECT_EQ(sfv_data_line(";x.bin", 1), "./;x.bin 00000001\n");  // not a comment
  EXPECT_EQ(sfv_data_line("x;", 1), "x; 00000001\n");
}

TEST(SfvWriteReport, CountsTheFilesLeftOut) {
  using Outcome = SfvWriteResult::Outcome;
  EXPECT_EQ(sfv_write_report({Outcome::Written, 0}), "SFV file written");
  EXPECT_EQ(sfv_write_report({Outcome::Written, 1}),
            "SFV file written (1 file could not be read and was left out)");
  EXPECT_EQ(sfv_write_report({Outcome::Written, 2}),
            "SFV file written (2 files could not be read and were left out)");
  EXPECT_EQ(sfv_write_report({Outcome::NothingToWrite, 3}),
            "No SFV file written: none of the files could be read");
  EXPECT_EQ(sfv_write_report({Outcome::Failed, 0}), "Couldn't write SFV file");
}

class WriteSfvFile : public testing::Test {
 protected:
  void list(const std::string& path, HashStatus status, std::uint32_t computed) {
    FileEntry entry;
    entry.path = make_path(path);
    entry.status = status;
    entry.computed = computed;
    files.append(entry);
  }
  SfvWriteResult write(const std::string& target) { return write_sfv_file(make_path(target), files); }

  TempFolder folder;
  FileList files;
};

TEST_F(WriteSfvFile, WritesHeaderAndOneCrLfLinePerReadableFile) {
  const std::string other = folder.make_folder("other");
  list(folder.file("a b.txt"), HashStatus::Complete, 0x0000ABCD);
  list(folder.file("gone.bin"), HashStatus::NotOpened, 0);
  list(other + "\\a b.txt", HashStatus::Complete, 0xFFFFFFFF);  // same leaf, other folder
  list(folder.file("cut.bin"), HashStatus::Incomplete, 0x1234);
  list(folder.file("zero.bin"), HashStatus::Complete, 0);

  const SfvWriteResult result = write(folder.file("list.sfv"));

  EXPECT_EQ(result.outcome, SfvWriteResult::Outcome::Written);
  EXPECT_EQ(result.left_out, 2u);
  EXPECT_EQ(read_file(folder.file("list.sfv")),
            "; Created by Tallyrun 1.2\r\n"
            "a b.txt 0000abcd\r\n"
            "a b.txt ffffffff\r\n"
            "zero.bin 00000000\r\n");
  EXPECT_EQ(folder_listing(folder.path()), "list.sfv|other") << "no temporary file left";
}

TEST_F(WriteSfvFile, ReadsBackToTheSameNamesAndCrcs) {
  list(folder.file("a b.txt"), HashStatus::Complete, 0x0000ABCD);
  list(folder.file("\xE9t\xE9.bin"), HashStatus::Complete, 0x89ABCDEF);
  list(folder.file(";x.bin"), HashStatus::Complete, 0x01234567);
  ASSERT_EQ(write(folder.file("list.sfv")).outcome, SfvWriteResult::Outcome::Written);

  const std::vector<FileEntry> read = load_sfv(make_path(folder.file("list.sfv")));
  ASSERT_EQ(read.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(generic_string(read[i].path), generic_string(files.at(i).path)) << i;
    EXPECT_EQ(read[i].expected, files.at(i).computed) << i;
  }
}

TEST_F(WriteSfvFile, ReplacesAnExistingFileCompletely) {
  folder.write("list.sfv", std::string(4096, 'x'));
  list(folder.file("a"), HashStatus::Complete, 1);
  EXPECT_EQ(write(folder.file("list.sfv")).outcome, SfvWriteResult::Outcome::Written);
  EXPECT_EQ(read_file(folder.file("list.sfv")), "; Created by Tallyrun 1.2\r\na 00000001\r\n");
}

TEST_F(WriteSfvFile, WritesAndReplacesAtALongPath) {
  // The target and the temporary file beside it are both too long for the 8-bit calls.
  const std::string long_folder = folder.make_long_folder(290);
  const std::string target = long_folder + "\\list.sfv";
  list(folder.file("a b.txt"), HashStatus::Complete, 0x0000ABCD);
  for (const char* existing : {"", "an older, longer list\r\n"}) {
    if (*existing != '\0') write_file(target, existing);
    const SfvWriteResult result = write(target);
    EXPECT_EQ(result.outcome, SfvWriteResult::Outcome::Written) << "over [" << existing << "]";
    EXPECT_EQ(read_file(target), "; Created by Tallyrun 1.2\r\na b.txt 0000abcd\r\n")
        << "over [" << existing << "]";
    EXPECT_EQ(folder_listing(long_folder), "list.sfv") << "no temporary file left";
  }
}

TEST_F(WriteSfvFile, NoReadableFileWritesNothing) {
  folder.write("list.sfv", "old");
  list(folder.file("a"), HashStatus::NotOpened, 0);
  list(folder.file("b"), HashStatus::Incomplete, 0);
  const SfvWriteResult result = write(folder.file("list.sfv"));
  EXPECT_EQ(result.outcome, SfvWriteResult::Outcome::NothingToWrite);
  EXPECT_EQ(result.left_out, 2u);
  EXPECT_EQ(read_file(folder.file("list.sfv")), "old");
}

// The error tells the user what to do about it, so each cause must come back as itself.
TEST_F(WriteSfvFile, AFailedWriteLeavesTheFolderAsItWasAndSaysWhy) {
  list(folder.file("a"), HashStatus::Complete, 1);
  folder.make_folder("taken.sfv");
  folder.write("locked.sfv", "old");
  folder.write("held.sfv", "old");
  ASSERT_TRUE(SetFileAttributesA(folder.file("locked.sfv").c_str(), FILE_ATTRIBUTE_READONLY));
  // Held as a program holds a file that it shares with nobody.
  const HANDLE holder = CreateFileA(folder.file("held.sfv").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << GetLastError();
  const std::string listing = folder_listing(folder.path());

  const struct {
    std::string target;
    std::uint32_t error;
  } cases[] = {{folder.file("missing\\list.sfv"), ERROR_PATH_NOT_FOUND},
               {folder.file("taken.sfv"), ERROR_ALREADY_EXISTS},
               {folder.file("locked.sfv"), ERROR_FILE_READ_ONLY},
               {folder.file("held.sfv"), ERROR_SHARING_VIOLATION}};
  for (const auto& c : cases) {
    const SfvWriteResult result = write(c.target);
    EXPECT_EQ(result.outcome, SfvWriteResult::Outcome::Failed) << c.target;
    EXPECT_EQ(result.error, c.error) << c.target;
    EXPECT_EQ(folder_listing(folder.path()), listing) << c.target;
  }
  CloseHandle(holder);
  EXPECT_EQ(read_file(folder.file("locked.sfv")), "old");
  EXPECT_EQ(read_file(folder.file("held.sfv")), "old");
  SetFileAttributesA(folder.file("locked.sfv").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
