// The read loops, read_chunks_in_turn_from and read_chunks_ahead_from from the start of the
// file, and read_file_by_first_read (which reads ahead or in turn by how a file's first
// read ends), on a scripted file: its size as taken before reading and as the reads then
// find it (grown or shrunk), reads that fail or come back short, and the order in which the
// reads in flight end. Each must give the status that a plain reading of its contract gives
// for the same reads, and when it reports Complete, the CRC of the file's bytes. Every
// request must keep the alignment that unbuffered reads need, at most kReadAheadSlots may
// be in flight, none on return.
//
// Input: byte 0 the number of chunks in the size taken (255: the size is unknown), byte 1
// the bytes it has beyond them, bytes 2-3 how the file changed before it was read (the top
// bits of byte 3: also hash it as a list of several entries on two hashers, each on a
// thread of its own); then three bytes per read: what it does, its argument, and when it
// ends.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "tests/support/small_chunk_loops.h"

namespace {

constexpr std::uint32_t kChunk = small_chunk::kSize;

[[noreturn]] void fail(const char* what, long long got, long long expected) {
  std::fprintf(stderr, "read loops: %s: got %lld, expected %lld\n", what, got, expected);
  std::abort();
}
void check(bool ok, const char* what, long long got, long long expected) {
  if (!ok) fail(what, got, expected);
}

// The file's bytes: each 4 KiB block is filled with its own value, so that bytes hashed out
// of order or from the wrong place give another CRC, and a read is a few memsets.
void fill(unsigned char* buffer, std::int64_t position, std::uint32_t count) {
  while (count > 0) {
    const std::uint32_t in_block = static_cast<std::uint32_t>(4096 - position % 4096);
    const std::uint32_t n = in_block < count ? in_block : count;
    std::memset(buffer, static_cast<int>((position / 4096 * 167 + 13) & 0xFF), n);
    buffer += n;
    position += n;
    count -= n;
  }
}

struct Script {
  std::int64_t file_size = 0;    // the size taken before reading
  std::int64_t actual_size = 0;  // the size the reads find
  const std::uint8_t* steps = nullptr;
  std::size_t step_count = 0;
  bool honest = true;  // no read fails or comes back short of what the file holds

  // What read number `read` at `position` returns: false for a failure, else its count.
  bool result(std::size_t read, std::int64_t position, std::uint32_t* count) const {
    const std::int64_t left = actual_size - position;
    *count = static_cast<std::uint32_t>(left <= 0 ? 0 : left < kChunk ? left : kChunk);
    if (read >= step_count) return true;
    const std::uint8_t what = steps[3 * read] % 8;
    const std::uint8_t argument = steps[3 * read + 1];
    if (what == 6) return false;
    if (what == 7) *count = static_cast<std::uint32_t>(std::uint64_t{*count} * argument / 256);
    return true;
  }
  // When read number `read` ends: bit 0 set, at its start; bit 1 set, as soon as any other
  // read is waited for, in bit 2's order (newest first when set).
  std::uint8_t ending(std::size_t read) const { return read < step_count ? steps[3 * read + 2] : 1; }
};

// The reads as read_chunks_in_turn_from makes them, one after another from the file
// pointer, each starting on a sector boundary as an unbuffered read must.
struct SerialReads {
  const Script& script;
  std::size_t reads = 0;
  std::int64_t position = 0;
  bool held = false;  // reads ahead are in use: no read in turn may come now

  bool operator()(void* buffer, std::uint32_t size, std::uint32_t* bytes_read) {
    check(reinterpret_cast<std::uintptr_t>(buffer) % 4096 == 0, "serial read's buffer alignment",
          static_cast<long long>(reinterpret_cast<std::uintptr_t>(buffer) % 4096), 0);
    check(position % 4096 == 0, "serial read's offset", position, 0);
    check(!held, "read in turn while reads ahead are in use", static_cast<long long>(reads), -1);
    check(size == kChunk, "serial read's size", size, kChunk);
    const bool ok = script.result(reads++, position, bytes_read);
    if (!ok) return false;
    fill(static_cast<unsigned char*>(buffer), position, *bytes_read);
    position += *bytes_read;
    return true;
  }
};

// The reads as read_chunks_ahead_from makes them: several in flight, ending in the script's
// order.
struct AheadReads {
  const Script& script;
  const unsigned char* worker_buffer;
  struct InFlight {
    std::uint32_t slot;
    unsigned char* buffer;
    std::size_t read;
    bool ended;
  };
  std::vector<InFlight> in_flight{};  // oldest first
  std::size_t started = 0;

