// Damaged archives never succeed, a damaged or unwritable entry leaves no
// file behind, and memory stays bounded whatever an entry's size.
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

TEST(MiniunzIntegrity, DamagedEntriesFailAndLeaveNoFile) {
  const ZipEntrySpec::Damage damages[] = {ZipEntrySpec::BadCrc, ZipEntrySpec::ShortSize,
                                          ZipEntrySpec::LongSize, ZipEntrySpec::BadDeflate};
  // Inflated whole, and streamed through buffers (more than 8 MiB).
  const std::string sizes[] = {noise(300 * 1024, 7), noise((8 << 20) + 4096, 7)};
  for (ZipEntrySpec::Damage damage : damages) {
    for (bool overwrite : {false, true}) {
      const std::string &data = sizes[overwrite];
      SCOPED_TRACE("damage " + std::to_string(damage) + (overwrite ? " with -o" : "") + ", " +
                   std::to_string(data.size()) + " bytes");
      Workspace box;
      ZipEntrySpec bad = fileEntry("sub/bad.bin", data);
      bad.damage = damage;
      box.pack({fileEntry("good.txt", "good"), bad, fileEntry("after.txt", "after")});
      RunResult r = box.unpack(overwrite);
      EXPECT_EQ(r.exitCode, 1) << r.err;
      EXPECT_NE(r.err.find("miniunz: sub/bad.bin: "), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(box.out + "/sub/bad.bin"));
      EXPECT_EQ(readFile(box.out + "/good.txt"), "good");
      EXPECT_EQ(readFile(box.out + "/after.txt"), "after");
    }
  }
}

TEST(MiniunzIntegrity, DamagedLinkIsNotCreated) {
  Workspace box;
  ZipEntrySpec link = linkEntry("lnk", "target.txt");
  link.damage = ZipEntrySpec::BadCrc;
  box.pack({fileEntry("target.txt", "t"), link});
  RunResult r = box.unpack();
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(modeOf(box.out + "/lnk"), 0u);
}

TEST(MiniunzIntegrity, CutOrInconsistentArchivesFail) {
  Workspace box;
  box.pack({fileEntry("a.txt", noise(5000, 1)), fileEntry("d/b.txt", "b"), dirEntry("e/")});
  const std::string whole = readFile(box.zip);
  // End record: 22 bytes, no comment; entry counts at offsets 8 and 10.
  const size_t end = whole.size() - 22;
  std::string extraEntry = whole;
  extraEntry[end + 8] = extraEntry[end + 10] = (char)(extraEntry[end + 8] + 1);
  std::vector<std::pair<std::string, std::string>> cases = {
      {"cut to nothing", ""},
      {"cut in the first header", whole.substr(0, 20)},
      {"cut in the middle", whole.substr(0, whole.size() / 2)},
      {"cut in the central directory", whole.substr(0, end - 10)},
      {"cut in the end record", whole.substr(0, whole.size() - 5)},
      {"one byte short", whole.substr(0, whole.size() - 1)},
      {"end record counts an extra entry", extraEntry},
  };
  for (const auto &[label, bytes] : cases) {
    std::ofstream(box.zip, std::ios::binary | std::ios::trunc) << bytes;
    RunResult r = box.unpack(true);
    EXPECT_EQ(r.exitCode, 1) << label << ": " << r.err;
    EXPECT_NE(r.err.find("miniunz: "), std::string::npos) << label;
  }
}

TEST(MiniunzIntegrity, WriteFailureIsAnErrorAndRemovesThePartialFile) {
  Workspace box;
  box.pack({fileEntry("small.txt", "small"), fileEntry("big.bin", noise(1 << 20, 3)),
            fileEntry("after.txt", "after")});
  // Past 64 KiB every write fails (EFBIG), as on a full disk.
  RunResult r = box.unpack(false, RunOptions{.fileSizeLimit = 64 * 1024});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("miniunz: big.bin: write: "), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(box.out + "/big.bin"));
  EXPECT_EQ(readFile(box.out + "/small.txt"), "small");
}

TEST(MiniunzIntegrity, MemoryStaysBoundedForLargeEntries) {
  constexpr size_t kLarge = 96u << 20;
  Workspace box;
  box.pack({fileEntry("tiny.txt", "t")});
  RunResult tiny = box.unpack();
  ASSERT_EQ(tiny.exitCode, 0) << tiny.err;
  // Built by repetition so that this process stays small: a forked child's
  // peak memory includes what it had before exec.
  ZipEntrySpec large = fileEntry("large.bin", std::string(1 << 20, 'z'));
  large.repeat = kLarge >> 20;
  box.pack({large});
  RunResult big = box.unpack();
  ASSERT_EQ(big.exitCode, 0) << big.err;
  EXPECT_EQ(fs::file_size(box.out + "/large.bin"), kLarge);
  EXPECT_LT(big.maxRssKiB - tiny.maxRssKiB, (long)(kLarge / 1024 / 3))
      << "peak memory grew with the entry: " << tiny.maxRssKiB << " KiB -> " << big.maxRssKiB
      << " KiB";
  fs::remove(box.out + "/large.bin"); // no need to keep it on disk
}

} // namespace
