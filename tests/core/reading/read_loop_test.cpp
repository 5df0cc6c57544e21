// The read loops of hash_file, driven by scripted reads, alone and as sets of files on
// several hashers: they need neither a file nor the system, so these tables run in the
// native build under the sanitizers too.
#include "core/reading/read_loop.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/reading/set_run.h"
#include "core/reading/volumes.h"
#include "tests/support/print.h"
#include "tests/support/recorded_progress.h"

namespace {

class ReadLoops : public testing::Test {
 protected:
  void SetUp() override { posted.clear(); }

  FileHasher worker;
};

// Files that change while they are read cannot be made on a real disk while hash_file holds
// them shared for reading only, so the loops are driven with reads that behave as they would.
// The same script serves the loop in turn, read by read, the loop that reads ahead, whose
// n-th read (at chunk n) gets the n-th result, and the choice between them by how a file's
// first read ends, which takes the results in the same order either way. Every read writes
// bytes that depend on their place in the file, so all must hash the same bytes in order.
// Windows refuses an unbuffered read whose offset, size or buffer is not sector-aligned,
// and Wine does not check it, so every request is checked here.
struct ScriptedReads {
  // When a read started ahead writes its bytes and reports its result.
  enum class Completion {
    AtStart,      // inside start, as under Wine
    WhenWaited,   // only when the loop waits for it
    NewestFirst,  // all in flight at once when the loop waits, the newest first
  };

  std::vector<std::pair<bool, std::uint32_t>> results;  // (succeeds, bytes returned)
  std::int64_t file_size = 0;
  const unsigned char* buffer_start = nullptr;  // the worker's buffer
  Completion completion = Completion::AtStart;
  std::size_t calls = 0;  // reads whose results the loop took
  std::vector<std::uint32_t> requested{};
  std::int64_t position = 0;  // where the next read in turn starts
  bool continued = false;     // continue_in_turn was called

  struct InFlight {
    std::uint32_t slot;
    unsigned char* buffer;
    std::size_t read;  // its place among the reads started
    bool done = false;
  };
  std::vector<InFlight> in_flight{};  // oldest first
  std::size_t started = 0;
  std::size_t most_in_flight = 0;

  static bool aligned(std::uint64_t value) { return value % 4096 == 0; }

  // Writes `count` bytes of the file from `position` on into `buffer`.
  static void fill(unsigned char* buffer, std::int64_t position, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
      buffer[i] = static_cast<unsigned char>(((position + i) * 2654435761u) >> 11);
    }
  }

  // Returns the scripted result of read `read` (its place among all reads), with its count.
  bool result(std::size_t read, std::uint32_t* count) {
    *count = 0;
    if (read >= results.size()) {
      ADD_FAILURE() << "read " << read + 1 << " after the end of the script";
      return false;
    }
    *count = results[read].second;
    return results[read].first;
  }

  // Ends a read started ahead: writes its bytes, or for a read past the script, one the loop
  // must never wait for, a whole chunk of the file.
  void end(InFlight& read) {
    if (read.done) return;
    read.done = true;
    std::uint32_t count = kReadChunkSize;
    if (read.read < results.size()) {
      count = results[read.read].first ? results[read.read].second : 0;
    }
    fill(read.buffer, static_cast<std::int64_t>(read.read * kReadChunkSize), count);
  }

  // A read in turn.
  bool operator()(void* buffer, std::uint32_t size, std::uint32_t* bytes_read) {
    requested.push_back(size);
    EXPECT_TRUE(aligned(reinterpret_cast<std::uintptr_t>(buffer)) && aligned(size))
        << "buffer " << buffer << ", size " << size;
    EXPECT_TRUE(aligned(position)) << "read in turn at " << position;
    EXPECT_TRUE(started == 0 || continued) << "read in turn among reads ahead";
    const bool ok = result(calls++, bytes_read);
    if (ok) fill(static_cast<unsigned char*>(buffer), position, *bytes_read);
    position += *bytes_read;
    return ok;
  }