  void end(InFlight& read) {
    if (read.ended) return;
    read.ended = true;
    std::uint32_t count = 0;
    const std::int64_t offset = static_cast<std::int64_t>(read.read) * kChunk;
    if (script.result(read.read, offset, &count)) fill(read.buffer, offset, count);
  }

  void start(std::uint32_t slot, unsigned char* buffer, std::int64_t offset, std::uint32_t size) {
    const auto address = reinterpret_cast<std::uintptr_t>(buffer);
    check(address % 4096 == 0 && offset % 4096 == 0 && size % 4096 == 0, "request alignment",
          static_cast<long long>(address % 4096 + offset % 4096 + size % 4096), 0);
    check(size == kChunk, "request size", size, kChunk);
    check(buffer == worker_buffer + std::size_t{slot} * kChunk && slot < kReadAheadSlots,
          "slot's buffer", static_cast<long long>(buffer - worker_buffer),
          static_cast<long long>(slot) * kChunk);
    check(offset == static_cast<std::int64_t>(started) * kChunk, "request offset", offset,
          static_cast<long long>(started) * kChunk);
    check(offset < script.file_size || (offset == script.file_size && offset % kChunk == 0),
          "request past the size", offset, script.file_size);
    for (const InFlight& other : in_flight) {
      check(other.slot != slot, "slot started while its read is in flight", slot, -1);
    }
    in_flight.push_back({slot, buffer, started++, false});
    check(in_flight.size() <= kReadAheadSlots, "reads in flight", static_cast<long long>(in_flight.size()),
          kReadAheadSlots);
    if (script.ending(in_flight.back().read) & 1) end(in_flight.back());
  }

  bool finish(std::uint32_t slot, std::uint32_t* bytes_read) {
    check(!in_flight.empty() && in_flight.front().slot == slot, "slot waited for", slot,
          in_flight.empty() ? -1LL : in_flight.front().slot);
    // Others end first, in either order, and write their slots while the loop waits.
    const std::size_t n = in_flight.size();
    for (std::size_t i = 1; i < n; ++i) {
      InFlight& other = in_flight[(script.ending(in_flight[0].read) & 4) ? n - i : i];
      if (script.ending(other.read) & 2) end(other);
    }
    end(in_flight.front());
    const std::size_t read = in_flight.front().read;
    in_flight.erase(in_flight.begin());
    return script.result(read, static_cast<std::int64_t>(read) * kChunk, bytes_read);
  }

  void cancel() {
    check(!in_flight.empty(), "cancel with nothing in flight", 0, 1);
    in_flight.clear();  // cancelled: whatever had not ended never writes
  }
};

// The reads of read_file_by_first_read: its first read goes out as a read ahead, which ends
// inside its start when the script says so, as a copy from a cache does; the rest then go in
// turn through `serial`, from where the first ended.
struct FirstReadReads : AheadReads {
  SerialReads& serial;

