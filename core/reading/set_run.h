// A run over the list by several hashers, each on a thread of its own: every hasher takes
// the list's next entry whenever it wants another, and the run's progress is read in
// list order from where they are. No lock: one counter hands out the entries, and each
// hasher publishes its place in one word. Free of the platform, so that sets of scripted
// files run through real threads in the native build too.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>

#include "core/reading/hash_worker.h"
#include "core/reading/read_loop.h"

// A hasher's position word: the oldest entry it holds in the high 32 bits, in the low 32
// either the file progress after the entry's latest read (0..65535) or kEntryTaken before
// its first. kHasherIdle once it takes no more entries. Every entry below that one that the
// hasher took is finished, its result stored before the word moved on; the entries it took
// after it are above it.
inline constexpr std::uint64_t kHasherIdle = ~std::uint64_t{0};
inline constexpr std::uint32_t kEntryTaken = 0x10000;
// The most progress an unfinished entry shows: one below a finished file's 65535.
inline constexpr std::uint32_t kReadNotStored = 0xFFFE;

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
// which must exist and each be run by a thread (1 <= hasher_count <= kMaxHashers): hasher i
// holds entry i, the rest are handed out from there. Call it before any of their threads
// starts; a reader of the run sees it only once it is whole.
inline void begin_set(SetRun& run, FileHasher* const* hashers, std::uint32_t hasher_count,
                      std::uint32_t count) {
  run.hasher_count = hasher_count;
  for (std::uint32_t i = 0; i < hasher_count; ++i) {
    run.hashers[i] = hashers[i];
    hashers[i]->position.store(i < count ? hasher_position(i, kEntryTaken) : kHasherIdle);
  }
  run.next_entry.store(hasher_count);
  run.count.store(count);
}

// Hashes on the calling thread, as `hasher` of `run`, the entry that begin_set gave it and
// then the list's next untaken ones, until none is left. Where a file's reads go to a drive,
// the hasher opens the next files while the drive reads: up to kReadAheadSlots files of at
// most one chunk that may be held together are open at once, each with its one read in flight into a slot of its own,
// and a larger file is read alone, with every slot, as is a file that may not be held with
// others (its volume is read one file at a time, or its reads end in the call). Files are
// finished in the order taken.
// For each entry, with hasher.index set and hasher.crc reset, the read's result is hashed
// (sink called as by the read loops), the file is closed, `store(hasher, index, status)`
// stores the result, the hasher's position moves on and `moved(hasher)` is called. `files`
// makes the file calls, each for the file held in a slot:
//   files.together(index) -> bool: whether entry `index`, not yet opened, may be held with
//     other files, each with its first read in flight;
//   files.open(slot, index) -> optional<int64>: opens entry `index`; its size, negative when
//     it cannot be taken, or nothing when the file cannot be opened (NotOpened). It may wait
//     for its volume's turn where that volume is read one file at a time; it is then called
//     only while no other file is held;
//   files.start_first(slot): begins the read of the first chunk of a file of at most one
//     chunk into slot_buffer(hasher, slot);
//   files.read(slot, buffer, size, &bytes_read) -> bool: the first call takes that read's
//     result, waiting for it; later ones read on in turn, as `read` of
//     read_chunks_in_turn_from;
//   files.hash_large(slot, size, sink) -> HashStatus: reads a larger file whole, as
//     read_file_by_first_read does, with every slot;
//   files.close(slot): closes the file, with no read of it in flight.
// Returns once the hasher is idle. Raises what `files`, `store` or `moved` raise.
template <class Files, class Store, class Moved>
void hash_entries(SetRun& run, FileHasher& hasher, Files& files, ProgressSink sink, Store store,
                  Moved moved) {
  struct Held {
    std::uint32_t index = 0;
    std::optional<std::int64_t> size;  // nothing: not opened
    bool together = false;             // may be held with other files
  };
  Held held[kReadAheadSlots];  // slot (oldest + i) % kReadAheadSlots holds the i-th oldest
  std::uint32_t oldest = 0, holding = 0;
  const auto large = [](const Held& h) { return h.size && *h.size > kReadChunkSize; };
  // Whether more files may be opened behind the youngest one held.
  const auto room_behind = [&](const Held& h) { return h.together && !large(h); };
  // The entry to open next: the one begin_set gave, then each one taken when wanted.
  std::optional<std::uint32_t> next;
  if (const std::uint64_t word = hasher.position.load(); word != kHasherIdle) {
    next = static_cast<std::uint32_t>(word >> 32);
  }
  const std::uint32_t count = run.count.load();
  const auto take = [&run, count]() -> std::optional<std::uint32_t> {
    const std::uint64_t entry = run.next_entry.fetch_add(1);
    if (entry >= count) return std::nullopt;
    return static_cast<std::uint32_t>(entry);
  };
  bool list_done = !next;
  for (;;) {
    // A larger file holds every slot, so nothing is opened behind it; nor behind a file that
    // may not be held with others, and such a file waits until nothing else is held.
    while (!list_done && holding < kReadAheadSlots &&
           (holding == 0 || room_behind(held[(oldest + holding - 1) % kReadAheadSlots]))) {
      if (!next) next = take();
      if (!next) {
        list_done = true;
        break;
      }
      const bool together = files.together(*next);
      if (holding > 0 && !together) break;
      const std::uint32_t slot = (oldest + holding) % kReadAheadSlots;
      held[slot] = {*next, files.open(slot, *next), together};
      next.reset();
      ++holding;
      if (held[slot].size && *held[slot].size >= 0 && !large(held[slot])) files.start_first(slot);
    }
    if (holding == 0) break;
    const Held entry = held[oldest];
    hasher.index = entry.index;
    hasher.crc.reset();
    HashStatus status = HashStatus::NotOpened;
    if (entry.size) {
      auto read = [&files, slot = oldest](void* buffer, std::uint32_t size, std::uint32_t* bytes) {
        return files.read(slot, buffer, size, bytes);
      };
      status = *entry.size < 0 ? HashStatus::Incomplete
               : large(entry)
                   ? files.hash_large(oldest, *entry.size, sink)
                   : read_chunks_in_turn_from(hasher, *entry.size, 0, kReadChunkSize, read, sink,
                                              slot_buffer(hasher, oldest));
      files.close(oldest);
    }
    store(hasher, entry.index, status);
    oldest = (oldest + 1) % kReadAheadSlots;
    --holding;
    // Until the new word is stored, the old one keeps the entries still held from looking
    // finished; once it is, the result stored above is visible with it. A hasher that
    // holds nothing takes its next entry now, so that its word never names a finished one.
    if (holding == 0 && !list_done && !next) {
      next = take();
      list_done = !next;
    }
    const std::optional<std::uint32_t> shown = holding > 0 ? held[oldest].index : next;
    hasher.position.store(shown ? hasher_position(*shown, kEntryTaken) : kHasherIdle);
    moved(hasher);
  }
}

