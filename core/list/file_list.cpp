#include "core/list/file_list.h"

#include <algorithm>
#include <utility>

FileList& file_list = *new FileList;

bool entry_matches(const FileEntry& entry) {
  return entry.status == HashStatus::Complete && entry.expected &&
         *entry.expected == entry.computed;
}

std::uint32_t FileList::count() const { return static_cast<std::uint32_t>(entries.size()); }

bool FileList::is_empty() const { return entries.empty(); }

FileEntry& FileList::at(std::uint32_t index) { return entries[index]; }

const FileEntry& FileList::at(std::uint32_t index) const { return entries[index]; }

void FileList::clear() { entries.clear(); }

void FileList::append(const FileEntry& entry) { entries.push_back(entry); }

void FileList::replace_with(const std::vector<FileEntry>& list) { entries = list; }

void FileList::replace_with(std::vector<FileEntry>&& list) {
  entries = std::move(list);
  list.clear();
}

bool FileList::all_files_match() const {
  return std::all_of(entries.begin(), entries.end(), entry_matches);
}
