// Zipping a directory tree: contents, order, modes, links, reproducibility,
// compression levels, large entries in pieces on parallel workers, and the
// one time stamp every entry carries.
#include "mkportable_test_support.h"
#include "tree_zipper.h"
#include "zip_output.h"
#include "zip_timestamp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace mkptest;
using namespace std::chrono_literals;

const uint32_t DEFAULT_TIME = mkportable::imageTimestamp(nullptr);

// What one entry of the image must hold.
struct Expected {
    mode_t mode; // type bits and permissions
    int method;  // at levels 1 and up: 0 stored, 8 deflated; at level 0 all are stored
    std::string data;
};

// Every kind of entry, keyed and so ordered by name in byte order: upper
// case before lower, '.' before '/', non-ASCII last.
const std::map<std::string, Expected> TREE = {
    // Short texts and empty files do not shrink: stored.
    {"Z", {S_IFREG | 0644, 0, "upper case sorts first\n"}},
    {"a.txt", {S_IFREG | 0600, 8, std::string(3000, 'x')}},
    {"a/", {S_IFDIR | 0755, 0, ""}},
    {"a/run.sh", {S_IFREG | 0755, 8, "#!/bin/sh\necho run\necho run\necho run\necho run\necho run\necho run\n"}},
    {"a/sub/", {S_IFDIR | 0750, 0, ""}},
    {"a/sub/empty", {S_IFREG | 0640, 0, ""}},
    {"dangling", {S_IFLNK | 0777, 0, "../outside/nothing"}},
    {"empty/", {S_IFDIR | 0700, 0, ""}},
    {"link", {S_IFLNK | 0777, 0, "a/run.sh"}},
    // Around the first 4 KiB, which decide alone when they shrink: what the
    // whole entry does is what counts.
    {"mixed/", {S_IFDIR | 0755, 0, ""}},
    {"mixed/noise-4096", {S_IFREG | 0644, 0, noise(4096, 3)}},
    {"mixed/noise-4097", {S_IFREG | 0644, 0, noise(4097, 4)}},
    {"mixed/noise-then-text", {S_IFREG | 0644, 8, noise(4096, 5) + std::string(20000, 'x')}},
    {"mixed/text-then-noise", {S_IFREG | 0644, 8, std::string(4097, 'x') + noise(60000, 6)}},
    {"\xc3\xa9t\xc3\xa9.txt", {S_IFREG | 0644, 0, "non-ASCII names sort last\n"}},
};

// Creates TREE under `root`, in name order or in reverse, so that the order
// in which the file system lists entries may differ between two copies.
void makeTree(const fs::path &root, bool reverse)
{
    std::vector<std::pair<std::string, Expected>> order(TREE.begin(), TREE.end());
    if (reverse)
        std::reverse(order.begin(), order.end());
    for (const auto &[name, e] : order) {
        if (S_ISDIR(e.mode))
            makeDir(root / name, e.mode & 07777);
        else if (S_ISLNK(e.mode))
            fs::create_symlink(e.data, root / name);
        else
            put(root / name, e.data, e.mode & 07777);
    }
}

