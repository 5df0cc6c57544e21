// Times hash_file's two read loops from the start of a file, read_chunks_in_turn_from
// (reads in turn) and read_chunks_ahead_from (up to kReadAheadSlots reads in flight), with
// every CRC kernel this machine runs, against a modelled NVMe drive instead of Wine's
// cached reads. On Windows an unbuffered read is made by the drive while the processor
// hashes, so the slower of the two bounds a run; under Wine a cached read is a copy on the
// reading thread, which hides that.
//
// The drive costs no CPU and writes no bytes: the buffer holds random bytes put there
// beforehand (the same 1 MiB in every slot, so every loop hashes the same modelled file),
// and the CRC runs over them as usual. It serves requests in the order they are issued: a
// request of S bytes issued at time t ends at
//   max(t + latency, end of the request before) + S / bandwidth:
// its bytes come after the latency, and after those of every request issued before it,
// with a bandwidth of 2.9 GB/s and a latency that gives one 1 MiB request alone 1.5 GB/s,
// the unbuffered figures of an NVMe drive for 512 KiB to 1 MiB reads with four in flight and
// with one. Requests reach the model on a real clock, and a read's finish spins until its
// modelled end, since a sleep is far coarser than the 0.36 ms a chunk takes. A read that
// starts at or past the end of the file finds nothing at once, with no work of the drive.
//
// For each kernel, the one the program chooses first, it times the CRC alone over the same
// bytes, the loop in turn and the loop ahead, three times alternating (or as often as told),
// and keeps the best of each. The drive's own time for the file, with reads always in
// flight and nothing else to wait for, is computed from the model and also measured through
// it with no CRC, which shows how closely the clock keeps to the model; so is its time for
// reads one at a time, which the loop in turn adds to its CRC. Every wait spins, so the
// thread should be running throughout; the share of each best time that it was, from the
// thread's processor time, shows when a figure is that of a machine too busy to give it a
// processor (a wait preempted in the loop in turn delays it by as much).
// Usage: tallyrun-bench-drive [SIZE_MIB [REPEAT]]   (1024 and 3 unless given; no file is read)
// Prints "model LATENCY BANDWIDTH", "drive MODELLED_SECONDS MEASURED_SECONDS
// ONE_AT_A_TIME_SECONDS MEASURED_ON_CPU", then for every kernel
// "loops KERNEL CRC CRC_ALONE_SECONDS IN_TURN_SECONDS AHEAD_SECONDS IN_TURN_ON_CPU
// AHEAD_ON_CPU", where ON_CPU is the share of that best time the thread was running.
#include <windows.h>

#include <immintrin.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/crc/crc32.h"
#include "core/reading/hash_worker.h"
#include "core/reading/read_loop.h"
#include "core/reading/set_run.h"

namespace {

// The hasher of the worker thread, as a run of one file uses it.
FileHasher& hasher = *hash_worker.hashers[0];

constexpr double kBandwidth = 2.9e9;   // bytes a second with requests always in flight
constexpr double kRateAlone = 1.5e9;   // bytes a second of one 1 MiB request at a time
constexpr double kLatency = kReadChunkSize / kRateAlone - kReadChunkSize / kBandwidth;

double now_seconds() {
  static const double period = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1.0 / static_cast<double>(frequency.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * period;
}

// Returns the processor time of the calling thread in seconds.
double thread_seconds() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  const auto seconds = [](FILETIME time) {
    return static_cast<double>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime) *
           1e-7;
  };
  return seconds(kernel) + seconds(user);
}

// A time taken, and the share of it that the thread was running.
struct Timing {
  double seconds = 1e30;
  double on_cpu = 0;
};

// Times the calling thread from its construction; stop() returns the time so far.
struct Stopwatch {
  double start = now_seconds();
  double start_cpu = thread_seconds();
  Timing stop() const {
    const double seconds = now_seconds() - start;
    return {seconds, seconds > 0 ? (thread_seconds() - start_cpu) / seconds : 0};
  }
};

// Keeps in `best` the faster of it and `timing`.
void keep_best(Timing& best, const Timing& timing) {
  if (timing.seconds < best.seconds) best = timing;
}

