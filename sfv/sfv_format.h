// The line rules of the SFV text format, free of any file or platform call.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// A data line cut at its last space. Both views point into the line.
struct DataLine {
  std::string_view name;       // everything before the last space, untrimmed
  std::string_view crc_field;  // everything after it, to the end of the line
};

// Returns the name and CRC field of a data line, or nothing for a line that carries no
// entry: an empty line, a comment (';' as its very first character), a line without a
// space or whose only space is its first character. Only the space separates, not a tab.
std::optional<DataLine> split_data_line(std::string_view line);

// Returns the CRC-32 that a CRC field gives, or nothing when the field is invalid.
// Accepted: leading white space, one sign, one "0x"/"0X" prefix, then hex digits up to the
// first other character. Valid with at least one digit and at most eight significant
// ones; a minus sign negates modulo 2^32.
std::optional<std::uint32_t> parse_crc_field(std::string_view field);
