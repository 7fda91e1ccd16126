// The zip writer against the zip reader that miniunz uses: trees zipped with
// zipwrite, at the start of a file or behind other bytes as an image sits in
// a package, read back with zipdir and inflated with zlib.
#include "common/fd_io.h"
#include "entry_rules.h"
#include "package_fixture.h"
#include "program.h"
#include "tree_zipper.h"
#include "zip_directory.h"
#include "zip_fixture.h"
#include "zip_region.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

namespace fs = std::filesystem;

// One object of the tree to zip; `data` is a link's target for a link.
struct TreeFile {
    std::string name; // ends in '/' for a directory
    mode_t mode;      // type bits and permissions
    std::string data;
    int method; // what the writer must choose: 0 stored, 8 deflated
};

// How a row writes its tree.
struct Writing {
    int level;
    unsigned workers;
    std::uint32_t dosTime;
    std::size_t prefix; // bytes in front of the archive
};

struct ZipCase {
    const char *label;
    Writing how;
    std::vector<TreeFile> files; // in byte order of their names
};

void PrintTo(const ZipCase &c, std::ostream *os)
{
    *os << c.label;
}

// Lines that repeat words from far back, so that each piece of a large
// entry refers into the one before it.
std::string text(std::size_t size)
{
    std::string out;
    for (std::size_t line = 0; out.size() < size; ++line)
        out += "line " + std::to_string(line % 4000) + " of " + std::to_string(line * 7919 % 997) + "\n";
    out.resize(size);
    return out;
}

const std::size_t WHOLE = mkportable::ZIP_WHOLE_ENTRY_BYTES;
const std::size_t PIECE = mkportable::ZIP_PIECE_BYTES;
// 1980-01-01 00:00:00 and 2107-12-31 23:59:58, the ends of the DOS range.
constexpr std::uint32_t FIRST_DOS_TIME = 0x00210000;
constexpr std::uint32_t LAST_DOS_TIME = 0xff9fbf7d;

const ZipCase CASES[] = {
    // Level 0 stores even text that would shrink.
    {"every_kind_stored",
     {mkportable::ZIP_LEVEL_STORED, 1, FIRST_DOS_TIME, 0},
     {{"bin/", S_IFDIR | 0750, "", 0},
      {"bin/tool", S_IFREG | 0755, text(4000), 0},
      {"empty", S_IFREG | 0600, "", 0},
      {"tool", S_IFLNK | 0777, "bin/tool", 0}}},
    // Offsets count from the archive's start, not the file's.
    {"deflated_and_stored_behind_other_bytes",
     {mkportable::ZIP_LEVEL_DEFAULT, 2, LAST_DOS_TIME, 4099},
     {{"a/", S_IFDIR | 0700, "", 0},
      {"a/log", S_IFREG | 0640, text(30000), 8},
      {"a/short", S_IFREG | 0644, "too short to shrink\n", 0},
      {"noise", S_IFREG | 0644, noise(5000, 7), 0}}},
    // Pieces deflated on several workers join into one stream and one CRC.
    {"large_entry_in_pieces",
     {mkportable::ZIP_LEVEL_DEFAULT, 3, FIRST_DOS_TIME, 0},
     {{"big", S_IFREG | 0644, text(WHOLE + 2 * PIECE + 1), 8}, {"link", S_IFLNK | 0777, "big", 0}}},
    // Pieces that do not shrink: the entry is written again, stored.
    {"large_noise_restarts_stored_behind_other_bytes",
     {mkportable::ZIP_LEVEL_DEFAULT, 2, LAST_DOS_TIME, 512},
     {{"big", S_IFREG | 0755, noise(WHOLE + PIECE / 2, 9), 0}, {"small", S_IFREG | 0644, text(2000), 8}}},
    // A level that only libdeflate has: pieces go to zlib at its highest.
    {"large_entry_at_the_highest_level",
     {mkportable::ZIP_LEVEL_MAX, 2, FIRST_DOS_TIME, 1},
     {{"big", S_IFREG | 0644, text(WHOLE + 1), 8}}},
};

void makeTree(const fs::path &root, const std::vector<TreeFile> &files)
{
    fs::create_directories(root);
    for (const TreeFile &f : files) {
        const fs::path path = root / f.name;
        if (S_ISLNK(f.mode)) {
            fs::create_symlink(f.data, path);
            continue;
        }
        if (S_ISDIR(f.mode))
            fs::create_directory(path);
        else
            writeFile(path, f.data);
        ASSERT_EQ(chmod(path.c_str(), f.mode & 07777), 0) << path;
    }
}

