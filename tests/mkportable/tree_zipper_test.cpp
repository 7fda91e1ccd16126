// Zipping a directory tree: contents, order, modes, links, reproducibility.
#include "mkportable/pack_error.h"
#include "mkportable/tree_zipper.h"
#include "mkportable/zip_output.h"
#include "mkportable/zip_timestamp.h"
#include "mkportable_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace mkptest;
using mkportable::PackError;

const uint32_t DEFAULT_TIME = mkportable::imageTimestamp(nullptr);

// What one entry of the image must look like.
struct ExpectedEntry {
    mode_t mode; // type bits and permissions
    int method;  // 0 stored, 8 deflated
    std::string data;
};

// A tree with every kind of entry, created in the order given, and what its
// image must hold, keyed (and so ordered) by entry name.
struct SampleTree {
    std::map<std::string, ExpectedEntry> entries;
};

SampleTree makeTree(const fs::path &root, bool reverseOrder)
{
    SampleTree tree;
    tree.entries = {
        {"Z", {S_IFREG | 0644, 8, "upper case sorts first\n"}},
        {"a.txt", {S_IFREG | 0600, 8, std::string(3000, 'x')}},
        {"a/", {S_IFDIR | 0755, 0, ""}},
        {"a/run.sh", {S_IFREG | 0755, 8, "#!/bin/sh\necho run\n"}},
        {"a/sub/", {S_IFDIR | 0750, 0, ""}},
        {"a/sub/empty", {S_IFREG | 0640, 8, ""}},
        {"dangling", {S_IFLNK | 0777, 0, "../outside/nothing"}},
        {"empty/", {S_IFDIR | 0700, 0, ""}},
        {"link", {S_IFLNK | 0777, 0, "a/run.sh"}},
        {"\xc3\xa9t\xc3\xa9.txt", {S_IFREG | 0644, 8, "non-ASCII names sort last\n"}},
    };
    makeDir(root);
    auto create = [&](const std::string &name, const ExpectedEntry &e) {
        const fs::path path = root / name;
        if (S_ISDIR(e.mode))
            makeDir(path, e.mode & 07777);
        else if (S_ISLNK(e.mode))
            fs::create_symlink(e.data, path);
        else
            put(path, e.data, e.mode & 07777);
    };
    // The creation order differs between calls, so that the order in which
    // the file system lists the entries may differ too. Missing parents are
    // created on the way and get their mode when their own turn comes.
    std::vector<std::pair<std::string, ExpectedEntry>> order(tree.entries.begin(),
                                                             tree.entries.end());
    if (reverseOrder)
        std::reverse(order.begin(), order.end());
    for (const auto &[name, e] : order)
        create(name, e);
    return tree;
}

// Zips `root` into `zipPath` and returns the archive bytes.
std::string zipToFile(const fs::path &root, const fs::path &zipPath, uint32_t time)
{
    int fd = open(zipPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw std::runtime_error("open " + zipPath.string());
    mkportable::zipTree(root, fd, zipPath.string(), time, PKG_MAX_FILE_SIZE);
    close(fd);
    return slurp(zipPath);
}

TEST(TreeZipper, StoresEveryEntrySortedWithModeLinkAndFixedHeaderFields)
{
    const fs::path dir = scratchDir();
    const SampleTree tree = makeTree(dir / "tree", false);
    zipToFile(dir / "tree", dir / "image.zip", DEFAULT_TIME);

    const std::vector<ZipEntry> entries = readZip(dir / "image.zip");
    std::vector<std::string> names;
    for (const ZipEntry &e : entries)
        names.push_back(e.name);
    std::vector<std::string> expectedNames;
    for (const auto &[name, e] : tree.entries)
        expectedNames.push_back(name); // std::map orders by byte value
    EXPECT_EQ(names, expectedNames);

    for (const ZipEntry &got : entries) {
        SCOPED_TRACE(got.name);
        auto it = tree.entries.find(got.name);
        ASSERT_NE(it, tree.entries.end());
        const ExpectedEntry &want = it->second;
        EXPECT_EQ(got.externalAttributes >> 16, want.mode);
        EXPECT_EQ(got.versionMadeBy >> 8, 3u) << "host must be Unix";
        EXPECT_EQ(got.method, want.method);
        EXPECT_EQ(got.data, want.data);
        EXPECT_EQ(got.dosDate, DEFAULT_TIME);
        EXPECT_EQ(got.centralExtraBytes, 0u);
        EXPECT_EQ(got.localExtraBytes, 0);
        EXPECT_EQ(got.commentBytes, 0u);
    }
}

TEST(TreeZipper, SameTreeGivesSameBytesWhateverItsHistory)
{
    const fs::path dir = scratchDir();
    makeTree(dir / "one", false);
    makeTree(dir / "two", true);
    const std::string first = zipToFile(dir / "one", dir / "first.zip", DEFAULT_TIME);
    // Host times must not leak in: touch everything of the first tree.
    for (const auto &entry : fs::recursive_directory_iterator(dir / "one"))
        if (!entry.is_symlink())
            fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::hours(48));
    EXPECT_EQ(zipToFile(dir / "one", dir / "again.zip", DEFAULT_TIME), first);
    EXPECT_EQ(zipToFile(dir / "two", dir / "second.zip", DEFAULT_TIME), first);

    const uint32_t other = mkportable::imageTimestamp("1700000000");
    EXPECT_NE(zipToFile(dir / "one", dir / "later.zip", other), first);
}