  // The reads ahead.
  void start(std::uint32_t slot, unsigned char* buffer, std::int64_t offset, std::uint32_t size) {
    requested.push_back(size);
    EXPECT_TRUE(aligned(reinterpret_cast<std::uintptr_t>(buffer)) && aligned(offset) &&
                aligned(size))
        << "buffer " << static_cast<void*>(buffer) << ", offset " << offset << ", size " << size;
    EXPECT_TRUE(buffer >= buffer_start &&
                buffer + size <= buffer_start + kReadAheadSlots * kReadChunkSize)
        << "buffer " << static_cast<void*>(buffer) << " outside "
        << static_cast<const void*>(buffer_start);
    EXPECT_EQ(static_cast<std::int64_t>(started * kReadChunkSize), offset)
        << "read " << started + 1 << " out of order";
    // Only chunks that start below the size, and the read that must find the end there.
    EXPECT_TRUE(offset < file_size || (offset == file_size && file_size % kReadChunkSize == 0))
        << "read at " << offset << " of a file of " << file_size;
    for (const InFlight& other : in_flight) {
      EXPECT_FALSE(other.slot == slot || other.buffer == buffer)
          << "slot " << slot << " reused while its read is in flight";
    }
    in_flight.push_back({slot, buffer, started++});
    most_in_flight = std::max(most_in_flight, in_flight.size());
    if (completion == Completion::AtStart) end(in_flight.back());
  }

  bool finish(std::uint32_t slot, std::uint32_t* bytes_read) {
    if (in_flight.empty() || in_flight.front().slot != slot) {
      ADD_FAILURE() << "waited for slot " << slot << ", not for the oldest read in flight";
      *bytes_read = 0;
      return false;
    }
    // A loop that hashed a slot before its read ended, or the slots out of order, would
    // find other bytes there and get another CRC.
    if (completion == Completion::NewestFirst) {
      for (auto read = in_flight.rbegin(); read != in_flight.rend(); ++read) end(*read);
    }
    end(in_flight.front());
    const std::size_t read = in_flight.front().read;
    in_flight.erase(in_flight.begin());
    ++calls;
    return result(read, bytes_read);
  }

  void cancel() {
    EXPECT_FALSE(in_flight.empty()) << "cancel with no read in flight";
    in_flight.clear();
  }

  // Only a read that ended at its start shows that a cache, not a drive, made it.
  bool ended(std::uint32_t slot) {
    EXPECT_TRUE(in_flight.size() == 1 && in_flight.front().slot == slot)
        << "asked about slot " << slot << " with " << in_flight.size() << " in flight";
    return completion == Completion::AtStart;
  }

  bool continue_in_turn(std::int64_t offset) {
    EXPECT_TRUE(started == 1 && in_flight.empty() && !continued)
        << started << " started, " << in_flight.size() << " in flight";
    EXPECT_EQ(std::int64_t{kReadChunkSize}, offset) << "reads in turn go on from";
    continued = true;
    position = offset;
    return true;
  }
};

struct Case {
  const char* what;
  std::int64_t file_size;
  std::vector<std::pair<bool, std::uint32_t>> reads;
  HashStatus status;
  std::vector<std::uint32_t> progress;
  // Results at the end of the script that no loop takes: they stop at the short read before.
  std::size_t untaken = 0;
};

