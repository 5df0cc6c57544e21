#include "sfv/sfv_reader.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <string>

#include "core/names/long_path.h"
#include "core/names/path_rules.h"
#include "sfv/sfv_format.h"

boost::filesystem::path join_listed_name(const boost::filesystem::path& folder,
                                         std::string_view name) {
  const boost::filesystem::path listed = make_path(name);
  // SFV names are relative to the SFV file's folder; the format gives a drive, share or
  // leading separator no meaning. Joining one anyway would either check some other file
  // than the list means or quietly fail to open, so the load stops with a clear message.
  if (listed.has_root_name() || listed.has_root_directory()) {
    throw std::runtime_error("sfv file lists a name with its own drive or root: \"" +
                             std::string(name) + "\"");
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

std::vector<FileEntry> load_sfv(const boost::filesystem::path& sfv_path) {
  // Text mode on purpose: the runtime folds CR LF into LF and stops at 0x1A, as SFV files
  // written on any system expect.
  std::ifstream in;
  open_file_stream(in, sfv_path, std::ios::in);
  if (!in.is_open()) throw std::runtime_error("Couldn't open sfv file");

  const boost::filesystem::path folder = parent_folder(sfv_path);
  std::vector<FileEntry> entries;
  std::string line;
  while (std::getline(in, line)) {
    const std::optional<DataLine> data = split_data_line(line);
    if (!data) continue;
    FileEntry entry;
    entry.path = join_listed_name(folder, data->name);
    entry.expected = parse_crc_field(data->crc_field);
    entries.push_back(std::move(entry));
  }
  // A read error in mid-file ends the list like the end of the file does.
  return entries;
}
