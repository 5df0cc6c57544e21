// A run of a few hundred scripted files by two to eight hashers, each on a thread of its
// own, while a thread that stands for the window polls the run's position and judges every
// row it may with the window's own row_image, reading the entries' results as the hashers
// store them. Built under ThreadSanitizer (scripts/fuzz), where a row judged on a result
// still being written is a reported race; the test itself fails when a judged row shows
// another image later or ends with another one than its file's script gives.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/small_chunk_loops.h"

#include "tests/support/print.h"
#include "ui/window_rules.h"

namespace {

constexpr std::uint32_t kChunk = small_chunk::kSize;

// One kind of file in the list: the size its open gives (nothing: it cannot be opened), the
// bytes its reads find, the read that fails (-1: none), and the status it must end with.
struct Kind {
  const char* what;
  std::optional<std::int64_t> size;
  std::int64_t actual;
  int fails_at;
  HashStatus status;
};

const Kind kKinds[] = {
    {"empty", 0, 0, -1, HashStatus::Complete},
    {"small", 100, 100, -1, HashStatus::Complete},
    {"one whole chunk", kChunk, kChunk, -1, HashStatus::Complete},
    {"several chunks", 3 * kChunk + 5, 3 * kChunk + 5, -1, HashStatus::Complete},
    {"more whole chunks than slots", 5 * kChunk, 5 * kChunk, -1, HashStatus::Complete},
    {"first read fails", 100, 100, 0, HashStatus::Incomplete},
    {"a later read fails", 3 * kChunk, 3 * kChunk, 2, HashStatus::Incomplete},
    {"shrank", 2 * kChunk, kChunk + 7, -1, HashStatus::Incomplete},
    {"grew past its last chunk", kChunk, kChunk + 3, -1, HashStatus::Incomplete},
    {"size unknown", -1, 0, -1, HashStatus::Incomplete},
    {"cannot be opened", std::nullopt, 0, -1, HashStatus::NotOpened},
};
constexpr std::uint32_t kKindCount = sizeof kKinds / sizeof kKinds[0];

// The file's bytes: each 4 KiB block filled with its own value, so that bytes hashed out of
// order give another CRC, and a read is a few memsets.
void fill(unsigned char* buffer, std::int64_t position, std::uint32_t count) {
  while (count > 0) {
    const auto n = std::min(count, static_cast<std::uint32_t>(4096 - position % 4096));
    std::memset(buffer, static_cast<int>((position / 4096 * 167 + 13) & 0xFF), n);
    buffer += n;
    position += n;
    count -= n;
  }
}

std::uint32_t file_crc(std::int64_t size) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
  fill(bytes.data(), 0, static_cast<std::uint32_t>(size));
  boost::crc_32_type crc;
  crc.process_bytes(bytes.data(), bytes.size());
  return crc.checksum();
}

// The files of the list for hash_entries, each entry's file its kind's script, read in turn
// from where the last read ended; a first read started ahead ends at its start, as a copy
// from a cache does, and a larger file is read whole in turn.
struct KindFiles {
  struct Open {
    const Kind* kind = nullptr;
    std::int64_t position = 0;
    int reads = 0;
    struct FirstRead {
      bool ok;
      std::uint32_t bytes;
    };
    std::optional<FirstRead> first;  // the result of a first read started ahead, not yet taken

    bool read(void* buffer, std::uint32_t* bytes) {
      *bytes = 0;
      if (reads++ == kind->fails_at) return false;
      const std::int64_t left = std::clamp<std::int64_t>(kind->actual - position, 0, kChunk);
      *bytes = static_cast<std::uint32_t>(left);
      fill(static_cast<unsigned char*>(buffer), position, *bytes);
      position += *bytes;
      return true;
    }
  };

  FileHasher& hasher;
  const std::vector<const Kind*>& kinds;  // per entry
  std::uint32_t most_held;
  Open open_files[kReadAheadSlots] = {};

  bool together(std::uint32_t) const { return most_held > 1; }
  std::optional<std::int64_t> open(std::uint32_t slot, std::uint32_t index) {
    open_files[slot] = Open{kinds[index], 0, 0, std::nullopt};
    return kinds[index]->size;
  }
  void start_first(std::uint32_t slot) {
    std::uint32_t bytes = 0;
    const bool ok = open_files[slot].read(slot_buffer(hasher, slot), &bytes);
    open_files[slot].first = Open::FirstRead{ok, bytes};
  }
  bool read(std::uint32_t slot, void* buffer, std::uint32_t, std::uint32_t* bytes) {
    Open& file = open_files[slot];
    if (!file.first) return file.read(buffer, bytes);
    const Open::FirstRead first = *file.first;
    file.first.reset();
    *bytes = first.bytes;
    return first.ok;
  }
  HashStatus hash_large(std::uint32_t slot, std::int64_t size, ProgressSink sink) {
    auto read = [this, slot](void* buffer, std::uint32_t, std::uint32_t* bytes) {
      return open_files[slot].read(buffer, bytes);
    };
    return read_chunks_in_turn_from(hasher, size, 0, kChunk, read, sink, hasher.buffer);
  }
  void close(std::uint32_t slot) { open_files[slot] = Open{}; }
};

FileHasher* const* all_hashers() {
  static FileHasher hashers[kMaxHashers];
  static FileHasher* const pointers[kMaxHashers] = {&hashers[0], &hashers[1], &hashers[2],
                                                    &hashers[3], &hashers[4], &hashers[5],
                                                    &hashers[6], &hashers[7]};
  return pointers;
}

