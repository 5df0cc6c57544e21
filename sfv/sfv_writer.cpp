#include "sfv/sfv_writer.h"

#include <cstdio>

std::string sfv_data_line(std::string_view leaf_name, std::uint32_t crc) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", crc);
  // Every reader takes a line that starts with ';' for a comment, so such a file would be
  // lost from the list it was written into. "./" names the same file in the list's folder.
  std::string line = leaf_name.starts_with(';') ? "./" : "";
  line += leaf_name;
  line += ' ';
  line += hex;
  line += '\n';
  return line;
}

std::string sfv_write_report(const SfvWriteResult& result) {
  switch (result.outcome) {
    case SfvWriteResult::Outcome::Written:
      if (result.left_out == 0) return "SFV file written";
      if (result.left_out == 1) return "SFV file written (1 file could not be read and was left out)";
      return "SFV file written (" + std::to_string(result.left_out) +
             " files could not be read and were left out)";
    case SfvWriteResult::Outcome::NothingToWrite:
      return "No SFV file written: none of the files could be read";
    case SfvWriteResult::Outcome::Failed:
      break;
  }
  return "Couldn't write SFV file";
}
