// The volumes of a run: how each one's files are read. A list may span an SSD, a hard disk
// and a share, and each reads best in its own way, so what a run learns or asks about a
// volume holds for that volume's files only. Free of the platform, so that the rules run in
// the native build and the bench too.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What a volume answers when asked whether it incurs a seek penalty.
enum class SeekAnswer : std::uint8_t {
  NotAsked,     // no local volume to ask: a share, a look-alike name, a volume that cannot
                // be opened, or Wine's, which stand for folders of the host
  DoesNotSeek,  // a solid-state drive, or any volume that says so
  Seeks,        // a hard disk: its head moves between two files read at once
  NoAnswer,     // a local volume that opened but did not answer (some USB bridges, hardware
                // RAID, spanned volumes): it may well be a hard disk
};

// Returns whether files on a volume that answered `answer` are read one at a time. A local
// volume that gives no answer counts as one that seeks: reading a disk on every core can be
// ten to a hundred times slower, while reading an SSD one file at a time costs far less. A
// share gets every core: requests in flight hide its network's latency, and its server
// schedules its own disks.
inline bool one_file_at_a_time(SeekAnswer answer) {
  return answer == SeekAnswer::Seeks || answer == SeekAnswer::NoAnswer;
}

// How the first reads of a volume's files end, as far as the run has seen. The values only
// rise: a read that went to a drive outweighs any number that ended inside the call.
enum class FirstReads : std::uint8_t {
  Unknown,     // nothing seen yet: each file finds out with its own first read
  TinyInCall,  // a file of at most kResidentBytes read in the call; its data may have sat in
               // its file record, which tells nothing of the others, but files that small
               // stop asking
  OnceInCall,  // one ordinary file larger than that read in the call: the next one asks
               // again, so that a read which the drive ended before it was looked at, on a
               // thread that the system set aside for a moment, decides nothing alone
  EndInCall,   // two of them did (a cache, as every read under Wine): the volume's files are
               // read in turn, none asks again
  GoToADrive,  // a first read went pending at a drive: files are opened for reads in flight
};

// The largest file whose data a file system may keep inside the file's own record, so that
// reading it ends inside the call on any drive: NTFS records are 1 KiB or 4 KiB.
inline constexpr std::int64_t kResidentBytes = 4096;

// Returns whether a file of `size` bytes on a volume whose first reads are `seen` makes its
// first read through a second handle, opened for reads in flight, to find out how they end.
// Files ask until the volume has shown it: every file while nothing is known, only files
// larger than kResidentBytes once a tiny one read in the call, none once ordinary files
// read in the call or a read went to a drive (files are then opened for reads in flight).
inline bool asks_by_first_read(FirstReads seen, std::int64_t size) {
  return seen == FirstReads::Unknown ||
         ((seen == FirstReads::TinyInCall || seen == FirstReads::OnceInCall) &&
          size > kResidentBytes);
}

// Returns what a volume whose first reads are `seen` knows after a first read of a file of
// `size` bytes: GoToADrive when it went pending; when it ended in the call, nothing more for
// a file that has a reason of its own (`own_reason`: compressed, encrypted or sparse, which
// the file system reads in the call on any drive), TinyInCall for a file of at most
// kResidentBytes, and one step towards EndInCall for an ordinary larger one.
inline FirstReads after_first_read(FirstReads seen, bool ended_in_call, std::int64_t size,
                                   bool own_reason) {
  FirstReads taught = FirstReads::Unknown;
  if (!ended_in_call) {
    taught = FirstReads::GoToADrive;
  } else if (own_reason) {
    taught = FirstReads::Unknown;
  } else if (size <= kResidentBytes) {
    taught = FirstReads::TinyInCall;
  } else {
    taught = seen == FirstReads::OnceInCall ? FirstReads::EndInCall : FirstReads::OnceInCall;
  }
  return std::max(seen, taught);
}

// One volume of a run. Written by the worker before the hashers start (key, answer), then
// read by them; first_reads and reading change during the run, as atomics only.
struct RunVolume {
  std::wstring key;  // see volume_key
  SeekAnswer answer = SeekAnswer::NotAsked;
  std::atomic<std::uint8_t> first_reads{static_cast<std::uint8_t>(FirstReads::Unknown)};
  // True while a hasher reads a file of this volume, where files are read one at a time.
  std::atomic<bool> reading{false};

  RunVolume() = default;
  RunVolume(const RunVolume& other)
      : key(other.key), answer(other.answer), first_reads(other.first_reads.load()),
        reading(other.reading.load()) {}
};

// Returns what the run has seen of `volume`'s first reads.
inline FirstReads first_reads_of(const RunVolume& volume) {
  return static_cast<FirstReads>(volume.first_reads.load(std::memory_order_relaxed));
}

