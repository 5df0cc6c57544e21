#include "core/reading/hash_worker.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "core/crc/crc32.h"
#include "core/names/path_rules.h"
#include "tests/support/failing_conversion.h"
#include "tests/support/print.h"
#include "tests/support/recorded_progress.h"
#include "tests/support/temp_folder.h"

namespace {

// The kernels this machine runs; each test below holds for every one of them.
std::vector<Crc32Kernel> runnable_kernels() {
  std::vector<Crc32Kernel> kernels;
  for (Crc32Kernel k : {Crc32Kernel::Table, Crc32Kernel::Clmul128, Crc32Kernel::Clmul256,
                        Crc32Kernel::Clmul512}) {
    if (crc32_kernel_runs(k)) kernels.push_back(k);
  }
  return kernels;
}

class HashFile : public testing::Test {
 protected:
  void SetUp() override { posted.clear(); }
  void TearDown() override { use_crc32_kernel(saved_kernel_); }

  HashStatus hash(const std::string& native_path) {
    worker.crc.reset();
    return hash_file(worker, make_path(native_path), record_progress);
  }

  FileHasher worker;
  TempFolder folder;

 private:
  Crc32Kernel saved_kernel_ = crc32_kernel();
};

TEST_F(HashFile, CrcAndProgressForEverySizeAroundTheChunk) {
  struct Case {
    std::size_t size;
    std::vector<std::uint32_t> progress;  // one value per read
  } cases[] = {
      {0, {}},
      {9, {65535}},
      {kReadChunkSize - 1, {65535}},
      {kReadChunkSize, {65535}},
      {kReadChunkSize + 1, {65534, 65535}},
      {2 * kReadChunkSize + kReadChunkSize / 2, {26214, 52428, 65535}},
      {4 * kReadChunkSize, {16383, 32767, 49151, 65535}},
      {9 * kReadChunkSize + 3,
       {7281, 14563, 21844, 29126, 36408, 43689, 50971, 58253, 65534, 65535}},
  };
  for (Crc32Kernel kernel : runnable_kernels()) {
    use_crc32_kernel(kernel);
    const char* name = crc32_kernel_name(kernel);
    for (const Case& c : cases) {
      posted.clear();
      const std::string bytes = pseudo_random_bytes(c.size, static_cast<unsigned>(c.size));
      boost::crc_32_type reference;
      reference.process_bytes(bytes.data(), bytes.size());

      EXPECT_EQ(HashStatus::Complete, hash(folder.write("data.bin", bytes))) << name << " " << c.size;
      EXPECT_EQ(reference.checksum(), worker.crc.checksum()) << name << " " << c.size;
      EXPECT_EQ(describe(c.progress), describe(progress_values())) << name << " " << c.size;
      for (const Posted& p : posted) EXPECT_EQ(0u, p.index) << "index passed to the sink";
    }
  }
}

TEST_F(HashFile, KnownCheckValues) {
  for (Crc32Kernel kernel : runnable_kernels()) {
    use_crc32_kernel(kernel);
    const char* name = crc32_kernel_name(kernel);
    EXPECT_EQ(HashStatus::Complete, hash(folder.write("digits.txt", "123456789"))) << name;
    EXPECT_EQ(0xCBF43926u, worker.crc.checksum()) << name;
    EXPECT_EQ(HashStatus::Complete, hash(folder.write("empty.bin", ""))) << name;
    EXPECT_EQ(0x00000000u, worker.crc.checksum()) << name;
  }
}

TEST_F(HashFile, UnopenableFilesReadNothingAndReportNothing) {
  const std::string held = folder.write("held.bin", "123456789");
  HANDLE writer = CreateFileA(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer) << "error " << GetLastError();

  const std::string cases[] = {
      folder.file("missing.bin"),
      folder.file("no-such-folder\\x.bin"),
      folder.make_folder("a-folder"),
      held,  // someone is writing it: refused rather than read half-written
      // Devices open in any folder, but have no content of their own to check.
      "NUL",
      folder.file("NUL"),
      folder.file("nul.txt"),
      folder.file("COM1"),
      folder.file("aux"),
      folder.file("LPT1"),
      "con",
  };
  for (const std::string& path : cases) {
    posted.clear();
    EXPECT_EQ(HashStatus::NotOpened, hash(path)) << path;
    EXPECT_TRUE(posted.empty()) << path << ": " << posted.size() << " progress calls";
    EXPECT_EQ(0u, worker.crc.checksum()) << path << ": the register stays as reset";
  }
  CloseHandle(writer);
  EXPECT_EQ(HashStatus::Complete, hash(held)) << "once the writer is gone";
}

// A file whose name the code page lacks is read by its true name, never by its 8-bit
// look-alike (the full-width a best fits to 'a'), which holds other bytes here.
TEST_F(HashFile, ReadsALookAlikeNameAsItselfAndNeverRaises) {
  const boost::filesystem::path plain = make_path(folder.write("a.bin", "123456780"));
  const std::wstring look_alike = widen(folder.path()) + L"\\\uFF41.bin";
  write_file(look_alike, "123456789");
  worker.crc.reset();
  EXPECT_EQ(HashStatus::Complete, hash_file(worker, make_path(look_alike), record_progress));
  EXPECT_EQ(0xCBF43926u, worker.crc.checksum()) << "the look-alike's bytes were read";
  {
    // The open takes the UTF-16 name the system holds and converts it only through
    // code_page.h: a failing conversion of paths (as Boost.Filesystem's own is under the
    // UTF-8 code page) neither raises on the worker thread nor keeps the file from being read.
    const FailingPathConversion failing;
    EXPECT_EQ(HashStatus::Complete, hash_file(worker, plain, record_progress));
  }
}

TEST_F(HashFile, OpensAGenericPathUnderItsNativeName) {
  folder.make_folder("sub");
  folder.write("sub\\x.bin", "123456789");
  std::string generic = folder.file("sub/x.bin");
  for (char& c : generic) {
    if (c == '\\') c = '/';
  }
  EXPECT_EQ(HashStatus::Complete, hash(generic));
  EXPECT_EQ(0xCBF43926u, worker.crc.checksum());
}

TEST_F(HashFile, OpensFilesAtPathsTooLongForThe8BitCalls) {
  // 259 characters are the most that the 8-bit calls take.
  const std::string leaf = "digits.txt";
  for (const std::size_t length : {259u, 260u, 300u}) {
    const std::string parent = folder.make_long_folder(length - leaf.size() - 1);
    const std::string path = parent + "\\" + leaf;
    write_file(path, "123456789");
    // The extended-length form leaves ".." to the caller to resolve.
    for (const std::string& name : {path, parent + "\\sub\\..\\" + leaf}) {
      EXPECT_EQ(HashStatus::Complete, hash(name)) << name.size() << " characters: " << name;
      EXPECT_EQ(0xCBF43926u, worker.crc.checksum()) << name.size() << " characters: " << name;
    }
    EXPECT_EQ(HashStatus::NotOpened, hash(parent + "\\missing.txt")) << length;
    EXPECT_EQ(HashStatus::NotOpened, hash(parent + "\\NUL")) << length;
  }
}

}  // namespace