void wait_until(double end) {
  while (now_seconds() < end) _mm_pause();
}

// The modelled drive with the modelled file on it.
struct Drive {
  std::int64_t file_size = 0;
  double last_end = 0;  // when the drive ends the last request issued to it

  // Issues a request for `size` bytes at `offset` now; returns when it ends, and in `bytes`
  // how many of them the file holds.
  double issue(std::int64_t offset, std::uint32_t size, std::uint32_t* bytes) {
    const double now = now_seconds();
    *bytes = static_cast<std::uint32_t>(std::clamp<std::int64_t>(file_size - offset, 0, size));
    if (*bytes == 0) return now;
    last_end = std::max(now + kLatency, last_end) + *bytes / kBandwidth;
    return last_end;
  }
};

// The reads of read_chunks_ahead_from, through the drive.
struct DriveReads {
  Drive* drive = nullptr;
  double end[kReadAheadSlots] = {};
  std::uint32_t bytes[kReadAheadSlots] = {};

  void start(std::uint32_t slot, unsigned char*, std::int64_t offset, std::uint32_t size) {
    end[slot] = drive->issue(offset, size, &bytes[slot]);
  }
  bool finish(std::uint32_t slot, std::uint32_t* bytes_read) {
    wait_until(end[slot]);
    *bytes_read = bytes[slot];
    return true;
  }
  void cancel() {}  // the drive writes nothing, so a read left in flight harms nothing
};

void ignore_progress(FileHasher&, std::uint32_t, std::uint32_t) {}

// Returns the time that `loop(drive)`, one of the read loops over the modelled file of
// `file_size` bytes, took; negative seconds when it did not end Complete.
template <class Loop>
Timing time_loop(std::int64_t file_size, Loop loop) {
  Drive drive{file_size};
  hasher.crc.reset();
  const Stopwatch stopwatch;
  const HashStatus status = loop(drive);
  const Timing timing = stopwatch.stop();
  return status == HashStatus::Complete ? timing : Timing{-1};
}

// Returns the time that read_chunks_in_turn_from took over the modelled file, as time_loop
// does.
Timing time_in_turn(std::int64_t file_size) {
  return time_loop(file_size, [file_size](Drive& drive) {
    std::int64_t offset = 0;
    auto read = [&](unsigned char*, std::uint32_t size, std::uint32_t* bytes_read) {
      wait_until(drive.issue(offset, size, bytes_read));
      offset += *bytes_read;
      return true;
    };
    return read_chunks_in_turn_from(hasher, file_size, 0, kReadChunkSize, read, ignore_progress,
                                    hasher.buffer);
  });
}

// Returns the time that read_chunks_ahead_from took over the modelled file, as time_loop
// does.
Timing time_ahead(std::int64_t file_size) {
  return time_loop(file_size, [file_size](Drive& drive) {
    DriveReads reads{&drive};
    return read_chunks_ahead_from(hasher, file_size, reads, ignore_progress, 0);
  });
}

// Returns the time that the drive alone took over the modelled file, with kReadAheadSlots
// reads always in flight and no CRC.
Timing time_drive_alone(std::int64_t file_size) {
  Drive drive{file_size};
  DriveReads reads{&drive};
  const std::int64_t read_count = file_size / kReadChunkSize + 1;
  const Stopwatch stopwatch;
  for (std::int64_t started = 0, finished = 0; finished < read_count; ++finished) {
    for (; started < read_count && started - finished < kReadAheadSlots; ++started) {
      reads.start(static_cast<std::uint32_t>(started % kReadAheadSlots), nullptr,
                  started * kReadChunkSize, kReadChunkSize);
    }
    std::uint32_t ignored = 0;
    reads.finish(static_cast<std::uint32_t>(finished % kReadAheadSlots), &ignored);
  }
  return stopwatch.stop();
}