// Zips `root` with `time` into `zipPath` and returns the archive's bytes.
std::string zipTo(const fs::path &root, const fs::path &zipPath, uint32_t time, uint64_t limit = PKG_MAX_FILE_SIZE,
                  const mkportable::ZipSettings &settings = {})
{
    int fd = open(zipPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    try {
        mkportable::zipTree(root, fd, zipPath.string(), time, limit, settings);
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
    return readFile(zipPath);
}

TEST(TreeZipper, StoresEveryEntrySortedWithModeLinkAndFixedHeaderFields)
{
    const fs::path dir = scratchDir();
    makeTree(dir / "tree", false);
    std::vector<std::string> expectedNames;
    for (const auto &entry : TREE)
        expectedNames.push_back(entry.first);

    for (int level : {mkportable::ZIP_LEVEL_STORED, 1, mkportable::ZIP_LEVEL_DEFAULT, mkportable::ZLIB_LEVEL_MAX,
                      mkportable::ZIP_LEVEL_MAX}) {
        SCOPED_TRACE("level " + std::to_string(level));
        zipTo(dir / "tree", dir / "image.zip", DEFAULT_TIME, PKG_MAX_FILE_SIZE, {level, 0, {}});
        std::vector<std::string> names;
        for (const ZipEntry &got : readZip(dir / "image.zip")) {
            names.push_back(got.name);
            ASSERT_TRUE(TREE.count(got.name)) << got.name;
            const Expected &want = TREE.at(got.name);
            EXPECT_EQ(got.externalAttributes >> 16, want.mode) << got.name;
            EXPECT_EQ(got.versionMadeBy >> 8, 3u) << got.name << ": host must be Unix";
            EXPECT_EQ(got.method, level == 0 ? 0 : want.method) << got.name;
            EXPECT_EQ(got.data, want.data) << got.name;
            EXPECT_EQ(got.dosDate, DEFAULT_TIME) << got.name;
            EXPECT_EQ(got.extraBytes, 0u) << got.name;
        }
        EXPECT_EQ(names, expectedNames);
    }
}

// Compressible text: lines that repeat words from far back, so that
// pieces of a large entry refer into the piece before them.
std::string text(std::size_t size)
{
    std::string out;
    for (std::size_t line = 0; out.size() < size; ++line)
        out += "line " + std::to_string(line % 5000) + " of the log, entry " + std::to_string(line * 7919 % 1000) +
               "\n";
    out.resize(size);
    return out;
}

TEST(TreeZipper, EntriesAroundTheBufferBoundRoundTripTheSameWhateverTheWorkers)
{
    const std::size_t whole = mkportable::ZIP_WHOLE_ENTRY_BYTES;
    const std::size_t piece = mkportable::ZIP_PIECE_BYTES;
    // name: data, method at levels 1 and up
    const std::map<std::string, std::pair<std::string, int>> files = {
        {"at-bound", {text(whole), 8}},
        {"below-bound", {text(whole - 1), 8}},
        {"one-byte-piece", {text(whole + 1), 8}},              // the last piece holds one byte
        {"whole-pieces", {text(whole + 2 * piece), 8}},        // ends on a piece boundary
        {"noise-in-pieces", {noise(whole + piece / 2, 1), 0}}, // deflated, then stored
        // Pieces that do not shrink go in stored blocks of the same stream,
        // in the middle and at the end.
        {"noise-between-text", {text(whole) + noise(piece, 3) + text(piece / 2), 8}},
        {"noise-last", {text(whole) + noise(piece / 3, 4), 8}},
        {"noise", {noise(1000, 2), 0}},
    };
    const fs::path dir = scratchDir();
    for (const auto &[name, file] : files)
        put(dir / "tree" / name, file.first);
    std::uint64_t total = 0;
    for (const auto &[name, file] : files)
        total += file.first.size();

    for (int level : {mkportable::ZIP_LEVEL_STORED, mkportable::ZIP_LEVEL_DEFAULT}) {
        SCOPED_TRACE("level " + std::to_string(level));
        const std::string one = zipTo(dir / "tree", dir / "one.zip", DEFAULT_TIME, PKG_MAX_FILE_SIZE, {level, 1, {}});
        std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
        const mkportable::ZipSettings many{
            level, 3, [&seen](std::uint64_t done, std::uint64_t all) { seen.emplace_back(done, all); }};
        EXPECT_EQ(zipTo(dir / "tree", dir / "many.zip", DEFAULT_TIME, PKG_MAX_FILE_SIZE, many), one);
        std::size_t count = 0;
        for (const ZipEntry &got : readZip(dir / "many.zip")) {
            ASSERT_TRUE(files.count(got.name)) << got.name;
            EXPECT_TRUE(got.data == files.at(got.name).first) << got.name;
            EXPECT_EQ(got.method, level == 0 ? 0 : files.at(got.name).second) << got.name;
            ++count;
        }
        EXPECT_EQ(count, files.size());
        // Progress rises from nothing to everything, in order.
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front(), std::make_pair(std::uint64_t(0), total));
        EXPECT_EQ(seen.back(), std::make_pair(total, total));
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    }
}

TEST(ZipOutput, HoldsAtMostTheEntriesItsEndRecordCounts)
{
    const fs::path path = fs::path(scratchDir()) / "many.zip";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    {
        mkportable::ZipOutput zip(fd, "many.zip", DEFAULT_TIME, PKG_MAX_FILE_SIZE);
        for (std::size_t i = 0; i < mkportable::ZIP_MAX_ENTRIES; ++i) {
            zip.beginEntry(std::to_string(i) + "/", S_IFDIR | 0755, {});
            zip.endEntry({});
        }
        expectPackError([&] { zip.beginEntry("one more/", S_IFDIR | 0755, {}); },
                        "many.zip would hold 65536 entries, more than the 65535 that an image "
                        "can hold");
        zip.finish();
    }
    close(fd);
    EXPECT_EQ(readZip(path).size(), mkportable::ZIP_MAX_ENTRIES);
}

TEST(TreeZipper, SameTreeGivesSameBytesWhateverItsHistory)
{
    const fs::path dir = scratchDir();
    makeTree(dir / "one", false);
    makeTree(dir / "two", true);
    const std::string first = zipTo(dir / "one", dir / "first.zip", DEFAULT_TIME);
    // Host times must not leak in.
    for (const auto &entry : fs::recursive_directory_iterator(dir / "one"))
        if (!entry.is_symlink())
            fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - 48h);
    EXPECT_EQ(zipTo(dir / "one", dir / "again.zip", DEFAULT_TIME), first);
    EXPECT_EQ(zipTo(dir / "two", dir / "second.zip", DEFAULT_TIME), first);
    EXPECT_NE(zipTo(dir / "one", dir / "later.zip", mkportable::imageTimestamp("1700000000")), first);
}

