#include "sfv/sfv_reader.h"

#include <windows.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "core/reading/hash_worker.h"
#include "core/names/path_rules.h"
#include "tests/support/print.h"
#include "tests/support/temp_folder.h"

namespace {

std::string generic(std::string text) {
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return text;
}

// "name=crc" per entry, crc in hex or "none", for whole-list comparisons.
std::string describe(const std::vector<FileEntry>& entries) {
  std::string text;
  for (const FileEntry& e : entries) {
    char crc[16] = "none";
    if (e.expected) snprintf(crc, sizeof crc, "%08x", *e.expected);
    text += leaf(e.path) + "=" + crc + "\n";
  }
  return text;
}

std::string load_error(const std::string& sfv) {
  try {
    load_sfv(make_path(sfv));
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no error)";
}

void no_progress(FileHasher&, std::uint32_t, std::uint32_t) {}

// What the worker does for each entry, so a loaded list can be judged as a run would.
void hash_entries(std::vector<FileEntry>& entries) {
  static FileHasher worker;
  for (FileEntry& e : entries) {
    worker.crc.reset();
    e.status = hash_file(worker, e.path, no_progress);
    if (e.status == HashStatus::Complete) e.computed = worker.crc.checksum();
  }
}

class LoadSfv : public testing::Test {
 protected:
  std::vector<FileEntry> load_text(std::string_view bytes) {
    return load_sfv(make_path(folder.write("list.sfv", bytes)));
  }
  TempFolder folder;
};

TEST_F(LoadSfv, LineEndsDoNotChangeTheEntries) {
  const std::string expected = "a.bin=0000abcd\nb c.bin=12345678\n";
  const char* variants[] = {
      "a.bin 0000abcd\r\nb c.bin 12345678\r\n",
      "a.bin 0000abcd\nb c.bin 12345678\n",
      "a.bin 0000abcd\nb c.bin 12345678",
      "a.bin 0000abcd\r\nb c.bin 12345678",
      "\r\n\r\na.bin 0000abcd\r\n\r\nb c.bin 12345678\r\n\r\n",
  };
  for (const char* text : variants) {
    EXPECT_EQ(expected, describe(load_text(text))) << testing::PrintToString(std::string(text));
  }
}

TEST_F(LoadSfv, EachLineFollowsTheFormatRules) {
  const std::string text =
      "; Created by some tool\r\n"
      ";a.bin 00000001\r\n"
      " ;b.bin 00000002\r\n"        // not a comment: the name starts with the blank
      "c.bin\t00000003\r\n"         // a tab does not separate: ignored
      " d.bin\r\n"                  // only space at position 0: ignored
      "e.bin 0000000e tail\r\n"     // last space wins: name "e.bin 0000000e"
      "f.bin 0000000f\r00\r\n"      // lone CR ends the digits harmlessly
      "g.bin xyz\r\n"               // invalid field, entry made all the same
      "g.bin xyz\r\n"               // and twice gives two entries
      "h.bin 123456789\r\n"
      "i.bin 1\x1A" "j.bin 2\r\n";  // 0x1A ends the text
  EXPECT_EQ(
      " ;b.bin=00000002\n"
      "e.bin 0000000e=none\n"
      "f.bin=0000000f\n"
      "g.bin=none\n"
      "g.bin=none\n"
      "h.bin=none\n"
      "i.bin=00000001\n",
      describe(load_text(text)));
}

// Lists from other tools. Behind a mark, names are UTF-8 or UTF-16 (either way round; U+041A,
// 1A 04 in little endian, holds the byte that ends a text, U+0A0D the bytes of CR LF), and
// the mark may share a comment's line. Without one, a name reads in 1252 first, in UTF-8
// only where 1252 names no file and UTF-8 does: Ж, not é read as two characters, both there.
TEST_F(LoadSfv, NamesReadAsTheListsMarkSaysOrInUtf8WhereOnlyThatNamesAFile) {
  ASSERT_EQ(1252u, GetACP()) << "the names are read in Windows-1252";
  for (const wchar_t* name : {L"\u0416.bin", L"\u00C3\u00A9.bin", L"\u00E9.bin"}) {
    write_file(widen(folder.path()) + L"\\" + name, "");
  }
  const std::wstring text = L"; c\r\n\u041A\u0A0D.bin 1\r\n\U0001F600 x.bin 2\x1A" L"y.bin 3";
  const auto utf16 = [&text](bool little) {
    std::string bytes = little ? "\xFF\xFE" : "\xFE\xFF";
    for (const wchar_t c : text) bytes += {char(little ? c : c >> 8), char(little ? c >> 8 : c)};
    return bytes + "b";  // an odd last byte is no character
  };
  const std::wstring read = L"\u041A\u0A0D.bin=1 \U0001F600 x.bin=2 ";
  const std::pair<std::string, std::wstring> cases[] = {
      {"\xEF\xBB\xBF; c\r\n\xD0\x96.bin 1\n", L"\u0416.bin=1 "},
      {utf16(true), read},
      {utf16(false), read},
      {"\xD0\x96.bin 0\n\xC3\xA9.bin 0\n\xD1\x84.bin 0\n\xE9.bin 0\n",
       L"\u0416.bin=0 \u00C3\u00A9.bin=0 \u00D1\u201E.bin=0 \u00E9.bin=0 "},
  };
  for (const auto& [bytes, expected] : cases) {
    std::wstring entries;
    for (const FileEntry& e : load_text(bytes)) {
      entries += leaf(e.path.native()) + L"=" + std::to_wstring(e.expected.value_or(9)) + L" ";
    }
    EXPECT_TRUE(expected == entries) << testing::PrintToString(bytes) << ": got "
                                     << boost::filesystem::path(entries).string();
  }
  EXPECT_EQ("boost::filesystem::path: invalid name \"?.bin\" in path: \"?.bin\"",
            load_error(folder.write("bad.sfv", "\xEF\xBB\xBF\xC3.bin 1\r\n")));
}

TEST_F(LoadSfv, NothingListedGivesAnEmptyList) {
  for (const char* text : {"", "\r\n\n", "; only\r\n;comments\r\n", "\x1A" "a.bin 1\r\n"}) {
    EXPECT_TRUE(load_text(text).empty()) << testing::PrintToString(std::string(text));
  }
}

TEST_F(LoadSfv, NamesResolveInTheSfvFilesFolder) {
  const std::vector<FileEntry> entries =
      load_text("sub/file.bin 1\r\nsub\\file.bin 2\r\n./x.bin 3\r\n../up.bin 4\r\n");
  ASSERT_EQ(4u, entries.size());
  // The stored string itself: generic_string would hide a '\\' between joined elements.
  const std::string base = generic(folder.path());
  EXPECT_EQ(base + "/sub/file.bin", entries[0].path.string());
  EXPECT_EQ(base + "/sub/file.bin", entries[1].path.string());
  EXPECT_EQ(base + "/x.bin", entries[2].path.string());
  EXPECT_EQ(base + "/../up.bin", entries[3].path.string());
  // What the user sees is the native form.
  EXPECT_EQ(folder.path() + "\\sub\\file.bin", native_string(entries[0].path));
}

TEST(JoinListedName, AppendsElementsToTheFolder) {
  struct Case {
    const char* folder;
    const char* name;
    const char* joined;
  } cases[] = {
      {"C:/set", "sub\\file.bin", "C:/set/sub/file.bin"},
      {"C:/set", "sub/./file.bin", "C:/set/sub/file.bin"},
      {"C:/set", "../file.bin", "C:/set/../file.bin"},
      {"C:/set", "sub//file.bin", "C:/set/sub/file.bin"},
      {"C:/", "file.bin", "C:/file.bin"},
      {"//server/share", "file.bin", "//server/share/file.bin"},
      {"", "file.bin", "file.bin"},
      {"", "sub\\file.bin", "sub/file.bin"},
      {"C:/set", "a b.txt", "C:/set/a b.txt"},
      {"C:/set", "sub/", "C:/set/sub"},
      {"C:/set", ".", "C:/set"},
      {"C:", "file.bin", "C:file.bin"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.joined, join_listed_name(make_path(c.folder), c.name).string())
        << c.folder << " + " << c.name;
  }
}

TEST(JoinListedName, RefusesNamesWithARootOfTheirOwn) {
  for (const char* name : {"C:\\x.bin", "C:x.bin", "\\x.bin", "/x.bin", "\\\\server\\share\\x"}) {
    try {
      join_listed_name(make_path("C:/set"), name);
      ADD_FAILURE() << "no error for " << name;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string("sfv file lists a name with its own drive or root: \"") + name + "\"",
                error.what());
    }
  }
}

