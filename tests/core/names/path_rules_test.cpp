#include "core/names/path_rules.h"

#include <windows.h>

#include <optional>
#include <typeinfo>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/names/code_page.h"
#include "core/names/long_path.h"
#include "core/names/open_rules.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(MakePath, AcceptsNamesWithinTheRules) {
  const char* accepted[] = {
      "C:\\set\\list.sfv", "C:/set/list.sfv", "\\\\server\\share\\x.bin", "a b.txt",
      " leading blank", ";not a comment", "dots.in.name", ".", "..", "sub/../x",
      "a*b?c",  // wildcards are not in the rule's list
      "caf\xE9.bin", "C:", "C:/", "a:b", "trailing/", "a//b",
  };
  for (const char* text : accepted) {
    EXPECT_NO_THROW(make_path(text)) << text;
  }
}

TEST(MakePath, RejectsAnElementThatBreaksTheRulesWithTheLibraryText) {
  struct Case {
    const char* text;
    const char* element;
  } cases[] = {
      {"name ", "name "},
      {"sub /x", "sub "},
      {"C:\\set\\bad.\\x", "bad."},
      {"...", "..."},
      {"a<b", "a<b"},
      {"a>b", "a>b"},
      {"ab:c", "ab:c"},  // a drive is one letter and its colon
      {"x/a:b", "a:b"},
      {"a\"b", "a\"b"},
      {"a|b", "a|b"},
      {"a\tb", "a\tb"},
      {"a\rb", "a\rb"},
      {"x/\x1f", "\x1f"},
      {"C:/ok/  ", "  "},
  };
  for (const Case& c : cases) {
    // The same rule and text for a name as the system holds it, in UTF-16.
    for (const bool wide : {false, true}) {
      try {
        wide ? make_path(widen(c.text)) : make_path(c.text);
        ADD_FAILURE() << "no error for \"" << c.text << "\"" << (wide ? " in UTF-16" : "");
      } catch (const std::exception& error) {
        EXPECT_EQ(std::string("boost::filesystem::path: invalid name \"") + c.element +
                      "\" in path: \"" + c.text + "\"",
                  error.what());
      }
    }
  }
}

TEST(MakePath, StoresTheGenericFormAndShowsTheNativeOne) {
  struct Case {
    const char* text;
    const char* generic;
    const char* native;
    const char* leaf;
    const char* parent;
  } cases[] = {
      {"C:\\set\\sub\\file.bin", "C:/set/sub/file.bin", "C:\\set\\sub\\file.bin", "file.bin", "C:/set/sub"},
      {"C:/set/list.sfv", "C:/set/list.sfv", "C:\\set\\list.sfv", "list.sfv", "C:/set"},
      {"C:\\list.sfv", "C:/list.sfv", "C:\\list.sfv", "list.sfv", "C:/"},
      {"C:x.bin", "C:x.bin", "C:x.bin", "x.bin", "C:"},
      {"list.sfv", "list.sfv", "list.sfv", "list.sfv", ""},
      {"\\\\server\\share\\x.bin", "//server/share/x.bin", "\\\\server\\share\\x.bin", "x.bin",
       "//server/share"},
      {"a b.txt", "a b.txt", "a b.txt", "a b.txt", ""},
      {"caf\xE9.bin", "caf\xE9.bin", "caf\xE9.bin", "caf\xE9.bin", ""},
  };
  for (const Case& c : cases) {
    const boost::filesystem::path path = make_path(c.text);
    EXPECT_EQ(c.generic, generic_string(path)) << c.text;
    EXPECT_EQ(c.native, native_string(path)) << c.text;
    EXPECT_EQ(c.leaf, leaf(path)) << c.text;
    EXPECT_EQ(c.parent, generic_string(parent_folder(path))) << c.text;
  }
}

TEST(MakePath, EveryCodePageByteRoundTrips) {
  // The path keeps UTF-16 inside; every byte a name may hold must come back unchanged,
  // including those that Windows-1252 leaves undefined.
  for (int byte = 0x20; byte <= 0xFF; ++byte) {
    const std::string name = std::string("x") + static_cast<char>(byte) + "x";
    if (std::string_view("<>:\"/\\|").find(static_cast<char>(byte)) != std::string_view::npos) continue;
    EXPECT_EQ("C:/" + name, generic_string(make_path("C:\\" + name))) << "byte " << byte;
  }
}

