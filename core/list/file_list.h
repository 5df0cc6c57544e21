// The verification list: the files of the current run with the checksum each should have
// and the one it turned out to have, and the verdict over all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <boost/filesystem/path.hpp>

// Outcome of hashing one file; stored in FileEntry::status.
enum class HashStatus : std::int32_t {
  NotOpened = 0,   // the file could not be opened, or is a pipe or device; nothing was read
  Incomplete = 1,  // opened, but reading stopped before the whole file was read
  Complete = 2,    // exactly the file's size was read, then its end; the CRC is the file's
};

// One listed file. A new entry is made to fail: it counts as not hashed until the worker
// stores Complete, and an entry without an expected CRC never matches, whatever its file.
struct FileEntry {
  HashStatus status = HashStatus::NotOpened;  // written by the worker for every entry
  // The CRC the SFV file gives. Empty for dropped files and for lines whose CRC field is
  // invalid: any 32-bit stand-in would let the one file that happens to have that CRC pass.
  std::optional<std::uint32_t> expected;
  std::uint32_t computed = 0;    // written by the worker only when status is Complete
  boost::filesystem::path path;  // generic form, '/' between elements
};

// Returns true when the entry was hashed completely and its CRC equals the expected one.
// The one test behind both the rows' images and the verdict.
bool entry_matches(const FileEntry& entry);

// The ordered list that a run hashes. Its size and storage change only while no run is in
// progress; during a run the worker writes status and computed of the entry it hashes.
struct FileList {
  std::vector<FileEntry> entries;

  // Returns the number of entries.
  std::uint32_t count() const;
  // Returns true when there are no entries.
  bool is_empty() const;
  // Returns the entry at `index`; the caller checks index < count() first.
  FileEntry& at(std::uint32_t index);
  const FileEntry& at(std::uint32_t index) const;
  // Removes all entries.
  void clear();
  // Copies `entry` to the end.
  void append(const FileEntry& entry);
  // Makes the list an element-by-element copy of `list`.
  void replace_with(const std::vector<FileEntry>& list);
  // Makes the list hold the entries of `list`, taken over without a copy, which a list of
  // many thousand files would need twice the memory for; `list` is left empty.
  void replace_with(std::vector<FileEntry>&& list);
  // Returns true when every entry matches (true for an empty list); false at the first
  // entry that does not.
  bool all_files_match() const;
};

// The one list of the process. Never destroyed: when the window closes during a run the
// process exits while the worker may still read entries, so the storage must outlive it.
extern FileList& file_list;
