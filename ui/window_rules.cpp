#include "ui/window_rules.h"

#include <new>

namespace {

template <class Char>
std::basic_string<Char> unquoted(std::basic_string_view<Char> command_line) {
  if (command_line.starts_with(Char('"'))) command_line.remove_prefix(1);
  if (command_line.ends_with(Char('"'))) command_line.remove_suffix(1);
  return std::basic_string<Char>(command_line);
}

}  // namespace

std::string command_line_path(std::string_view command_line) { return unquoted(command_line); }

std::wstring command_line_path(std::wstring_view command_line) { return unquoted(command_line); }

std::wstring_view program_arguments(std::wstring_view command_line) {
  std::size_t next = 0;
  bool quoted = false;
  while (next < command_line.size() && (command_line[next] > L' ' || quoted)) {
    if (command_line[next] == L'"') quoted = !quoted;
    ++next;
  }
  while (next < command_line.size() && command_line[next] <= L' ') ++next;
  return command_line.substr(next);
}

RowImage row_image(const FileEntry& entry, std::uint32_t row,
                   const std::optional<ProgressReport>& shown, bool create_mode) {
  if (!shown || row > shown->index) return ImagePending;
  if (row == shown->index && shown->file_progress() != kFileFinished) return ImageWorking;
  const bool good = create_mode ? entry.status == HashStatus::Complete : entry_matches(entry);
  return good ? ImageOk : ImageFailed;
}

std::string error_box_text(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return "bad allocation";
  return error.what();
}