TEST(TreeZipper, RefusesWhatAnImageCannotHold)
{
    const fs::path dir = scratchDir();
    makeDir(dir / "fifo");
    ASSERT_EQ(mkfifo((dir / "fifo" / "pipe").c_str(), 0644), 0);
    put(dir / "file", "not a directory");
    makeDir(dir / "big");
    std::string noise(5000, '\0');
    uint32_t state = 12345;
    for (char &c : noise)
        c = char((state = state * 1103515245 + 12345) >> 24); // deflate cannot shrink it
    put(dir / "big" / "data", noise);

    const struct {
        const char *name;
        fs::path root;
        uint64_t limit;
        std::string message;
    } cases[] = {
        {"fifo", dir / "fifo", PKG_MAX_FILE_SIZE, (dir / "fifo" / "pipe").string() + " is a device, FIFO"},
        {"no directory", dir / "file", PKG_MAX_FILE_SIZE, "is not a directory"},
        {"missing", dir / "missing", PKG_MAX_FILE_SIZE, "No such file"},
        {"size limit", dir / "big", 1000, "would exceed 1000 bytes"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int fd = open((dir / "out.zip").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        try {
            mkportable::zipTree(c.root, fd, "out.zip", DEFAULT_TIME, c.limit);
            ADD_FAILURE() << "zipTree accepted it";
        } catch (const PackError &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        close(fd);
    }
}

// SOURCE_DATE_EPOCH values and the DOS time stamp each must give.
struct TimestampCase {
    const char *epoch;
    int year, month, day, hour, minute, second;
};

void PrintTo(const TimestampCase &c, std::ostream *os)
{
    *os << "SOURCE_DATE_EPOCH=" << (c.epoch ? c.epoch : "(unset)");
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

INSTANTIATE_TEST_SUITE_P(
    ZipTime, ImageTimestampTest,
    ::testing::Values(TimestampCase{nullptr, 1980, 1, 1, 0, 0, 0},
                      TimestampCase{"", 1980, 1, 1, 0, 0, 0},
                      TimestampCase{"0", 1980, 1, 1, 0, 0, 0},
                      TimestampCase{"315532801", 1980, 1, 1, 0, 0, 0},
                      TimestampCase{"951786061", 2000, 2, 29, 1, 1, 0},
                      TimestampCase{"1700000000", 2023, 11, 14, 22, 13, 20},
                      TimestampCase{"4354819199", 2107, 12, 31, 23, 59, 58},
                      TimestampCase{"99999999999", 2107, 12, 31, 23, 59, 58},
                      TimestampCase{"999999999999999999999999", 2107, 12, 31, 23, 59, 58}));

TEST(ImageTimestamp, RejectsWhatIsNoNumberOfSeconds)
{
    for (const char *bad : {"abc", "-5", "12.5", " 12", "1e9"}) {
        try {
            mkportable::imageTimestamp(bad);
            ADD_FAILURE() << bad << " accepted";
        } catch (const PackError &e) {
            EXPECT_NE(std::string(e.what()).find("SOURCE_DATE_EPOCH"), std::string::npos);
        }
    }
}

} // namespace