// Records in `volume` what a first read showed (see after_first_read).
inline void learn_first_reads(RunVolume& volume, bool ended_in_call, std::int64_t size,
                              bool own_reason) {
  std::uint8_t seen = volume.first_reads.load(std::memory_order_relaxed);
  for (;;) {
    const auto next = static_cast<std::uint8_t>(
        after_first_read(static_cast<FirstReads>(seen), ended_in_call, size, own_reason));
    if (next == seen ||
        volume.first_reads.compare_exchange_weak(seen, next, std::memory_order_relaxed)) {
      return;
    }
  }
}

// Waits until no other hasher reads a file of `volume`, then marks it read by the caller.
// Only a hasher that holds no other file waits here, so no two can wait for each other.
inline void take_volume_turn(RunVolume& volume) {
  while (volume.reading.exchange(true, std::memory_order_acquire)) {
    volume.reading.wait(true, std::memory_order_relaxed);
  }
}

// Lets the next hasher read a file of `volume`.
inline void end_volume_turn(RunVolume& volume) {
  volume.reading.store(false, std::memory_order_release);
  volume.reading.notify_one();
}

// Returns the key that tells a path's volume apart from the others of a run: its drive
// ("C:") or its share ("//SERVER/SHARE"), ASCII letters in upper case, from its
// generic or native form, with or without the prefix \\?\ or \\?\UNC\; "" for a path with
// neither (relative to the current drive). A volume mounted in a folder shares the key of
// the drive that holds the folder.
inline std::wstring volume_key(std::wstring_view path) {
  const auto separator = [](wchar_t c) { return c == L'/' || c == L'\\'; };
  const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c; };
  if (path.size() >= 4 && separator(path[0]) && separator(path[1]) && path[2] == L'?' &&
      separator(path[3])) {
    path.remove_prefix(4);
    if (path.size() >= 4 && upper(path[0]) == L'U' && upper(path[1]) == L'N' &&
        upper(path[2]) == L'C' && separator(path[3])) {
      path.remove_prefix(4);
      return volume_key(L"//" + std::wstring(path));
    }
  }
  if (path.size() >= 2 && path[1] == L':') return std::wstring{upper(path[0]), L':'};
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) {
    std::wstring key = L"/";
    std::size_t at = 2;
    for (int part = 0; part < 2 && at < path.size(); ++part) {
      key += L'/';
      for (; at < path.size() && !separator(path[at]); ++at) key += upper(path[at]);
      while (at < path.size() && separator(path[at])) ++at;
    }
    return key;
  }
  return L"";
}

// The volumes of a run and which of them each entry lies on.
struct RunVolumes {
  // The most volumes a run tells apart; entries on more share the last one, which is then
  // read one file at a time: slower, but never a disk read on every core.
  static constexpr std::size_t kMost = 32;
  std::vector<RunVolume> volumes;
  std::vector<std::uint8_t> of_entry;  // index into volumes, per entry

  // Returns the volume of entry `index`; the last volume for an entry that was not sorted
  // (there was no memory to), which the caller then made one read one file at a time.
  RunVolume& of(std::uint32_t index) {
    return index < of_entry.size() ? volumes[of_entry[index]] : volumes.back();
  }
  const RunVolume& of(std::uint32_t index) const {
    return index < of_entry.size() ? volumes[of_entry[index]] : volumes.back();
  }
};

// Sorts `count` entries, whose paths `path_of(index)` gives as wide text, into run.volumes
// by volume_key,
// and asks each distinct volume once, through `ask(index) -> SeekAnswer` with the index of
// its first entry. Returns whether every volume is read one file at a time.
template <class PathOf, class Ask>
bool sort_into_volumes(RunVolumes& run, std::uint32_t count, PathOf path_of, Ask ask) {
  run.volumes.clear();
  run.of_entry.assign(count, 0);
  std::wstring last_key;
  std::uint8_t last = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::wstring key = volume_key(path_of(i));
    if (i > 0 && key == last_key) {
      run.of_entry[i] = last;  // the common case: a list's files share one folder
      continue;
    }
    auto found = std::find_if(run.volumes.begin(), run.volumes.end(),
                              [&key](const RunVolume& v) { return v.key == key; });
    if (found == run.volumes.end()) {
      if (run.volumes.size() == RunVolumes::kMost) {
        found = run.volumes.end() - 1;
        found->answer = SeekAnswer::NoAnswer;  // see kMost
      } else {
        run.volumes.emplace_back();
        run.volumes.back().key = key;
        run.volumes.back().answer = ask(i);
        found = run.volumes.end() - 1;
      }
    }
    last = static_cast<std::uint8_t>(found - run.volumes.begin());
    last_key = std::move(key);
    run.of_entry[i] = last;
  }
  return !run.volumes.empty() &&
         std::all_of(run.volumes.begin(), run.volumes.end(),
                     [](const RunVolume& v) { return one_file_at_a_time(v.answer); });
}
