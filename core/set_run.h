// A run over the list by several hashers, each on a thread of its own: every hasher takes
// the list's next entry once it is done with its last, and the run's progress is read in
// list order from where they are. No lock: one counter hands out the entries, and each
// hasher publishes its place in one word. Free of the platform, so that sets of scripted
// files run through real threads in the native build too.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>

#include "core/hash_worker.h"

// A hasher's position word: the entry it holds in the high 32 bits, in the low 32 either
// the file progress after the entry's latest read (0..65535) or kEntryTaken before its
// first. kHasherIdle once it takes no more entries. Every entry below the one a hasher
// holds that it took is finished, its result stored before the word moved on.
inline constexpr std::uint64_t kHasherIdle = ~std::uint64_t{0};
inline constexpr std::uint32_t kEntryTaken = 0x10000;

// Returns the position word of a hasher at entry `index` in `state`.
inline std::uint64_t hasher_position(std::uint32_t index, std::uint32_t state) {
  return (std::uint64_t{index} << 32) | state;
}

// Publishes that `hasher` has read entry `index`'s file up to `file_progress` (its low 16
// bits). Called by the hasher's own thread, from its progress sink.
inline void publish_read(FileHasher& hasher, std::uint32_t index, std::uint32_t file_progress) {
  hasher.position.store(hasher_position(index, file_progress & 0xFFFF));
}

// Readies `run` for a pass over `count` entries by hashers[0] to hashers[hasher_count - 1],
// which must exist (1 <= hasher_count <= kMaxHashers): hasher i holds entry i, the rest
// are handed out from there. Call it before any of their threads starts, and while no
// thread reads the run.
inline void begin_set(SetRun& run, FileHasher* const* hashers, std::uint32_t hasher_count,
                      std::uint32_t count) {
  run.count = count;
  run.hasher_count = hasher_count;
  run.hashers = hashers;
  for (std::uint32_t i = 0; i < hasher_count; ++i) {
    hashers[i]->position.store(i < count ? hasher_position(i, kEntryTaken) : kHasherIdle);
  }
  run.next_entry.store(hasher_count);
}

// Hashes on the calling thread, as `hasher` of `run`, the entry that begin_set gave it and
// then the list's next untaken one, until none is left. For each: resets hasher.crc, sets
// hasher.index, calls `hash_entry(hasher, index)`, which hashes the entry's file and stores
// its result, takes the next entry and then calls `moved(hasher)`. Returns once the hasher
// is idle. Raises what `hash_entry` or `moved` raise.
template <class HashEntry, class Moved>
void hash_entries(SetRun& run, FileHasher& hasher, HashEntry hash_entry, Moved moved) {
  std::uint64_t word = hasher.position.load();
  while (word != kHasherIdle) {
    const auto index = static_cast<std::uint32_t>(word >> 32);
    hasher.index = index;
    hasher.crc.reset();
    hash_entry(hasher, index);
    // Until the new word is stored, the old one keeps the entry just taken from looking
    // finished; once it is, the result stored above is visible with it.
    const std::uint64_t next = run.next_entry.fetch_add(1);
    word = next < run.count ? hasher_position(static_cast<std::uint32_t>(next), kEntryTaken)
                            : kHasherIdle;
    hasher.position.store(word);
    moved(hasher);
  }
}

// Where a run is in list order: every entry before `index` is finished, and entry `index`
// has been read to `file_progress` (kFileFinished, 65535: all of it; the entry may still be
// storing its result, as after the last read of a single thread).
struct SetPosition {
  std::uint32_t index = 0;
  std::uint32_t file_progress = 0;
  bool operator==(const SetPosition&) const = default;
};

// Returns the run's position in list order: the first unfinished entry with the progress
// of its latest read, or the last finished entry with 65535 when the first unfinished one
// has not been read yet or all are finished. Nothing while no entry is finished or read
// (an empty list included). Any thread may call it during the run; what it returns never
// goes back from what an earlier call on the same thread returned.
inline std::optional<SetPosition> set_position(const SetRun& run) {
  if (run.count == 0) return std::nullopt;
  // The counter first: an entry below it was taken by a hasher whose word, read after it,
  // still holds that entry or a lower one while it is unfinished.
  std::uint64_t first = run.next_entry.load();
  std::uint64_t words[kMaxHashers];
  for (std::uint32_t i = 0; i < run.hasher_count; ++i) {
    words[i] = run.hashers[i]->position.load();
    if (words[i] != kHasherIdle) first = std::min(first, words[i] >> 32);
  }
  if (first >= run.count) return SetPosition{run.count - 1, 0xFFFF};
  for (std::uint32_t i = 0; i < run.hasher_count; ++i) {
    const auto state = static_cast<std::uint32_t>(words[i]);
    if (words[i] != kHasherIdle && words[i] >> 32 == first && state <= 0xFFFF) {
      return SetPosition{static_cast<std::uint32_t>(first), state};
    }
  }
  if (first == 0) return std::nullopt;
  return SetPosition{static_cast<std::uint32_t>(first - 1), 0xFFFF};
}

// Returns how many hashers a run over `count` entries uses: one per core (`cores`), at
// most kMaxHashers and no more than there are entries, and one where the volume says that
// it seeks (`seek_penalty`): there two files read at once make the head move between them.
// Where the volume gives no answer, as under Wine or on a share, it counts as not seeking:
// requests in flight hide a share's latency, and a local disk that seeks answers.
inline std::uint32_t hashers_for(std::uint32_t cores, std::optional<bool> seek_penalty,
                                 std::uint32_t count) {
  if (seek_penalty.value_or(false)) return 1;
  return std::clamp(std::min(cores, count), std::uint32_t{1}, kMaxHashers);
}