// Returns the seconds that the kernel in use took over the bytes of the modelled file in
// memory, taken from the slots in turn as read_chunks_ahead_from takes them, leaving their
// CRC in `crc`.
double time_crc_alone(std::int64_t file_size, boost::crc_32_type& crc) {
  crc.reset();
  const double start = now_seconds();
  for (std::int64_t offset = 0, chunk = 0; offset < file_size;
       offset += kReadChunkSize, ++chunk) {
    const auto size =
        static_cast<std::size_t>(std::min<std::int64_t>(kReadChunkSize, file_size - offset));
    const auto slot = static_cast<std::uint32_t>(chunk % kReadAheadSlots);
    crc32_process(crc, slot_buffer(hasher, slot), size);
  }
  return now_seconds() - start;
}

// --- sets of files ---------------------------------------------------------------------
//
// A set is timed on a modelled clock instead of the real one, each hasher a fiber of this
// thread that stands for a thread on a core of its own: what a hasher does on its processor
// (the CRC, the loops' own work) is measured on the real clock while its fiber runs and
// added to its modelled time; an open costs it a modelled time; a read is issued to the one
// drive that all share at its modelled time and waited for there. The fiber whose modelled
// time is the earliest always runs next, so the drive sees the requests in the order of
// their modelled times, and nothing that the busy machine does between two fibers counts.

// The drive of the sets: an NVMe drive with a request latency of 80 us that transfers
// 2.9 GB/s while requests are in flight.
constexpr double kSetLatency = 80e-6;

struct ModelledHasher {
  void* fiber = nullptr;
  double now = 0;  // its modelled time
  bool done = false;
};

struct SetModel {
  void* scheduler = nullptr;
  std::vector<ModelledHasher> hashers;
  ModelledHasher* running = nullptr;
  double resumed = 0;  // the real time at which the running fiber last resumed
  double drive_end = 0;  // modelled: when the drive ends the last request issued to it
  double open_seconds = 0;
  // The old order: one file at a time, and a file larger than a chunk costs two opens.
  bool second_open = false;
  // The first `in_call` files read in the call, as compressed files do on any drive; the
  // rest go to the drive. The volume of the list learns from them as the program's does.
  std::uint32_t in_call = 0;
  RunVolume volume;
  SetRun run;
  std::vector<std::int64_t> sizes;  // the files of the list
};
SetModel* model = nullptr;

// Returns the running hasher's modelled time, with the processor time since it resumed.
double modelled_now() {
  const double real = now_seconds();
  model->running->now += real - model->resumed;
  model->resumed = real;
  return model->running->now;
}

// Makes the running hasher wait until the modelled time `until`, while the others run.
void wait_modelled(double until) {
  model->running->now = std::max(modelled_now(), until);
  SwitchToFiber(model->scheduler);
  model->resumed = now_seconds();
}

// Issues a read of `size` bytes at `offset` of the file of `file_size` bytes to the drive;
// returns when it ends in modelled time, and in `bytes` how many of them the file holds.
double issue_read(std::int64_t file_size, std::int64_t offset, std::uint32_t size,
                  std::uint32_t* bytes) {
  const double now = modelled_now();
  *bytes = static_cast<std::uint32_t>(std::clamp<std::int64_t>(file_size - offset, 0, size));
  if (*bytes == 0) return now;
  model->drive_end = std::max(now + kSetLatency, model->drive_end) + *bytes / kBandwidth;
  return model->drive_end;
}

// The reads of one modelled file for read_file_by_first_read. Reads through a handle for
// reads in flight (`ahead`) go to the drive and are waited for when finished; the others,
// and every read of a file whose reads end in the call, are waited for when made.
struct ModelledReads {
  std::int64_t file_size = 0;
  bool ahead = false;
  bool in_call = false;
  double end[kReadAheadSlots] = {};
  std::uint32_t bytes[kReadAheadSlots] = {};
  std::int64_t in_turn = 0;

  void start(std::uint32_t slot, unsigned char*, std::int64_t offset, std::uint32_t size) {
    end[slot] = issue_read(file_size, offset, size, &bytes[slot]);
    if (!ahead || in_call) wait_modelled(end[slot]);
  }
  bool ended(std::uint32_t) {
    if (!ahead) return true;
    if (first_reads_of(model->volume) != FirstReads::GoToADrive) {
      learn_first_reads(model->volume, in_call, file_size, in_call);
    }
    return in_call;
  }
  bool finish(std::uint32_t slot, std::uint32_t* bytes_read) {
    wait_modelled(end[slot]);
    *bytes_read = bytes[slot];
    return true;
  }
  void cancel() {}
  bool continue_in_turn(std::int64_t offset) {
    in_turn = offset;
    return true;
  }
  bool operator()(void*, std::uint32_t size, std::uint32_t* bytes_read) {
    wait_modelled(issue_read(file_size, in_turn, size, bytes_read));
    in_turn += *bytes_read;
    return true;
  }
};

