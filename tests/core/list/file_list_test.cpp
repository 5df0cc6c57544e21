#include "core/list/file_list.h"

#include <gtest/gtest.h>

#include "core/names/path_rules.h"
#include "tests/support/entries.h"

namespace {

TEST(FileEntry, NewEntryFailsWhateverItsFileTurnsOutToBe) {
  // The worker stores Complete and the CRC; an entry it never reached, or whose line had no
  // valid CRC, must still fail.
  FileEntry fresh;
  EXPECT_FALSE(entry_matches(fresh));
  fresh.expected = 0;  // "00000000" listed for a file that is then missing
  EXPECT_FALSE(entry_matches(fresh));
}

TEST(FileEntry, MatchesOnlyWhenCompleteWithEqualExpectedCrc) {
  struct Case {
    HashStatus status;
    std::optional<std::uint32_t> expected;
    std::uint32_t computed;
    bool matches;
  } cases[] = {
      {HashStatus::Complete, 0xCBF43926, 0xCBF43926, true},
      {HashStatus::Complete, 0, 0, true},
      {HashStatus::Complete, 0xCBF43926, 0xCBF43927, false},
      {HashStatus::Incomplete, 0, 0, false},
      {HashStatus::NotOpened, 0, 0, false},
      {HashStatus::NotOpened, 0x1234, 0x1234, false},
      // An invalid CRC field has no expected value: neither an empty file nor 123456789 passes.
      {HashStatus::Complete, std::nullopt, 0, false},
      {HashStatus::Complete, std::nullopt, 0xCBF43926, false},
      {HashStatus::Complete, std::nullopt, 0xFFFFFFFF, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.matches, entry_matches(entry(c.status, c.expected, c.computed)))
        << "status " << static_cast<int>(c.status) << ", expected "
        << (c.expected ? std::to_string(*c.expected) : "none") << ", computed " << c.computed;
  }
}

TEST(FileList, OperationsKeepOrderAndDuplicates) {
  FileList list;
  EXPECT_EQ(0u, list.count());
  EXPECT_TRUE(list.is_empty());
  EXPECT_TRUE(list.all_files_match());

  FileEntry a;
  a.path = make_path("C:/set/a.bin");
  list.append(a);
  list.append(a);
  FileEntry b;
  b.path = make_path("C:/set/b.bin");
  list.append(b);
  ASSERT_EQ(3u, list.count());
  EXPECT_FALSE(list.is_empty());
  EXPECT_EQ("C:/set/a.bin", generic_string(list.at(0).path));
  EXPECT_EQ("C:/set/a.bin", generic_string(list.at(1).path));
  EXPECT_EQ("C:/set/b.bin", generic_string(list.at(2).path));

  list.replace_with({b});
  ASSERT_EQ(1u, list.count());
  EXPECT_EQ("C:/set/b.bin", generic_string(list.at(0).path));

  list.replace_with({});
  EXPECT_TRUE(list.is_empty());

  list.append(a);
  list.clear();
  EXPECT_EQ(0u, list.count());
}

TEST(FileList, AllFilesMatchFailsOnAnySingleFailingEntry) {
  const FileEntry good = entry(HashStatus::Complete, 7, 7);
  const FileEntry bad = entry(HashStatus::Complete, 7, 8);
  const FileEntry unread = entry(HashStatus::Incomplete, 7, 7);
  EXPECT_TRUE((FileList{{good, good, good}}.all_files_match()));
  for (std::size_t position = 0; position < 3; ++position) {
    for (const FileEntry& failing : {bad, unread}) {
      FileList list{{good, good, good}};
      list.at(static_cast<std::uint32_t>(position)) = failing;
      EXPECT_FALSE(list.all_files_match()) << "failing entry at " << position;
    }
  }
}

TEST(FileList, GlobalListStartsEmpty) {
  EXPECT_TRUE(file_list.is_empty());
  EXPECT_EQ(0u, file_list.count());
}

}  // namespace