// The raw deflate stream `in` inflated to `size` bytes; fails the test when
// it ends early, goes on, or has bytes after its end.
std::string inflated(const std::string &in, std::size_t size)
{
    std::string out(size, '\0');
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -MAX_WBITS), Z_OK);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u) << "bytes after the end of the stream";
    EXPECT_EQ(z.total_out, size);
    inflateEnd(&z);
    return out;
}

class ZipWriteTest : public ::testing::TestWithParam<ZipCase> {};

TEST_P(ZipWriteTest, ReadsBackWithTheUnzipReader)
{
    const ZipCase &c = GetParam();
    const fs::path dir = scratchDir();
    makeTree(dir / "tree", c.files);
    const fs::path path = dir / "image.zip";
    writeFile(path, noise(c.how.prefix, 3));
    portable::UniqueFd fd(open(path.c_str(), O_RDWR));
    ASSERT_TRUE(fd.valid());
    const off_t start = lseek(fd.get(), 0, SEEK_END);
    ASSERT_EQ(start, off_t(c.how.prefix));
    const std::size_t count = mkportable::zipTree(dir / "tree", fd.get(), "image.zip", c.how.dosTime,
                                                  std::uint64_t(1) << 32, {c.how.level, c.how.workers, {}});
    ASSERT_EQ(count, c.files.size());

    const ZipSource src{fd.get(), c.how.prefix, fs::file_size(path) - c.how.prefix};
    ZipArchive archive;
    std::string why;
    ASSERT_TRUE(readZipArchive(src, archive, why)) << why;
    EXPECT_EQ(archive.skew, 0u) << "offsets recorded from the file's start, not the archive's";
    EXPECT_FALSE(archive.zip64);
    EXPECT_EQ(archive.entries, count);

    ZipDirectoryReader reader(src, archive);
    std::vector<ZipDataRange> ranges;
    ZipEntry entry;
    for (const TreeFile &want : c.files) {
        SCOPED_TRACE(want.name);
        ASSERT_TRUE(reader.next(entry, why)) << why;
        EXPECT_EQ(entry.name, want.name);
        CheckedEntry checked;
        EXPECT_EQ(checkEntry(entry, checked), "");
        EXPECT_EQ((unsigned long)(entry.versionMadeBy >> 8), kHostUnix);
        EXPECT_EQ(entry.externalAttrs >> 16, want.mode);
        EXPECT_EQ(unsigned(entry.flags), 0u) << "no data descriptor, no encryption";
        EXPECT_EQ(entry.method, want.method);
        EXPECT_EQ(entry.dosDateTime, c.how.dosTime);

        ZipDataRange range;
        ASSERT_TRUE(locateZipData(src, archive, entry, range, why)) << why;
        ranges.push_back(range);
        unsigned char localTime[4];
        ASSERT_TRUE(src.read(range.start + 10, localTime, sizeof localTime));
        EXPECT_EQ(getLe(std::string(localTime, localTime + 4), 0, 4), c.how.dosTime) << "local header";
        ASSERT_EQ(range.end - range.dataOffset, entry.compressedSize);
        std::string stored(entry.compressedSize, '\0');
        ASSERT_TRUE(src.read(range.dataOffset, stored.data(), stored.size()));
        const std::string data = entry.method == kMethodDeflated ? inflated(stored, entry.size) : stored;
        EXPECT_EQ(entry.size, want.data.size());
        EXPECT_TRUE(data == want.data) << "the data differ";
        EXPECT_EQ(entry.crc, crc32(0, reinterpret_cast<const Bytef *>(data.data()), uInt(data.size())));
    }
    EXPECT_FALSE(reader.next(entry, why)) << "an entry more than the tree holds: " << entry.name;
    EXPECT_EQ(why, "");
    EXPECT_EQ(findZipOverlap(ranges).first, std::size_t(-1)) << "two entries share bytes";

    // The reader of images inside packages finds no fault either.
    std::vector<std::string> problems;
    mkportable::ZipRegion region(fd.get(), src.base, src.size, "image.zip");
    EXPECT_EQ(region.check(problems, true), count);
    EXPECT_TRUE(problems.empty()) << problems.front();
}

INSTANTIATE_TEST_SUITE_P(Trees, ZipWriteTest, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<ZipCase> &row) { return std::string(row.param.label); });

} // namespace