  bool ended(std::uint32_t slot) {
    check(in_flight.size() == 1 && in_flight.front().slot == slot,
          "reads in flight when asked how the first ended",
          static_cast<long long>(in_flight.size()), 1);
    return in_flight.front().ended;
  }
  bool continue_in_turn(std::int64_t offset) {
    check(in_flight.empty() && started == 1, "reads ahead when reads in turn take over",
          static_cast<long long>(in_flight.size() + started), 1);
    check(offset == kChunk, "where reads in turn take over", offset, kChunk);
    serial.held = false;
    serial.reads = 1;
    serial.position = offset;
    return true;
  }
};

// The outcome that the contract of read_chunks_in_turn_from gives for the script, read from
// the start: exactly file_size bytes, no read failing, none coming back empty, short or past
// the size before it, and the end seen, by a short last read or by one more read that finds
// nothing.
HashStatus serial_outcome(const Script& s, std::vector<std::uint32_t>& progress) {
  if (s.file_size < 0) return HashStatus::Incomplete;
  std::int64_t done = 0;
  std::size_t read = 0;
  bool end_seen = false;
  std::uint32_t count = 0;
  while (done < s.file_size) {
    if (!s.result(read++, done, &count) || count == 0 || count > s.file_size - done) {
      return HashStatus::Incomplete;
    }
    done += count;
    progress.push_back(file_progress(done, s.file_size));
    end_seen = count < kChunk;
    if (end_seen && done < s.file_size) return HashStatus::Incomplete;
  }
  if (!end_seen && (!s.result(read, done, &count) || count != 0)) return HashStatus::Incomplete;
  return HashStatus::Complete;
}

// The same, read as read_chunks_ahead_from reads, by whole chunks at their offsets.
HashStatus ahead_outcome(const Script& s, std::vector<std::uint32_t>& progress) {
  if (s.file_size < 0) return HashStatus::Incomplete;
  for (std::size_t read = 0;; ++read) {
    const std::int64_t offset = static_cast<std::int64_t>(read) * kChunk;
    std::uint32_t count = 0;
    if (!s.result(read, offset, &count)) return HashStatus::Incomplete;
    if (offset == s.file_size) return count == 0 ? HashStatus::Complete : HashStatus::Incomplete;
    if (count == 0 || count > s.file_size - offset) return HashStatus::Incomplete;
    progress.push_back(file_progress(offset + count, s.file_size));
    if (count < kChunk) {
      return offset + count == s.file_size ? HashStatus::Complete : HashStatus::Incomplete;
    }
  }
}

std::vector<std::uint32_t> reported;
void record(FileHasher& worker, std::uint32_t index, std::uint32_t progress) {
  check(index == worker.index, "index passed to the sink", index, worker.index);
  reported.push_back(progress);
}

void compare_progress(const char* loop, const std::vector<std::uint32_t>& expected) {
  if (reported == expected) return;
  std::fprintf(stderr, "%s: progress reported:", loop);
  for (std::uint32_t p : reported) std::fprintf(stderr, " %u", p);
  std::fprintf(stderr, "; expected:");
  for (std::uint32_t p : expected) std::fprintf(stderr, " %u", p);
  std::fprintf(stderr, "\n");
  std::abort();
}

FileHasher& worker() {
  static FileHasher instance;
  return instance;
}

// The set that run_as_set hashes, for the sink.
constexpr std::uint32_t kMostInSet = 5;
SetRun* set_run = nullptr;
std::atomic<bool> set_stored[kMostInSet];
int set_number = 0;  // which set it is, counted from the first

// Fails when the set's position goes back on this thread, or passes an entry whose result
// is not stored.
void check_set_order() {
  thread_local std::uint64_t last = 0;  // (index + 1, file progress) of the last position
  thread_local int last_set = 0;
  if (last_set != set_number) last = 0;
  last_set = set_number;
  const std::optional<SetPosition> at = set_position(*set_run);
  if (!at) return;
  const std::uint64_t now = (std::uint64_t{at->index} + 1) << 32 | at->file_progress;
  check(now >= last, "the set's position went back to entry", at->index,
        static_cast<long long>(last >> 32) - 1);
  last = now;
  // An entry shown read whole is shown finished: its row is judged on its result.
  const std::uint32_t finished = at->index + (at->file_progress == 0xFFFF ? 1 : 0);
  for (std::uint32_t i = 0; i < finished; ++i) {
    check(set_stored[i].load(), "entry shown finished before its result", i, at->index);
  }
}

void publish_and_check(FileHasher& hasher, std::uint32_t index, std::uint32_t progress) {
  publish_read(hasher, index, progress);
  check_set_order();
}

// The files of a set for hash_entries, each the script's file: the first read of a file of
// at most one chunk is started ahead, as a drive takes it, the rest go in turn; a larger
// file goes through read_file_by_first_read. No slot may be opened while it holds a file,
// nor closed with a read in flight.
struct ScriptFiles {
  const Script& script;
  FileHasher& hasher;
  std::uint32_t most_held = 1;
  std::optional<SerialReads> serial[kReadAheadSlots] = {};
  std::optional<FirstReadReads> first[kReadAheadSlots] = {};
  bool first_taken[kReadAheadSlots] = {};