// The system does not clean up a name behind \\?\, so the name must already be absolute,
// with '\' only, and free of "." and "..".
TEST(LongPathName, IsAbsoluteNormalisedAndPrefixed) {
  wchar_t current_folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current_folder);
  std::wstring current = current_folder;
  if (current.back() != L'\\') current += L'\\';  // a drive's root ends in one already
  const struct {
    const char* path;
    std::wstring name;
  } cases[] = {
      {"C:/set/./sub/../f.bin", L"\\\\?\\C:\\set\\f.bin"},
      {"C:\\set\\f.bin", L"\\\\?\\C:\\set\\f.bin"},
      {"//server/share/sub/../f.bin", L"\\\\?\\UNC\\server\\share\\f.bin"},
      {"f.bin", L"\\\\?\\" + current + L"f.bin"},
      {"C:/set/NUL", L"\\\\.\\NUL"},  // a device keeps the name the system gives it
  };
  for (const auto& c : cases) {
    const std::wstring name = long_path_name(make_path(c.path));
    EXPECT_TRUE(name == c.name) << c.path << ": got " << boost::filesystem::path(name).string()
                                << ", expected " << boost::filesystem::path(c.name).string();
  }
}

// Windows hands a name that the code page cannot hold to the 8-bit calls as a look-alike:
// the full-width a (U+FF41) becomes a plain 'a', which names a different file.
TEST(Exact8Bit, OnlyANameThatComesBackUnchangedHasAn8BitForm) {
  const struct {
    std::wstring wide;
    unsigned code_page;
    std::optional<std::string> text;
  } cases[] = {
      {L"caf\u00E9 \u20AC.sfv", 1252, "caf\xE9 \x80.sfv"},
      {L"\uFF41.sfv", 1252, std::nullopt},
      {L"a\u2215b", 1252, std::nullopt},  // division slash: a separator by best fit
      {L"caf\u00E9", 437, "caf\x82"},
      {L"\uFF41.sfv", 932, "\x82\x81.sfv"},  // the Japanese code page holds the full-width a
      // UTF-8 takes no best-fit flag; only the round trip finds what it cannot hold.
      {L"\uFF41.sfv", 65001, "\xEF\xBD\x81.sfv"},
      {L"a\xD800.bin", 65001, std::nullopt},  // a lone surrogate
      // Double-byte code pages with 0x5C, the byte of '\\', as a trail byte.
      {L"\u8868\\\u30BD", 932, "\x95\x5C\\\x83\x5C"},
      {L"\u4E57.txt", 936, "\x81\x5C.txt"},
      {L"\u4E57.txt", 1251, std::nullopt},
      {L"\u0444\u0430\u0439\u043B", 1251, "\xF4\xE0\xE9\xEB"},
      {L"\U0001F600 \u0444", 65001, "\xF0\x9F\x98\x80 \xD1\x84"},  // a surrogate pair
      {L"\U0001F600", 932, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.text, exact_8bit(c.wide, c.code_page))
        << "code page " << c.code_page << ", name " << boost::filesystem::path(c.wide).string();
  }
}