void ignore_read(FileHasher&, std::uint32_t, std::uint32_t) {}

// The file calls of hash_entries for the modelled list, as the program makes them: an open
// costs its modelled time, and so does the second one of a file that asks how its reads end
// (asks_by_first_read); files are held together once the volume's reads went to the drive.
struct ModelledFiles {
  FileHasher& hasher;
  ModelledReads reads[kReadAheadSlots] = {};
  std::int64_t in_turn[kReadAheadSlots] = {};  // -1: its first read not yet taken

  bool together(std::uint32_t) const {
    return !model->second_open && first_reads_of(model->volume) == FirstReads::GoToADrive;
  }
  std::optional<std::int64_t> open(std::uint32_t slot, std::uint32_t index) {
    const std::int64_t size = model->sizes[index];
    const FirstReads seen = first_reads_of(model->volume);
    ModelledReads& file = reads[slot];
    file = ModelledReads{size, model->second_open || seen == FirstReads::GoToADrive ||
                                   asks_by_first_read(seen, size),
                         index < model->in_call};
    int opens = 1;
    if (model->second_open ? size > kReadChunkSize
                           : seen != FirstReads::GoToADrive && file.ahead) {
      opens = 2;
    }
    wait_modelled(modelled_now() + opens * model->open_seconds);
    return size;
  }
  void start_first(std::uint32_t slot) {
    reads[slot].start(slot, nullptr, 0, kReadChunkSize);
    reads[slot].ended(slot);
    in_turn[slot] = -1;
  }
  bool read(std::uint32_t slot, void*, std::uint32_t bytes, std::uint32_t* bytes_read) {
    ModelledReads& file = reads[slot];
    if (in_turn[slot] < 0) {
      file.finish(slot, bytes_read);
    } else {
      wait_modelled(issue_read(file.file_size, in_turn[slot], bytes, bytes_read));
    }
    in_turn[slot] = std::max<std::int64_t>(in_turn[slot], 0) + *bytes_read;
    return true;
  }
  HashStatus hash_large(std::uint32_t slot, std::int64_t, ProgressSink sink) {
    ModelledReads& file = reads[slot];
    return read_file_by_first_read(hasher, file.file_size, file, std::ref(file), sink);
  }
  void close(std::uint32_t) {}
};

void store_modelled(FileHasher&, std::uint32_t, HashStatus status) {
  if (status != HashStatus::Complete) {
    std::fprintf(stderr, "tallyrun-bench-drive: a modelled file was not read whole\n");
    std::exit(1);
  }
}

void WINAPI modelled_hasher_main(void* parameter) {
  model->resumed = now_seconds();
  FileHasher& owner = *static_cast<FileHasher*>(parameter);
  ModelledFiles files{owner};
  hash_entries(model->run, owner, files, ignore_read, store_modelled, [](FileHasher&) {});
  model->running->done = true;
  SwitchToFiber(model->scheduler);
}

// Returns the modelled time that `hasher_count` hashers take over `count` files of
// `file_size` bytes with opens of `open_seconds` (two for a file larger than a chunk with
// `second_open`), the first `in_call` of them read in the call.
double time_set(std::uint32_t count, std::int64_t file_size, double open_seconds,
                std::uint32_t hasher_count, bool second_open, FileHasher* const* hashers,
                std::uint32_t in_call) {
  static void* const scheduler = ConvertThreadToFiber(nullptr);  // this thread, once
  SetModel set;
  model = &set;
  set.scheduler = scheduler;
  set.open_seconds = open_seconds;
  set.second_open = second_open;
  set.sizes.assign(count, file_size);
  set.in_call = in_call;
  begin_set(set.run, hashers, hasher_count, count);
  set.hashers.resize(hasher_count);
  for (std::uint32_t i = 0; i < hasher_count; ++i) {
    set.hashers[i].fiber = CreateFiber(0, modelled_hasher_main, hashers[i]);
  }
  for (;;) {
    ModelledHasher* next = nullptr;
    for (ModelledHasher& h : set.hashers) {
      if (!h.done && (next == nullptr || h.now < next->now)) next = &h;
    }
    if (next == nullptr) break;
    set.running = next;
    SwitchToFiber(next->fiber);
  }
  double end = 0;
  for (ModelledHasher& h : set.hashers) {
    end = std::max(end, h.now);
    DeleteFiber(h.fiber);
  }
  model = nullptr;
  return end;
}

