// The resources as they are linked into tallyrun.exe: what windres made of the script, read
// back from the exe itself.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "ui/resource.h"

namespace {

// Loads tallyrun.exe (named by TALLYRUN_EXE) as data, for its resources only.
class ExeResources : public testing::Test {
 protected:
  void SetUp() override {
    const char* exe = std::getenv("TALLYRUN_EXE");
    ASSERT_NE(exe, nullptr) << "TALLYRUN_EXE names the exe under test";
    module_ = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << exe << ": error " << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  // Returns the bytes of resource `id` of `type`; empty when there is none.
  std::string_view resource(LPCSTR type, int id) const {
    const HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) return {};
    const void* data = LockResource(LoadResource(module_, found));
    return {static_cast<const char*>(data), SizeofResource(module_, found)};
  }
  HMODULE module_ = nullptr;
};

// Reads a DLGTEMPLATEEX field by field: WORDs, DWORDs, and strings or ordinals.
struct TemplateReader {
  const char* at;
  const char* end;

  template <typename T>
  T take() {
    T value{};
    if (at + sizeof(T) <= end) std::memcpy(&value, at, sizeof(T));
    at += sizeof(T);
    return value;
  }
  // A string of UTF-16 units (ASCII here), or "#n" for an ordinal 0xFFFF n.
  std::string text() {
    std::string result;
    auto unit = take<std::uint16_t>();
    if (unit == 0xFFFF) return result.append("#").append(std::to_string(take<std::uint16_t>()));
    for (; unit != 0 && at < end; unit = take<std::uint16_t>()) result += static_cast<char>(unit);
    return result;
  }
  void align(std::size_t boundary, const char* base) {
    while ((at - base) % boundary != 0) ++at;
  }
};

struct Control {
  std::uint32_t ex_style, style;
  int x, y, cx, cy;
  std::uint32_t id;
  std::string window_class, title;
};

bool operator==(const Control& a, const Control& b) {
  return a.ex_style == b.ex_style && a.style == b.style && a.x == b.x && a.y == b.y &&
         a.cx == b.cx && a.cy == b.cy && a.id == b.id &&
         // windres stores class names in capitals; the system ignores their case.
         _stricmp(a.window_class.c_str(), b.window_class.c_str()) == 0 &&
         a.title == b.title;
}

void PrintTo(const Control& c, std::ostream* out) {
  *out << "{id " << static_cast<std::int32_t>(c.id) << ", class " << c.window_class << ", \""
       << c.title << "\", " << c.x << "," << c.y << "," << c.cx << "," << c.cy << ", style 0x"
       << std::hex << c.style << ", ex 0x" << c.ex_style << std::dec << "}";
}

TEST_F(ExeResources, MainWindowTemplateHasItsLayout) {
  const std::string_view bytes = resource(RT_DIALOG, IDD_MAIN);
  ASSERT_GT(bytes.size(), 26u) << "no dialog template " << IDD_MAIN;
  TemplateReader read{bytes.data(), bytes.data() + bytes.size()};
  EXPECT_EQ(read.take<std::uint16_t>(), 1) << "dlgVer";
  EXPECT_EQ(read.take<std::uint16_t>(), 0xFFFF) << "signature of an extended template";
  read.take<std::uint32_t>();  // help id
  EXPECT_EQ(read.take<std::uint32_t>(), 0x00040000u) << "extended style";
  EXPECT_EQ(read.take<std::uint32_t>(), 0x10CA08C8u) << "style";
  const int count = read.take<std::uint16_t>();
  const int x = read.take<std::int16_t>(), y = read.take<std::int16_t>();
  const int cx = read.take<std::int16_t>(), cy = read.take<std::int16_t>();
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(cx, 281);
  EXPECT_EQ(cy, 225);
  EXPECT_EQ(read.text(), "") << "menu";
  EXPECT_EQ(read.text(), "") << "window class";
  EXPECT_EQ(read.text(), "Tallyrun") << "caption";
  EXPECT_EQ(read.take<std::uint16_t>(), 8) << "point size";
  EXPECT_EQ(read.take<std::uint16_t>(), 400) << "weight";
  EXPECT_EQ(read.take<std::uint8_t>(), 0) << "italic";
  EXPECT_EQ(read.take<std::uint8_t>(), 1) << "character set";
  EXPECT_EQ(read.text(), "MS Shell Dlg") << "font";

  // Classes by atom: 0x80 Button, 0x82 Static.
  const std::vector<Control> expected = {
      {0, 0x50010001, 224, 204, 50, 14, IDCANCEL, "#128", "Close"},
      {0, 0x50800001, 66, 7, 208, 10, IDC_FILE_PROGRESS, "msctls_progress32", ""},
      {0, 0x50800001, 66, 22, 208, 10, IDC_OVERALL_PROGRESS, "msctls_progress32", ""},
      {0x1000, 0x50020000, 7, 22, 54, 8, 0xFFFFFFFF, "#130", "Overall progress"},
      {0x1000, 0x50020000, 7, 7, 54, 8, 0xFFFFFFFF, "#130", "File progress"},
      {0x1000, 0x50020000, 7, 38, 54, 8, IDC_STATUS_LABEL, "#130", "Status"},
      {0, 0x50028000, 66, 38, 208, 8, IDC_CURRENT_FILE, "#130", ""},
      {0, 0x50811801, 7, 53, 267, 144, IDC_FILE_LIST, "SysListView32", ""},  // owner data
  };
  std::vector<Control> controls;
  for (int i = 0; i < count && read.at < read.end; ++i) {
    read.align(4, bytes.data());
    Control c;
    read.take<std::uint32_t>();  // help id
    c.ex_style = read.take<std::uint32_t>();
    c.style = read.take<std::uint32_t>();
    c.x = read.take<std::int16_t>();
    c.y = read.take<std::int16_t>();
    c.cx = read.take<std::int16_t>();
    c.cy = read.take<std::int16_t>();
    c.id = read.take<std::uint32_t>();
    c.window_class = read.text();
    c.title = read.text();
    read.at += read.take<std::uint16_t>();  // creation data
    controls.push_back(c);
  }
  EXPECT_EQ(controls, expected);
}

TEST_F(ExeResources, IconGroupHoldsThreeSizes) {
  const std::string_view bytes = resource(RT_GROUP_ICON, IDI_APP);
  ASSERT_GE(bytes.size(), 6u) << "no icon group " << IDI_APP;
  struct Entry {
    int width, height, bits;
  };
  const auto count = *reinterpret_cast<const std::uint16_t*>(bytes.data() + 4);
  ASSERT_EQ(count, 3);
  ASSERT_EQ(bytes.size(), 6u + 14u * count);
  const Entry expected[] = {{16, 16, 8}, {48, 48, 32}, {32, 32, 32}};
  for (int i = 0; i < count; ++i) {
    const auto* entry = reinterpret_cast<const unsigned char*>(bytes.data() + 6 + 14 * i);
    std::uint16_t bits;
    std::memcpy(&bits, entry + 6, 2);
    EXPECT_EQ(entry[0], expected[i].width) << "image " << i;
    EXPECT_EQ(entry[1], expected[i].height) << "image " << i;
    EXPECT_EQ(bits, expected[i].bits) << "image " << i;
  }
}

TEST_F(ExeResources, StateStripIsSixPicturesOnWhite) {
  const std::string_view bytes = resource(RT_BITMAP, IDB_FILE_STATES);
  ASSERT_GE(bytes.size(), sizeof(BITMAPINFOHEADER)) << "no bitmap " << IDB_FILE_STATES;
  BITMAPINFOHEADER header;
  std::memcpy(&header, bytes.data(), sizeof header);
  EXPECT_EQ(header.biWidth, 96);
  EXPECT_EQ(header.biHeight, 16) << "bottom-up";
  EXPECT_EQ(header.biBitCount, 24);
  EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
  const std::size_t stride = 96 * 3;
  ASSERT_EQ(bytes.size(), header.biSize + stride * 16);
  // Every picture's corners are background, which is drawn: it must be white.
  const auto* pixels = reinterpret_cast<const unsigned char*>(bytes.data() + header.biSize);
  for (int picture = 0; picture < 6; ++picture) {
    for (const int row : {0, 15}) {
      for (const int column : {picture * 16, picture * 16 + 15}) {
        const unsigned char* p = pixels + row * stride + column * 3;
        EXPECT_EQ(p[0] & p[1] & p[2], 0xFF)
            << "picture " << picture << " pixel " << column << "," << row;
      }
    }
  }
}

// A release is rebuilt to the byte from its commit; the link time in the PE header, or the
// path of the folder it was built in, would make every build differ.
TEST_F(ExeResources, HoldsNoLinkTimeAndNoBuildPath) {
  const std::string exe = std::getenv("TALLYRUN_EXE");
  std::ifstream in(exe, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  IMAGE_DOS_HEADER dos{};
  IMAGE_NT_HEADERS64 nt{};
  ASSERT_GE(bytes.size(), sizeof dos) << exe;
  std::memcpy(&dos, bytes.data(), sizeof dos);
  ASSERT_GE(bytes.size(), dos.e_lfanew + sizeof nt) << "e_lfanew " << dos.e_lfanew;
  std::memcpy(&nt, bytes.data() + dos.e_lfanew, sizeof nt);
  ASSERT_EQ(nt.Signature, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
  EXPECT_EQ(nt.FileHeader.TimeDateStamp, 0u) << "seconds since 1970";
  // TALLYRUN_EXE is "Z:" and the Unix path of the build folder's exe.
  const std::string folder = exe.substr(2, exe.find_last_of('/') - 2);
  EXPECT_EQ(bytes.find(folder), std::string::npos) << folder << " is in the exe";
}

TEST_F(ExeResources, ManifestAsksForNoCommonControlsVersion) {
  const std::string manifest(resource(MAKEINTRESOURCEA(24), 1));
  EXPECT_NE(manifest.find("<assembly"), std::string::npos) << manifest;
  EXPECT_EQ(manifest.find("<dependency"), std::string::npos) << manifest;
}

}  // namespace