constexpr int kNotJudged = -1;

// The list of 330 entries, every kind in turn, each entry starting with the result that its
// file will not give, as one left from an earlier run of the list: a row judged before its
// result is stored shows another image than the one it ends with. A window thread judges
// the rows while two, three or eight hashers hash the list holding one file at a time or as
// many as they may: every row judged shows one image, that of its file's script.
TEST(SetStress, AWindowPollingTheRunJudgesEveryRowOnItsStoredResult) {
  const std::uint32_t count = 30 * kKindCount;
  std::vector<const Kind*> kinds(count);
  for (std::uint32_t i = 0; i < count; ++i) kinds[i] = &kKinds[i % kKindCount];
  std::vector<std::uint32_t> crcs(kKindCount);
  for (std::uint32_t k = 0; k < kKindCount; ++k) crcs[k] = file_crc(kKinds[k].actual);
  for (const std::uint32_t hasher_count : {2u, 3u, kMaxHashers}) {
    for (const std::uint32_t most_held : {1u, kReadAheadSlots}) {
      SCOPED_TRACE(std::to_string(hasher_count) + " hashers holding " + std::to_string(most_held));
      FileList list;
      for (std::uint32_t i = 0; i < count; ++i) {
        FileEntry entry;
        entry.expected = crcs[i % kKindCount];
        const bool ends_complete = kinds[i]->status == HashStatus::Complete;
        entry.status = ends_complete ? HashStatus::NotOpened : HashStatus::Complete;
        entry.computed = ends_complete ? 0 : *entry.expected;
        list.append(entry);
      }
      SetRun run;
      begin_set(run, all_hashers(), hasher_count, count);

      // The window: judges every row it may until the run has ended, then once more, as a
      // checking and as a creating run in turn (every expected CRC is its file's, so both
      // give the same image).
      std::vector<int> first_image(count, kNotJudged), other_image(count, kNotJudged);
      std::atomic<bool> looking{false}, ended{false};
      std::thread window([&] {
        looking.store(true);
        bool create_mode = false;
        for (bool last = false; !last;) {
          last = ended.load();
          const std::optional<SetPosition> at = set_position(run);
          if (!at) continue;
          create_mode = !create_mode;
          const std::optional<ProgressReport> shown = ProgressReport{
              at->index, progress_lparam(at->index, count, at->file_progress)};
          const std::uint32_t judged = at->index + (at->file_progress == kFileFinished ? 1 : 0);
          for (std::uint32_t row = 0; row < judged; ++row) {
            const int image = row_image(list.at(row), row, shown, create_mode);
            if (first_image[row] == kNotJudged) {
              first_image[row] = image;
            } else if (image != first_image[row]) {
              other_image[row] = image;
            }
          }
        }
      });

      // As the product's hashers store a result: the CRC only for a complete read. First
      // the window gets a turn, between the entry's last read and its result, where a
      // position that showed the entry finished too early would let it judge the row.
      const auto store = [&list](FileHasher& by, std::uint32_t index, HashStatus status) {
        std::this_thread::yield();
        FileEntry& entry = list.at(index);
        if (status == HashStatus::Complete) entry.computed = by.crc.checksum();
        entry.status = status;
      };
      std::vector<std::thread> hashers;
      while (!looking.load()) std::this_thread::yield();
      for (std::uint32_t h = 0; h < hasher_count; ++h) {
        hashers.emplace_back([&, h] {
          KindFiles files{*all_hashers()[h], kinds, most_held};
          hash_entries(run, *all_hashers()[h], files, publish_read, store, [](FileHasher&) {});
        });
      }
      for (std::thread& hasher : hashers) hasher.join();
      ended.store(true);
      window.join();

      for (std::uint32_t row = 0; row < count; ++row) {
        const Kind& kind = *kinds[row];
        const int image = kind.status == HashStatus::Complete ? ImageOk : ImageFailed;
        EXPECT_EQ(kind.status, list.at(row).status) << kind.what << ", row " << row;
        EXPECT_EQ(image, first_image[row]) << kind.what << ", row " << row << ": first image";
        EXPECT_EQ(kNotJudged, other_image[row]) << kind.what << ", row " << row
                                                << ": a later image, after " << first_image[row];
      }
    }
  }
}


// Hashers that read files of a volume that seeks take turns: never two at once, and none
// left waiting for a turn that was ended. Under ThreadSanitizer a plain count kept inside
// the turns is a reported race unless the turns order them.
TEST(SetStress, HashersTakeTurnsOnAVolumeThatSeeks) {
  RunVolume volume;
  volume.answer = SeekAnswer::Seeks;
  std::atomic<int> inside{0};
  int reads = 0;  // kept only inside a turn
  bool overlapped = false;
  std::vector<std::thread> hashers;
  for (int h = 0; h < 4; ++h) {
    hashers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        take_volume_turn(volume);
        if (inside.fetch_add(1) != 0) overlapped = true;
        ++reads;
        inside.fetch_sub(1);
        end_volume_turn(volume);
      }
    });
  }
  for (std::thread& t : hashers) t.join();
  EXPECT_FALSE(overlapped) << "two hashers read the volume at once";
  EXPECT_EQ(4 * 2000, reads);
}

}  // namespace