// Times every set at opens of 40 and 150 us, on `hasher_count` hashers as the program runs
// them and on one as it used to (an open more for each file larger than a chunk), best of
// `repeat`; prints "sets HASHERS LATENCY BANDWIDTH", then for each set and open cost "set
// NAME FILES BYTES OPEN_US LIMIT HASHERS_SECONDS ONE_SECONDS", all in modelled seconds.
// The limit is the largest of the bytes at the drive's full rate, the opens spread over
// four threads, and the CRC alone over those bytes spread over the hashers' cores.
int time_sets(long repeat, std::uint32_t hasher_count) {
  std::vector<FileHasher*> hashers{&hasher};
  while (hashers.size() < hasher_count) hashers.push_back(new FileHasher);
  for (FileHasher* h : hashers) {
    std::mt19937_64 random(20261208);
    for (std::uint32_t i = 0; i < kReadAheadSlots * kReadChunkSize; ++i) {
      h->buffer[i] = static_cast<unsigned char>(random() >> 56);
    }
  }
  const struct {
    const char* name;
    std::uint32_t count;
    std::int64_t size;
    std::uint32_t in_call;  // the first files that read in the call, as compressed ones
  } sets[] = {{"1x4GiB", 1, std::int64_t{4} << 30, 0},   {"50x50MB", 50, 50'000'000, 0},
              {"12x8MB", 12, 8'000'000, 0},             {"1+12x8MB", 13, 8'000'000, 1},
              {"500x3MB", 500, 3'000'000, 0},           {"2000x200KiB", 2000, 200 * 1024, 0},
              {"10000x4KiB", 10000, 4096, 0}};
  std::printf("sets %u %.9f %.0f\n", hasher_count, kSetLatency, kBandwidth);
  for (const auto& set : sets) {
    // The CRC alone over the set's bytes, chunk by chunk as the loops hash them.
    double crc_alone = 1e30;
    for (long round = 0; round < repeat; ++round) {
      boost::crc_32_type crc;
      const double start = now_seconds();
      for (std::uint32_t file = 0; file < set.count; ++file) {
        for (std::int64_t offset = 0; offset < set.size; offset += kReadChunkSize) {
          crc32_process(crc, hasher.buffer,
                        static_cast<std::size_t>(std::min<std::int64_t>(kReadChunkSize, set.size - offset)));
        }
      }
      crc_alone = std::min(crc_alone, now_seconds() - start);
    }
    const double bytes = static_cast<double>(set.count) * static_cast<double>(set.size);
    for (const double open : {40e-6, 150e-6}) {
      const double limit =
          std::max({bytes / kBandwidth, set.count * open / 4, crc_alone / hasher_count});
      double best_set = 1e30, best_one = 1e30;
      for (long round = 0; round < repeat; ++round) {
        best_set = std::min(best_set, time_set(set.count, set.size, open, hasher_count, false,
                                               hashers.data(), set.in_call));
        best_one = std::min(best_one, time_set(set.count, set.size, open, 1, true, hashers.data(),
                                               set.in_call));
      }
      std::printf("set %s %u %.0f %.0f %.6f %.6f %.6f\n", set.name, set.count, bytes, open * 1e6,
                  limit, best_set, best_one);
      std::fflush(stdout);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "sets") {
    const long repeat = argc >= 3 ? std::strtol(argv[2], nullptr, 10) : 3;
    const long hashers = argc >= 4 ? std::strtol(argv[3], nullptr, 10) : 0;
    if (argc > 4 || repeat <= 0 || hashers < 0 || hashers > long{kMaxHashers}) {
      std::fprintf(stderr, "usage: tallyrun-bench-drive sets [REPEAT [HASHERS]]\n");
      return 2;
    }
    // As many as the program runs on this machine, unless told.
    return time_sets(repeat, hashers > 0 ? static_cast<std::uint32_t>(hashers)
                                         : hashers_for(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS),
                                                       false, kMaxHashers));
  }
  long size_mib = 1024;
  long repeat = 3;
  if (argc > 3 || (argc >= 2 && (size_mib = std::strtol(argv[1], nullptr, 10)) <= 0) ||
      (argc == 3 && (repeat = std::strtol(argv[2], nullptr, 10)) <= 0)) {
    std::fprintf(stderr, "usage: tallyrun-bench-drive [SIZE_MIB [REPEAT]]\n");
    return 2;
  }
  const std::int64_t file_size = std::int64_t{size_mib} * 1024 * 1024;

  std::mt19937_64 random(20261208);
  for (std::uint32_t i = 0; i < kReadChunkSize; ++i) {
    hasher.buffer[i] = static_cast<unsigned char>(random() >> 56);
  }
  for (std::uint32_t slot = 1; slot < kReadAheadSlots; ++slot) {
    std::copy_n(hasher.buffer, kReadChunkSize, slot_buffer(hasher, slot));
  }

  Timing drive_measured;
  for (long round = 0; round < repeat; ++round) {
    keep_best(drive_measured, time_drive_alone(file_size));
  }
  std::printf("model %.9f %.0f\n", kLatency, kBandwidth);
  const double chunks = static_cast<double>((file_size + kReadChunkSize - 1) / kReadChunkSize);
  std::printf("drive %.3f %.3f %.3f %.2f\n",
              kLatency + static_cast<double>(file_size) / kBandwidth, drive_measured.seconds,
              chunks * kLatency + static_cast<double>(file_size) / kBandwidth,
              drive_measured.on_cpu);

  const Crc32Kernel chosen = crc32_kernel();
  const Crc32Kernel others[] = {Crc32Kernel::Clmul512, Crc32Kernel::Clmul256,
                                Crc32Kernel::Clmul128, Crc32Kernel::Table};
  for (int k = -1; k < 4; ++k) {
    const Crc32Kernel kernel = k < 0 ? chosen : others[k];
    if ((k >= 0 && kernel == chosen) || !use_crc32_kernel(kernel)) continue;
    double best_crc = 1e30;
    Timing best_turn;
    Timing best_ahead;
    boost::crc_32_type crc_alone;
    for (long round = 0; round < repeat; ++round) {
      best_crc = std::min(best_crc, time_crc_alone(file_size, crc_alone));
      const Timing turn = time_in_turn(file_size);
      const auto turn_crc = hasher.crc.checksum();
      const Timing ahead = time_ahead(file_size);
      if (turn.seconds < 0 || ahead.seconds < 0) {
        std::fprintf(stderr, "tallyrun-bench-drive: a loop did not read the whole file\n");
        return 1;
      }
      if (turn_crc != crc_alone.checksum() || hasher.crc.checksum() != crc_alone.checksum()) {
        std::fprintf(stderr, "tallyrun-bench-drive: %s: the loops' CRCs %08x and %08x differ "
                     "from the CRC alone %08x\n", crc32_kernel_name(kernel),
                     static_cast<unsigned>(turn_crc),
                     static_cast<unsigned>(hasher.crc.checksum()),
                     static_cast<unsigned>(crc_alone.checksum()));
        return 1;
      }
      keep_best(best_turn, turn);
      keep_best(best_ahead, ahead);
    }
    std::printf("loops %s %08x %.3f %.3f %.3f %.2f %.2f\n", crc32_kernel_name(kernel),
                static_cast<unsigned>(crc_alone.checksum()), best_crc, best_turn.seconds,
                best_ahead.seconds, best_turn.on_cpu, best_ahead.on_cpu);
    std::fflush(stdout);
  }
  return 0;
}
