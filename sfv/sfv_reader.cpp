#include "sfv/sfv_reader.h"

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
  boost::filesystem::path joined = folder;
  for (const boost::filesystem::path& element : listed) {
    if (element != ".") joined /= element;
  }
  // operator/= puts the Windows separator between the elements it appends, but the list
  // keeps every path in the generic form, with '/'.
  return joined.generic_path();
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