// Where a run is in list order: every entry before `index` is finished, and entry `index`
// has been read to `file_progress`. 65535 (kFileFinished) only once the entry is finished
// too, its result stored and visible to the caller: a file read to its end may still be
// waiting for the read that finds the end, its close and its store, so until then it shows
// at most 65534, and nobody judges its row on a result that is still being written.
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
  const std::uint32_t count = run.count.load();
  if (count == 0) return std::nullopt;
  // The counter first: an entry below it was taken by a hasher whose word, read after it,
  // still holds that entry or a lower one while it is unfinished.
  std::uint64_t first = run.next_entry.load();
  std::uint64_t words[kMaxHashers];
  for (std::uint32_t i = 0; i < run.hasher_count; ++i) {
    words[i] = run.hashers[i]->position.load();
    if (words[i] != kHasherIdle) first = std::min(first, words[i] >> 32);
  }
  if (first >= count) return SetPosition{count - 1, 0xFFFF};
  for (std::uint32_t i = 0; i < run.hasher_count; ++i) {
    const auto state = static_cast<std::uint32_t>(words[i]);
    if (words[i] != kHasherIdle && words[i] >> 32 == first && state <= 0xFFFF) {
      return SetPosition{static_cast<std::uint32_t>(first), std::min(state, kReadNotStored)};
    }
  }
  if (first == 0) return std::nullopt;
  return SetPosition{static_cast<std::uint32_t>(first - 1), 0xFFFF};
}

// Returns how many hashers a run over `count` entries uses: one per core (`cores`), at
// most kMaxHashers and no more than there are entries, and one where every volume of the
// run is read one file at a time (`every_volume_alone`): more would only wait their turn.
inline std::uint32_t hashers_for(std::uint32_t cores, bool every_volume_alone,
                                 std::uint32_t count) {
  if (every_volume_alone) return 1;
  return std::clamp(std::min(cores, count), std::uint32_t{1}, kMaxHashers);
}