// Every kind of short or long read, each a file of its own.
const std::vector<Case>& scripted_files() {
  const std::uint32_t chunk = kReadChunkSize;
  static const std::vector<Case> cases = {
      {"whole file", 2 * chunk, {{true, chunk}, {true, chunk}, {true, 0}}, HashStatus::Complete, {32767, 65535}},
      {"first read fails", 10, {{false, 0}}, HashStatus::Incomplete, {}},
      {"later read fails", 2 * chunk, {{true, chunk}, {false, 0}}, HashStatus::Incomplete, {32767}},
      {"shrank: read returns 0", 2 * chunk, {{true, chunk}, {true, 0}}, HashStatus::Incomplete, {32767}},
      {"empty read at once", 5, {{true, 0}}, HashStatus::Incomplete, {}},
      {"grew: read passes the size", 10, {{true, 11}}, HashStatus::Incomplete, {}},
      {"grew within the last chunk", chunk + 5, {{true, chunk}, {true, 6}}, HashStatus::Incomplete, {65534}},
      // The file would give the rest, but a read on from byte 4 would start off a sector
      // boundary, which an unbuffered read refuses on Windows.
      {"partial reads that would add up", 10, {{true, 4}, {true, 6}}, HashStatus::Incomplete, {26214}, 1},
      {"size unknown (negative)", -1, {}, HashStatus::Incomplete, {}},
      {"empty file: only the read that finds the end", 0, {{true, 0}}, HashStatus::Complete, {}},
      // Growth that no read of the expected size can see: only the read after the end shows it.
      {"grew at a chunk boundary", chunk, {{true, chunk}, {true, 3}}, HashStatus::Incomplete, {65535}},
      {"grew from size 0", 0, {{true, chunk}}, HashStatus::Incomplete, {}},
      {"read after the end fails", chunk, {{true, chunk}, {false, 0}}, HashStatus::Incomplete, {65535}},
      // A short last read met the end; a read from there would start off a sector boundary.
      {"short last read", chunk + 10, {{true, chunk}, {true, 10}}, HashStatus::Complete, {65534, 65535}},
      {"exactly one chunk", chunk, {{true, chunk}, {true, 0}}, HashStatus::Complete, {65535}},
      {"every slot, then the first again", 4 * chunk + 1,
       {{true, chunk}, {true, chunk}, {true, chunk}, {true, chunk}, {true, 1}},
       HashStatus::Complete, {16383, 32767, 49151, 65534, 65535}},
      // The reads ahead of a failure are in flight when it is seen.
      {"second of four in flight fails", 6 * chunk, {{true, chunk}, {false, 0}},
       HashStatus::Incomplete, {10922}},
      // Shrank to chunk + 7 bytes: the short read shows it, and the read after is not made.
      {"short read in the middle", 3 * chunk + 5, {{true, chunk}, {true, 7}, {true, 0}},
       HashStatus::Incomplete, {21844, 21845}, 1},
      {"grew at a chunk boundary with reads in flight", 3 * chunk,
       {{true, chunk}, {true, chunk}, {true, chunk}, {true, 5}},
       HashStatus::Incomplete, {21845, 43690, 65535}},
      // The read that decides how the rest are read can fail or shrink the file too.
      {"first of many fails", 3 * chunk, {{false, 0}}, HashStatus::Incomplete, {}},
      {"first of many short", 3 * chunk, {{true, 7}, {true, 0}}, HashStatus::Incomplete, {0}, 1},
      // Every loop stops at byte 4 rather than read on off a sector boundary.
      {"small file shrank", 10, {{true, 4}, {true, 0}}, HashStatus::Incomplete, {26214}, 1},
  };
  return cases;
}

