#include "core/path_rules.h"

#include <windows.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "core/long_path.h"

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
    try {
      make_path(c.text);
      ADD_FAILURE() << "no error for \"" << c.text << "\"";
    } catch (const std::exception& error) {
      EXPECT_EQ(std::string("boost::filesystem::path: invalid name \"") + c.element +
                    "\" in path: \"" + c.text + "\"",
                error.what());
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

}  // namespace
