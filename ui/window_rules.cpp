#include "ui/window_rules.h"

#include "worker/progress_message.h"

std::string command_line_path(std::string_view command_line) {
  if (command_line.starts_with('"')) command_line.remove_prefix(1);
  if (command_line.ends_with('"')) command_line.remove_suffix(1);
  return std::string(command_line);
}

RowImage row_image(const FileEntry& entry, std::uint32_t row, std::uint32_t current,
                   std::uint32_t file_progress, bool create_mode) {
  if (row == current && file_progress != kFileFinished) return ImageWorking;
  const bool good = create_mode ? entry.status == HashStatus::Complete : entry_matches(entry);
  return good ? ImageOk : ImageFailed;
}