  bool together(std::uint32_t) const { return most_held > 1; }
  std::optional<std::int64_t> open(std::uint32_t slot, std::uint32_t) {
    check(!first[slot], "slot opened while it holds a file", slot, -1);
    serial[slot].emplace(SerialReads{script});
    serial[slot]->held = script.file_size > kChunk;
    first[slot].emplace(FirstReadReads{{script, hasher.buffer}, *serial[slot]});
    return script.file_size;
  }
  void start_first(std::uint32_t slot) {
    first[slot]->start(slot, slot_buffer(hasher, slot), 0, kChunk);
    first_taken[slot] = false;
  }
  bool read(std::uint32_t slot, void* buffer, std::uint32_t size, std::uint32_t* bytes) {
    if (!first_taken[slot]) {
      first_taken[slot] = true;
      return first[slot]->finish(slot, bytes);
    }
    if (serial[slot]->reads == 0) first[slot]->continue_in_turn(kChunk);
    return (*serial[slot])(buffer, size, bytes);
  }
  HashStatus hash_large(std::uint32_t slot, std::int64_t size, ProgressSink sink) {
    return read_file_by_first_read(hasher, size, *first[slot], std::ref(*serial[slot]), sink);
  }
  void close(std::uint32_t slot) {
    check(first[slot]->in_flight.empty(), "a set entry's reads in flight when it is closed",
          static_cast<long long>(first[slot]->in_flight.size()), 0);
    first[slot].reset();
    serial[slot].reset();
  }
};

// Hashes `count` entries, each the script's file, on two hashers, the second on a thread of
// its own, as a run hashes a list, each holding up to `most_held` files at once: each entry
// must end as the file alone does, with no read in flight, and the run in list order
// throughout.
void run_as_set(const Script& script, std::uint32_t count, std::uint32_t most_held,
                HashStatus expected, std::uint32_t file_crc) {
  static FileHasher second;
  FileHasher* hashers[kMaxHashers] = {&worker(), &second};
  SetRun run;
  set_run = &run;
  ++set_number;
  for (std::atomic<bool>& stored : set_stored) stored.store(false);
  begin_set(run, hashers, 2, count);
  const auto store = [&](FileHasher& hasher, std::uint32_t index, HashStatus status) {
    check(status == expected, "a set entry's status", static_cast<int>(status),
          static_cast<int>(expected));
    check(status != HashStatus::Complete || hasher.crc.checksum() == file_crc,
          "a set entry's CRC", hasher.crc.checksum(), file_crc);
    set_stored[index].store(true);
  };
  const auto moved = [](FileHasher&) { check_set_order(); };
  const auto run_hasher = [&](FileHasher& hasher) {
    ScriptFiles files{script, hasher, most_held};
    hash_entries(run, hasher, files, publish_and_check, store, moved);
  };
  std::thread other([&] { run_hasher(second); });
  run_hasher(worker());
  other.join();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 4) return 0;
  Script script;
  if (input[0] == 255) {
    script.file_size = -1;
  } else {
    script.file_size = std::int64_t{input[0] % 10} * kChunk + (input[1] < 128 ? input[1] % 8 - 4 : (input[1] - 128) * 128);
    if (script.file_size < 0) script.file_size = 0;
  }
  // Grown or shrunk by bytes, sectors or chunks.
  const std::int64_t units[] = {0, 1, 4096, kChunk};
  script.actual_size = script.file_size + static_cast<std::int8_t>(input[2]) % 16 * units[input[3] % 4];
  if (script.actual_size < 0) script.actual_size = 0;
  script.steps = input + 4;
  script.step_count = (size - 4) / 3;
  for (std::size_t i = 0; i < script.step_count; ++i) {
    if (script.steps[3 * i] % 8 >= 6) script.honest = false;
  }

  FileHasher& w = worker();
  w.index = input[0];
  std::vector<std::uint32_t> expected_progress;
  const HashStatus serial_expected = serial_outcome(script, expected_progress);