TEST_F(LoadSfv, FailuresRaiseTheirTextAndReturnNothing) {
  folder.make_folder("x.sfv");
  folder.write("bad-name.sfv", "ok.bin 1\r\nbad.bin  2\r\n");
  folder.write("cr-name.sfv", "ok.bin 1\r\nbad\r.bin 2\r\n");
  folder.write("blanks.sfv", "ok.bin 1\r\n   \r\n");
  folder.write("rooted.sfv", "ok.bin 1\r\nC:\\x.bin 2\r\n");
  struct Case {
    std::string sfv;
    std::string error;
  } cases[] = {
      {folder.file("missing.sfv"), "Couldn't open sfv file"},
      {folder.file("x.sfv"), "Couldn't open sfv file"},
      {folder.file("bad-name.sfv"),
       "boost::filesystem::path: invalid name \"bad.bin \" in path: \"bad.bin \""},
      {folder.file("cr-name.sfv"),
       "boost::filesystem::path: invalid name \"bad\r.bin\" in path: \"bad\r.bin\""},
      {folder.file("blanks.sfv"), "boost::filesystem::path: invalid name \"  \" in path: \"  \""},
      {folder.file("rooted.sfv"), "sfv file lists a name with its own drive or root: \"C:\\x.bin\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error, load_error(c.sfv)) << c.sfv;
  }
}

TEST_F(LoadSfv, OnlyCompletelyReadFilesWithTheirListedCrcPass) {
  folder.write("empty.bin", "");
  folder.write("digits.bin", "123456789");
  std::vector<FileEntry> entries = load_text(
      "empty.bin 00000000\r\n"      // passes
      "digits.bin CBF43926\r\n"     // passes, upper case
      "digits.bin 0xcbf43926\r\n"   // passes, prefix
      "missing.bin 00000000\r\n"    // missing, though 0 is the CRC of no bytes
      "empty.bin xyz\r\n"           // invalid field on an empty file
      "digits.bin 123456789\r\n"    // invalid field on the check-value file
      "digits.bin 0\r\n");          // wrong CRC
  hash_entries(entries);
  const bool expected[] = {true, true, true, false, false, false, false};
  ASSERT_EQ(std::size(expected), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(expected[i], entry_matches(entries[i])) << "line " << i + 1;
  }
  FileList list{entries};
  EXPECT_FALSE(list.all_files_match());
  list.entries.resize(3);
  EXPECT_TRUE(list.all_files_match());
}

TEST_F(LoadSfv, AListAtALongPathIsReadInTextModeAndItsFilesChecked) {
  // Every path here is longer than the 8-bit calls take.
  const std::string long_folder = folder.make_long_folder(280);
  write_file(long_folder + "\\intact.bin", "123456789");
  write_file(long_folder + "\\damaged.bin", "123456780");
  const std::string list = long_folder + "\\list.sfv";
  write_file(list,
             "; CR LF folded, and nothing read past 0x1A\r\n"
             "intact.bin cbf43926\r\n"
             "damaged.bin cbf43926\r\n"
             "sub/../intact.bin CBF43926\r\n"
             "\x1A" "after.bin 1\r\n");

  std::vector<FileEntry> entries = load_sfv(make_path(list));
  EXPECT_EQ("intact.bin=cbf43926\ndamaged.bin=cbf43926\nintact.bin=cbf43926\n", describe(entries));
  hash_entries(entries);
  const bool expected[] = {true, false, true};
  ASSERT_EQ(std::size(expected), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(expected[i], entry_matches(entries[i]))
        << "line " << i + 2 << ", status " << testing::PrintToString(entries[i].status);
  }
}

TEST_F(LoadSfv, CodePageNamesReachTheFileUnchanged) {
  ASSERT_EQ(1252u, GetACP()) << "the SFV line is written in Windows-1252";
  // The file is created through the wide API, so its name on disk is really "café.bin".
  const int size = MultiByteToWideChar(CP_ACP, 0, folder.path().c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size - 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, folder.path().c_str(), -1, wide.data(), size);
  HANDLE file = CreateFileW((wide + L"\\caf\u00E9.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << "error " << GetLastError();
  DWORD written = 0;
  WriteFile(file, "123456789", 9, &written, nullptr);
  CloseHandle(file);

  std::vector<FileEntry> entries = load_text("caf\xE9.bin cbf43926\r\n");
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("caf\xE9.bin", leaf(entries[0].path));
  hash_entries(entries);
  EXPECT_EQ(HashStatus::Complete, entries[0].status);
  EXPECT_TRUE(entry_matches(entries[0]));
}

}  // namespace