TEST_F(ReadLoops, EndOnEveryKindOfShortOrLongRead) {
  const std::uint32_t chunk = kReadChunkSize;
  using Completion = ScriptedReads::Completion;
  for (const Case& c : scripted_files()) {
    posted.clear();
    ScriptedReads serial{c.reads, c.file_size, worker.buffer};
    worker.crc.reset();
    // As the program calls it: a size that could not be taken is never read.
    const HashStatus serial_status =
        c.file_size < 0 ? HashStatus::Incomplete
                        : read_chunks_in_turn_from(worker, c.file_size, 0, kReadChunkSize, serial,
                                                   record_progress, worker.buffer);
    EXPECT_EQ(c.status, serial_status) << c.what;
    const std::uint32_t serial_crc = worker.crc.checksum();
    EXPECT_EQ(c.reads.size() - c.untaken, serial.calls) << c.what;
    EXPECT_EQ(describe(c.progress), describe(progress_values())) << c.what;
    for (std::uint32_t size : serial.requested) EXPECT_EQ(chunk, size) << c.what;

    // Each way of completing, through the loop that reads ahead and through the choice by
    // the first read: ending at the start, that read sends the rest in turn.
    for (Completion completion :
         {Completion::AtStart, Completion::WhenWaited, Completion::NewestFirst}) {
      for (const bool by_first_read : {false, true}) {
        const std::string what = std::string(c.what) +
                                 (by_first_read ? ", by first read" : ", reads ahead") +
                                 " completing " + std::to_string(static_cast<int>(completion));
        posted.clear();
        ScriptedReads ahead{c.reads, c.file_size, worker.buffer, completion};
        worker.crc.reset();
        const HashStatus status =
            by_first_read ? read_file_by_first_read(worker, c.file_size, ahead, std::ref(ahead),
                                                    record_progress)
            : c.file_size < 0
                ? HashStatus::Incomplete
                : read_chunks_ahead_from(worker, c.file_size, ahead, record_progress, 0);
        EXPECT_EQ(c.status, status) << what;
        EXPECT_EQ(serial_crc, worker.crc.checksum()) << what;
        EXPECT_EQ(describe(c.progress), describe(progress_values())) << what;
        EXPECT_EQ(c.reads.size() - c.untaken, ahead.calls) << what;
        EXPECT_EQ(0u, ahead.in_flight.size()) << what << ": reads left in flight";
        for (std::uint32_t size : ahead.requested) EXPECT_EQ(chunk, size) << what;
        // Up to four at once, as many as there are reads to make; none for a file of one
        // chunk, and only the first when it ended at once.
        const std::size_t reads_to_make = c.file_size < 0 ? 0 : c.file_size / chunk + 1;
        std::size_t most = std::min<std::size_t>(kReadAheadSlots, reads_to_make);
        if (by_first_read && c.file_size <= chunk) most = 0;
        if (by_first_read && c.file_size > chunk && completion == Completion::AtStart) most = 1;
        EXPECT_EQ(most, ahead.most_in_flight) << what;
      }
    }
  }
}

// The run of the set below, for the sink: no entry may show as finished in its position
// before the entry's result is stored.
SetRun* checked_run = nullptr;
std::vector<std::atomic<bool>>* stored = nullptr;

void check_set_order() {
  const std::optional<SetPosition> at = set_position(*checked_run);
  const std::uint32_t finished = at ? at->index + (at->file_progress == 0xFFFF ? 1 : 0) : 0;
  for (std::uint32_t i = 0; i < finished; ++i) {
    if (!(*stored)[i].load()) ADD_FAILURE() << i << " shown finished before its result";
  }
}

void publish_and_check(FileHasher& hasher, std::uint32_t index, std::uint32_t file_progress) {
  publish_read(hasher, index, file_progress);
  check_set_order();
}

// The files of a set for hash_entries, each entry's reads its own script: the first read of
// a file of at most one chunk is started ahead, as a drive takes it, and the rest go in
// turn; a larger file goes through the choice by the first read. No slot is held twice.
struct ScriptedFiles {
  FileHasher& hasher;
  std::vector<ScriptedReads>& reads;
  std::uint32_t most_held = 1;
  std::optional<std::uint32_t> entry[kReadAheadSlots] = {};  // held in the slot
  bool first_taken[kReadAheadSlots] = {};

  bool together(std::uint32_t) const { return most_held > 1; }
  std::optional<std::int64_t> open(std::uint32_t slot, std::uint32_t index) {
    EXPECT_FALSE(entry[slot]) << "slot " << slot << " opened again while it holds a file";
    entry[slot] = index;
    reads[index].buffer_start = hasher.buffer;
    return reads[index].file_size;
  }
  void start_first(std::uint32_t slot) {
    reads[*entry[slot]].start(slot, slot_buffer(hasher, slot), 0, kReadChunkSize);
    first_taken[slot] = false;
  }
  bool read(std::uint32_t slot, void* buffer, std::uint32_t size, std::uint32_t* bytes) {
    ScriptedReads& file = reads[*entry[slot]];
    if (!std::exchange(first_taken[slot], true)) return file.finish(slot, bytes);
    if (!file.continued) file.continue_in_turn(kReadChunkSize);
    return file(buffer, size, bytes);
  }
  HashStatus hash_large(std::uint32_t slot, std::int64_t size, ProgressSink sink) {
    ScriptedReads& file = reads[*entry[slot]];
    return read_file_by_first_read(hasher, size, file, std::ref(file), sink);
  }
  void close(std::uint32_t slot) { entry[slot].reset(); }
};