  // The file's CRC, for whichever loop says Complete.
  boost::crc_32_type file_crc;
  if (script.file_size > 0) {
    static std::vector<unsigned char> bytes;
    bytes.resize(static_cast<std::size_t>(script.file_size));
    fill(bytes.data(), 0, static_cast<std::uint32_t>(script.file_size));
    crc32_process(file_crc, bytes.data(), bytes.size());
  }

  reported.clear();
  w.crc.reset();
  SerialReads serial{script};
  // A size that could not be taken is never read, as the program calls the loops.
  const HashStatus serial_status =
      script.file_size < 0 ? HashStatus::Incomplete
                           : read_chunks_in_turn_from(w, script.file_size, 0, kChunk, serial,
                                                      record, w.buffer);
  check(serial_status == serial_expected, "read_chunks_in_turn_from's status",
        static_cast<int>(serial_status), static_cast<int>(serial_expected));
  if (serial_status == HashStatus::Complete) {
    check(w.crc.checksum() == file_crc.checksum(), "read_chunks_in_turn_from's CRC",
          w.crc.checksum(), file_crc.checksum());
  }
  compare_progress("read_chunks_in_turn_from", expected_progress);

  expected_progress.clear();
  const HashStatus ahead_expected = ahead_outcome(script, expected_progress);
  reported.clear();
  w.crc.reset();
  AheadReads ahead{script, w.buffer};
  const HashStatus ahead_status =
      script.file_size < 0 ? HashStatus::Incomplete
                           : read_chunks_ahead_from(w, script.file_size, ahead, record, 0);
  check(ahead_status == ahead_expected, "read_chunks_ahead_from's status",
        static_cast<int>(ahead_status), static_cast<int>(ahead_expected));
  if (ahead_status == HashStatus::Complete) {
    check(w.crc.checksum() == file_crc.checksum(), "read_chunks_ahead_from's CRC",
          w.crc.checksum(), file_crc.checksum());
  }
  check(ahead.in_flight.empty(), "reads in flight on return", static_cast<long long>(ahead.in_flight.size()), 0);
  compare_progress("read_chunks_ahead_from", expected_progress);

  // hash_file's own choice: by how the first read ended, the rest ahead or in turn. Either
  // way it must do what the loop ahead does.
  reported.clear();
  w.crc.reset();
  SerialReads in_turn{script};
  in_turn.held = script.file_size > kChunk;
  FirstReadReads first{{script, w.buffer}, in_turn};
  const HashStatus first_status =
      read_file_by_first_read(w, script.file_size, first, std::ref(in_turn), record);
  check(first_status == ahead_expected, "read_file_by_first_read's status",
        static_cast<int>(first_status), static_cast<int>(ahead_expected));
  if (first_status == HashStatus::Complete) {
    check(w.crc.checksum() == file_crc.checksum(), "read_file_by_first_read's CRC",
          w.crc.checksum(), file_crc.checksum());
  }
  check(first.in_flight.empty(), "first read's loop: reads in flight on return",
        static_cast<long long>(first.in_flight.size()), 0);
  compare_progress("read_file_by_first_read", expected_progress);

  // With the top bit of byte 3 set, the same file as a list of two to five entries, each
  // hasher holding one file at a time, or as many as it may with bit 4 set.
  if ((input[3] & 0x80) != 0) {
    run_as_set(script, 2 + (input[3] >> 5 & 3u), (input[3] & 0x10) != 0 ? kReadAheadSlots : 1,
               ahead_expected, file_crc.checksum());
  }

  // A file read honestly is complete exactly when it still has the size that was taken.
  if (script.honest && script.file_size >= 0) {
    const HashStatus truth =
        script.actual_size == script.file_size ? HashStatus::Complete : HashStatus::Incomplete;
    check(serial_status == truth, "read_chunks_in_turn_from on an honest file",
          static_cast<int>(serial_status), static_cast<int>(truth));
    check(ahead_status == truth, "read_chunks_ahead_from on an honest file",
          static_cast<int>(ahead_status), static_cast<int>(truth));
    check(first_status == truth, "read_file_by_first_read on an honest file",
          static_cast<int>(first_status), static_cast<int>(truth));
  }
  return 0;
}