// 8-bit text is read as a name only when its bytes are characters of the code page: invalid
// UTF-8 or a broken double-byte pair would become U+FFFD or a default character, the name
// of some other file.
TEST(ExactUtf16, OnlyBytesThatComeBackUnchangedHaveAUtf16Form) {
  const struct {
    std::string text;
    unsigned code_page;
    std::optional<std::wstring> wide;
  } cases[] = {
      {"\x95\x5C\\\x83\x5C", 932, L"\u8868\\\u30BD"},
      {"\x95", 932, std::nullopt},             // a lead byte without its trail byte
      {"\x87\x9A", 932, L"\u2235"},  // a second code (of 0x81E6): the same character
      {"\x85\x40", 932, std::nullopt},         // a pair that stands for no character
      {"\x81\x5C.txt", 936, L"\u4E57.txt"},
      {"\xD1\x84\xF0\x9F\x98\x80", 65001, L"\u0444\U0001F600"},
      {"caf\xE9", 65001, std::nullopt},        // Latin-1, not UTF-8
      {"\xC0\xAF", 65001, std::nullopt},       // an overlong '/'
      {"\xED\xA0\x80", 65001, std::nullopt},  // a surrogate written as UTF-8
      {"\xEF\xBF\xBD", 65001, L"\uFFFD"},    // U+FFFD itself is a character like any other
      {"caf\xE9 \x80", 1252, L"caf\u00E9 \u20AC"},
      {"", 65001, L""},
  };
  for (const auto& c : cases) {
    const std::optional<std::wstring> wide = exact_utf16(c.text, c.code_page);
    EXPECT_TRUE(wide == c.wide) << "code page " << c.code_page << ", bytes " << testing::PrintToString(c.text)
                                << ": got " << (wide ? testing::PrintToString(*wide) : "nothing")
                                << ", expected " << (c.wide ? testing::PrintToString(*c.wide) : "nothing");
  }
  // Characters, not bytes, end at a separator: a trail byte 0x5C is none.
  const struct {
    std::string text;
    unsigned code_page;
    std::size_t size;
  } sizes[] = {
      {"\x95\x5C", 932, 2}, {"\x95/", 932, 1}, {"\x95", 932, 1}, {"\\x", 932, 1},
      {"\x81\x5C", 936, 2}, {"\x81\x30\x81\x30", 54936, 4}, {"\xF0\x9F\x98\x80", 65001, 4},
      {"\xF0\x9F/", 65001, 2}, {"\xFF\x80", 65001, 1}, {"\xE9\x5C", 1252, 1},
  };
  for (const auto& c : sizes) {
    EXPECT_EQ(c.size, character_size(c.text, c.code_page))
        << "code page " << c.code_page << ", bytes " << testing::PrintToString(c.text);
  }
}

// Boost.Filesystem's own conversion passes flags that Windows refuses under the UTF-8 code
// page; every path of this process must convert through code_page.h instead.
TEST(ExactUtf16, PathsConvertThroughTheCodePageFacet) {
  const auto& facet = boost::filesystem::path::codecvt();
  EXPECT_NE(nullptr, dynamic_cast<const PathCodePageFacet*>(&facet))
      << "paths convert with " << typeid(facet).name();
}

// What the program opens is what the system resolves the name to, against the current
// folder: Windows limits the full path, however short the name. A device is never opened,
// since opening a serial port already raises its control lines.
TEST(PathToOpen, RefusesDevicesAndGivesTheFullPath) {
  TempFolder folder;
  const std::string deep = folder.make_long_folder(250);
  const CurrentFolder inside(deep);
  const std::string there = generic_string(make_path(folder.path()));
  const struct {
    boost::filesystem::path path;
    std::string opened;  // the path opened, generic; "" when refused
  } cases[] = {
      {make_path(folder.file("COM1")), ""},
      {make_path("aux"), ""},
      {make_path(folder.file("LPT1")), ""},
      {make_path(folder.file("nul.txt")), ""},
      {make_path("con"), ""},
      {make_path("\\\\.\\COM1"), ""},
      // The full-width a, opened under its own name, shows as the default character.
      {make_path(widen(folder.path()) + L"\\\uFF41.bin"), there + "/?.bin"},
      {make_path(folder.file("COM10")), there + "/COM10"},
      {make_path(folder.file("xcon.txt")), there + "/xcon.txt"},
      {make_path("sub/../a-list-of-files.sfv"),
       generic_string(make_path(deep)) + "/a-list-of-files.sfv"},  // 270 characters
      {make_path("\\\\server\\share\\x.bin"), "//server/share/x.bin"},
      {make_path("\\\\server\\share\\" + std::string(250, 's') + "\\x.bin"),
       "//server/share/" + std::string(250, 's') + "/x.bin"},
  };
  for (const auto& c : cases) {
    const std::optional<boost::filesystem::path> opened = path_to_open(c.path);
    EXPECT_EQ(c.opened, opened ? generic_string(*opened) : "") << generic_string(c.path);
    // The wide calls open that same full path, behind \\?\ once it is too long without.
    std::wstring expected = opened ? boost::filesystem::path(*opened).make_preferred().native() : L"";
    if (expected.size() >= MAX_PATH) {
      expected = expected.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + expected.substr(2)
                                               : L"\\\\?\\" + expected;
    }
    const std::optional<std::wstring> name = name_to_open(c.path);
    EXPECT_EQ(expected, name.value_or(L"")) << generic_string(c.path);
  }
}

}  // namespace