// The table's files as one list, each file three times (its reads ending at their start,
// when waited for, and all at once, newest first), on three hashers, each on a thread of its
// own as in a run, holding one file at a time and as many as they may: every entry gets the
// status and CRC it gets alone, whichever hasher takes it; no read is left in flight,
// failing files included, which stop with reads ahead in flight; every hasher ends idle.
TEST(ReadLoopSets, EveryEntryAsAloneAndTheRunInListOrder) {
  using Completion = ScriptedReads::Completion;
  for (const std::uint32_t most_held : {1u, kReadAheadSlots}) {
    SCOPED_TRACE(std::to_string(most_held) + " files held at once");
    std::vector<const Case*> files;
    std::vector<ScriptedReads> reads;
    std::vector<std::uint32_t> alone_crc;
    FileHasher alone;
    for (const Case& c : scripted_files()) {
      ScriptedReads serial{c.reads, c.file_size, alone.buffer};
      alone.crc.reset();
      if (c.file_size >= 0) {
        read_chunks_in_turn_from(alone, c.file_size, 0, kReadChunkSize, serial, record_progress,
                                 alone.buffer);
      }
      for (Completion completion :
           {Completion::AtStart, Completion::WhenWaited, Completion::NewestFirst}) {
        files.push_back(&c);
        reads.push_back({c.reads, c.file_size, nullptr, completion});
        alone_crc.push_back(alone.crc.checksum());
      }
    }
    const auto count = static_cast<std::uint32_t>(files.size());
    FileHasher first, second, third;
    FileHasher* const hashers[kMaxHashers] = {&first, &second, &third};
    std::vector<HashStatus> status(count);
    std::vector<std::uint32_t> crc(count);
    std::vector<std::atomic<bool>> done(count);
    SetRun run;
    begin_set(run, hashers, 3, count);
    checked_run = &run;
    stored = &done;
    const auto store = [&](FileHasher& hasher, std::uint32_t index, HashStatus result) {
      status[index] = result;
      crc[index] = hasher.crc.checksum();
      done[index].store(true);
    };
    const auto moved = [](FileHasher&) { check_set_order(); };
    const auto run_hasher = [&](FileHasher& hasher) {
      ScriptedFiles scripted{hasher, reads, most_held};
      hash_entries(run, hasher, scripted, publish_and_check, store, moved);
    };
    std::thread two([&] { run_hasher(second); });
    std::thread three([&] { run_hasher(third); });
    run_hasher(first);
    two.join();
    three.join();

    for (std::uint32_t i = 0; i < count; ++i) {
      EXPECT_EQ(files[i]->status, status[i]) << files[i]->what << ", entry " << i;
      EXPECT_TRUE(status[i] != HashStatus::Complete || alone_crc[i] == crc[i]) << files[i]->what;
      EXPECT_EQ(0u, reads[i].in_flight.size()) << files[i]->what << ": reads left in flight";
    }
    for (const FileHasher* h : {&first, &second, &third}) {
      EXPECT_EQ(kHasherIdle, h->position.load());
    }
    EXPECT_EQ(set_position(run), (SetPosition{count - 1, 0xFFFF}));
  }
}