TEST(TreeZipper, RefusesWhatAnImageCannotHold)
{
    const fs::path dir = scratchDir();
    makeDir(dir / "fifo");
    ASSERT_EQ(mkfifo((dir / "fifo" / "pipe").c_str(), 0644), 0);
    put(dir / "file", "not a directory");
    put(dir / "big" / "data", noise(5000, 12345)); // deflate cannot shrink it below the limit

    auto zip = [&](const char *root, uint64_t limit) {
        return [=] { zipTo(dir / root, dir / "out.zip", DEFAULT_TIME, limit); };
    };
    expectPackError(zip("fifo", PKG_MAX_FILE_SIZE), (dir / "fifo" / "pipe").string() + " is a device, FIFO or socket");
    expectPackError(zip("file", PKG_MAX_FILE_SIZE), "is not a directory");
    expectPackError(zip("missing", PKG_MAX_FILE_SIZE), "No such file");
    expectPackError(zip("big", 1000), "would exceed 1000 bytes");
}

// SOURCE_DATE_EPOCH values and the DOS time stamp that each must give.
struct TimestampCase {
    const char *epoch;
    int year, month, day, hour, minute, second;
};
void PrintTo(const TimestampCase &c, std::ostream *os)
{
    *os << (c.epoch ? c.epoch : "unset");
}

class ImageTimestampTest : public ::testing::TestWithParam<TimestampCase> {};

TEST_P(ImageTimestampTest, ClampsToTheZipRange)
{
    const TimestampCase &c = GetParam();
    const uint32_t t = mkportable::imageTimestamp(c.epoch);
    EXPECT_EQ(int(t >> 25) + 1980, c.year);
    EXPECT_EQ(int(t >> 21 & 0xf), c.month);
    EXPECT_EQ(int(t >> 16 & 0x1f), c.day);
    EXPECT_EQ(int(t >> 11 & 0x1f), c.hour);
    EXPECT_EQ(int(t >> 5 & 0x3f), c.minute);
    EXPECT_EQ(int(t & 0x1f) * 2, c.second);
}

INSTANTIATE_TEST_SUITE_P(ZipTime, ImageTimestampTest,
                         ::testing::Values(TimestampCase{nullptr, 1980, 1, 1, 0, 0, 0},
                                           TimestampCase{"", 1980, 1, 1, 0, 0, 0},
                                           TimestampCase{"315532801", 1980, 1, 1, 0, 0, 0},
                                           TimestampCase{"951786061", 2000, 2, 29, 1, 1, 0},
                                           TimestampCase{"1700000000", 2023, 11, 14, 22, 13, 20},
                                           TimestampCase{"4354819199", 2107, 12, 31, 23, 59, 58},
                                           TimestampCase{"999999999999999999999999", 2107, 12, 31, 23, 59, 58}));

TEST(ImageTimestamp, RejectsWhatIsNoNumberOfSeconds)
{
    for (const char *bad : {"abc", "-5", "12.5", " 12", "1e9"})
        expectPackError([=] { mkportable::imageTimestamp(bad); }, "SOURCE_DATE_EPOCH");
}

} // namespace
