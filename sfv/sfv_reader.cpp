#include "sfv/sfv_reader.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/names/code_page.h"
#include "core/names/long_path.h"
#include "core/names/open_rules.h"
#include "core/names/path_rules.h"
#include "core/names/unicode_text.h"
#include "sfv/sfv_format.h"

namespace {

// join_listed_name for the name `listed`, which the error shows as `shown`.
boost::filesystem::path join_checked(const boost::filesystem::path& folder,
                                     const boost::filesystem::path& listed,
                                     std::string_view shown) {
  // SFV names are relative to the SFV file's folder; the format gives a drive, share or
  // leading separator no meaning. Joining one anyway would either check some other file
  // than the list means or quietly fail to open, so the load stops with a clear message.
  if (listed.has_root_name() || listed.has_root_directory()) {
    throw std::runtime_error("sfv file lists a name with its own drive or root: \"" +
                             std::string(shown) + "\"");
  }
  // Joined as text: a list of 20,000 names spends most of its load in the library's
  // appends. Elements as the library would append them: "." and the empty ones that a
  // doubled or trailing separator makes add nothing, and no separator goes after a
  // separator or a drive's colon, or before the first element of an empty folder.
  boost::filesystem::path::string_type joined = folder.native();
  const boost::filesystem::path::string_type& elements = listed.native();  // '/' between
  for (std::size_t start = 0; start <= elements.size();) {
    const std::size_t end = std::min(elements.find(L'/', start), elements.size());
    const std::wstring_view element(elements.data() + start, end - start);
    if (!element.empty() && element != L".") {
      if (!joined.empty() && joined.back() != L'/' && joined.back() != L'\\' &&
          joined.back() != L':') {
        joined += L'/';
      }
      joined += element;
    }
    start = end + 1;
  }
  // The list keeps every path in the generic form, with '/', the folder's included.
  for (wchar_t& c : joined) {
    if (c == L'\\') c = L'/';
  }
  return boost::filesystem::path(std::move(joined));
}

}  // namespace

boost::filesystem::path join_listed_name(const boost::filesystem::path& folder,
                                         std::string_view name) {
  return join_checked(folder, make_path(name), name);
}

boost::filesystem::path listed_path(const boost::filesystem::path& folder, std::string_view name,
                                    ListMark mark) {
  const auto utf8_path = [&] {
    return join_checked(folder, make_path(name, kUtf8CodePage), shown_from(name, kUtf8CodePage));
  };
  if (mark != ListMark::None) return utf8_path();
  // Most checkers of today write UTF-8 whatever the system, so a list without a mark may
  // hold names in either. The code page's reading comes first, as it always has: no name
  // that it gives as a file can change. Bytes in no valid UTF-8, or in ASCII alone, have no
  // second reading.
  if (file_code_page() == kUtf8CodePage || !beyond_ascii(name) || !is_utf8(name)) {
    return join_listed_name(folder, name);
  }
  const auto utf8_reading = [&]() -> std::optional<boost::filesystem::path> {
    try {
      return utf8_path();
    } catch (const std::invalid_argument&) {
      return std::nullopt;
    }
  };
  boost::filesystem::path code_page_path;
  try {
    code_page_path = join_listed_name(folder, name);
  } catch (const std::invalid_argument&) {
    // No valid name in the code page (under 932, most UTF-8 is no Shift-JIS).
    if (std::optional<boost::filesystem::path> path = utf8_reading()) return *path;
    throw;
  }
  if (names_a_file(code_page_path)) return code_page_path;
  std::optional<boost::filesystem::path> path = utf8_reading();
  return path && names_a_file(*path) ? *path : code_page_path;
}

namespace {

// Returns the bytes of the file at `sfv_path`. Raises "Couldn't open sfv file" when it
// cannot be opened; a read error ends the bytes like the end of the file does.
std::string file_bytes(const boost::filesystem::path& sfv_path) {
  // Binary: the text-mode rules apply to the characters, which behind a UTF-16 mark are
  // two bytes each (U+041A, Cyrillic Ka, is 1A 04).
  std::ifstream in;
  open_file_stream(in, sfv_path, std::ios::in | std::ios::binary);
  if (!in.is_open()) throw std::runtime_error("Couldn't open sfv file");
  std::string bytes;
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    bytes.append(block, static_cast<std::size_t>(in.gcount()));
  }
  return bytes;
}

}  // namespace

std::vector<FileEntry> load_sfv(const boost::filesystem::path& sfv_path) {
  const ListText list = list_text(file_bytes(sfv_path));
  const boost::filesystem::path folder = parent_folder(sfv_path);
  std::vector<FileEntry> entries;
  const std::string_view text = list.text;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::optional<DataLine> data = split_data_line(text.substr(start, end - start));
    start = end + 1;
    if (!data) continue;
    FileEntry entry;
    entry.path = listed_path(folder, data->name, list.mark);
    entry.expected = parse_crc_field(data->crc_field);
    entries.push_back(std::move(entry));
  }
  return entries;
}