// What a volume's files teach it, one first read after another: a read at a drive wins at
// once and for good; reads in the call decide only when two ordinary files agree, never for
// a compressed file, and a tiny one only stops files as tiny from asking.
TEST(Volumes, FirstReadsTeachTheirVolume) {
  constexpr std::int64_t kBig = 3 << 20, kTiny = 100;
  struct Read {
    bool in_call;
    std::int64_t size;
    bool own_reason;
  };
  const struct {
    const char* what;
    std::vector<Read> reads;
    FirstReads after;
    bool big_asks, tiny_asks;
  } cases[] = {
      {"nothing yet", {}, FirstReads::Unknown, true, true},
      {"a tiny file in the call", {{true, kTiny, false}}, FirstReads::TinyInCall, true, false},
      {"a compressed file", {{true, kBig, true}, {true, kBig, true}}, FirstReads::Unknown, true, true},
      {"one ordinary file", {{true, kBig, false}}, FirstReads::OnceInCall, true, false},
      {"two ordinary files", {{true, kTiny, false}, {true, kBig, false}, {true, kBig, false}},
       FirstReads::EndInCall, false, false},
      {"a drive after them", {{true, kBig, false}, {true, kBig, false}, {false, kTiny, false}},
       FirstReads::GoToADrive, false, false},
      {"reads in the call after a drive", {{false, kBig, false}, {true, kBig, false}},
       FirstReads::GoToADrive, false, false},
  };
  for (const auto& c : cases) {
    RunVolume volume;
    for (const Read& r : c.reads) learn_first_reads(volume, r.in_call, r.size, r.own_reason);
    EXPECT_EQ(int(c.after), int(first_reads_of(volume))) << c.what;
    EXPECT_EQ(c.big_asks, asks_by_first_read(first_reads_of(volume), kBig)) << c.what;
    EXPECT_EQ(c.tiny_asks, asks_by_first_read(first_reads_of(volume), kTiny)) << c.what;
  }
}

// Entries sort by drive or share, however the path is spelt, and each volume is asked once;
// a run is read by one hasher only where every volume is read one file at a time.
TEST(Volumes, EachVolumeIsAskedOnce) {
  EXPECT_EQ(L"C:", volume_key(L"c:/a/b.bin"));
  EXPECT_EQ(L"C:", volume_key(L"\\\\?\\C:\\a"));
  EXPECT_EQ(L"//SRV/SHARE", volume_key(L"//srv/Share/a/b"));
  EXPECT_EQ(L"//SRV/SHARE", volume_key(L"\\\\?\\UNC\\SRV\\share\\c"));
  EXPECT_EQ(L"", volume_key(L"relative/name"));
  const std::vector<std::wstring> paths = {L"C:/a", L"D:/b", L"c:/c", L"//s/x/d", L"D:/e"};
  const struct {
    SeekAnswer c, d, share;
    bool every_volume_alone;
  } cases[] = {
      {SeekAnswer::Seeks, SeekAnswer::NoAnswer, SeekAnswer::Seeks, true},
      {SeekAnswer::Seeks, SeekAnswer::DoesNotSeek, SeekAnswer::Seeks, false},
      {SeekAnswer::NotAsked, SeekAnswer::Seeks, SeekAnswer::NotAsked, false},
  };
  for (const auto& c : cases) {
    RunVolumes run;
    std::vector<std::uint32_t> asked;
    const bool alone = sort_into_volumes(
        run, std::uint32_t(paths.size()), [&](std::uint32_t i) { return paths[i]; },
        [&](std::uint32_t first) {
          asked.push_back(first);
          return first == 0 ? c.c : first == 1 ? c.d : c.share;
        });
    EXPECT_EQ(c.every_volume_alone, alone);
    EXPECT_EQ((std::vector<std::uint32_t>{0, 1, 3}), asked) << "the first entry of each volume";
    EXPECT_EQ((std::vector<std::uint8_t>{0, 1, 0, 2, 1}), run.of_entry);
    EXPECT_EQ(one_file_at_a_time(c.d), one_file_at_a_time(run.of(4).answer));
  }
  EXPECT_EQ(1u, hashers_for(8, true, 100));
  EXPECT_EQ(4u, hashers_for(4, false, 100));
  EXPECT_EQ(2u, hashers_for(4, false, 2));
}

}  // namespace
