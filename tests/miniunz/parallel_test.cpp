// Files are written on several threads and inflated whole or streamed by
// size: the result must be what writing them one after the other, in the
// archive's order, gives.
#include "extract_pool.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// Entries up to this size are inflated whole; larger ones are streamed.
constexpr size_t kWhole = 8u << 20;

const char kAbsent[] = "<absent>";
const char kDirectory[] = "<directory>";

// What `path` holds: kAbsent, kDirectory, "-> target" for a link, else the
// file's content.
std::string contentOf(const std::string &path)
{
    std::error_code ec;
    fs::file_status st = fs::symlink_status(path, ec);
    if (!fs::exists(st))
        return kAbsent;
    if (fs::is_symlink(st))
        return "-> " + fs::read_symlink(path).string();
    if (fs::is_directory(st))
        return kDirectory;
    return readFile(path);
}

ZipEntrySpec damaged(ZipEntrySpec e, ZipEntrySpec::Damage damage)
{
    e.damage = damage;
    return e;
}

struct OrderCase {
    const char *label;
    std::vector<ZipEntrySpec> entries;
    bool overwrite;
    int status;
    std::vector<std::pair<std::string, std::string>> expected; // path below out -> contentOf
};

TEST(MiniunzParallel, EntriesThatMeetKeepTheArchiveOrder)
{
    // Large first entries keep a worker busy while the later ones come in.
    const std::string big = noise(3 << 20, 11), bigger = noise(kWhole + 4096, 12);
    std::vector<ZipEntrySpec> many;
    for (int i = 0; i < 30; i++)
        many.push_back(fileEntry("same", i == 0 ? big : std::to_string(i)));
    const OrderCase cases[] = {
        {"a damaged file is gone before its duplicate comes",
         {damaged(fileEntry("dup", big), ZipEntrySpec::BadCrc), fileEntry("dup", "second")},
         false,
         1,
         {{"dup", "second"}}},
        {"a damaged streamed file is gone before its duplicate comes",
         {damaged(fileEntry("dup", bigger), ZipEntrySpec::LongSize), fileEntry("dup", "second")},
         false,
         1,
         {{"dup", "second"}}},
        {"the first of many duplicates stays without -o", many, false, 1, {{"same", big}}},
        {"the last of many duplicates wins with -o", many, true, 0, {{"same", "29"}}},
        {"a damaged file makes way for a directory of its name",
         {damaged(fileEntry("a", big), ZipEntrySpec::BadDeflate), fileEntry("a/x", "x")},
         false,
         1,
         {{"a/x", "x"}}},
        {"a file stands where a later entry needs a directory",
         {fileEntry("a", big), fileEntry("a/x", "x")},
         true,
         1,
         {{"a", big}, {"a/x", kAbsent}}},
        {"a link replaces a file with -o", {fileEntry("f", bigger), linkEntry("f", "g")}, true, 0, {{"f", "-> g"}}},
        {"a link cannot replace a directory that a file made",
         {fileEntry("d/x", big), linkEntry("d", "elsewhere")},
         true,
         1,
         {{"d", kDirectory}, {"d/x", big}}},
        {"a directory entry after its files still sets its mode",
         {fileEntry("d/x", big), fileEntry("d/y", "y"), dirEntry("d/", 0750)},
         false,
         0,
         {{"d/x", big}, {"d/y", "y"}}},
    };
    for (const OrderCase &c : cases) {
        SCOPED_TRACE(c.label);
        Workspace box;
        box.pack(c.entries);
        ProgramResult r = box.unpack(c.overwrite);
        EXPECT_EQ(r.status, c.status) << r.err;
        for (const auto &[path, want] : c.expected) {
            std::string got = contentOf(box.out + "/" + path);
            EXPECT_TRUE(got == want) << path << ": " << got.substr(0, 40) << " (" << got.size() << " bytes), not "
                                     << want.substr(0, 40) << " (" << want.size() << " bytes)";
        }
    }
    Workspace box;
    box.pack({fileEntry("d/x", "x"), dirEntry("d/", 0750)});
    ASSERT_EQ(box.unpack().status, 0);
    EXPECT_EQ(modeOf(box.out + "/d"), S_IFDIR | 0750u);
}

TEST(MiniunzParallel, ManyEntriesInManyDirectoriesUnpackExactly)
{
    struct Expected {
        std::string path, data;
        unsigned mode;
    };
    std::vector<Expected> files;
    const unsigned modes[] = {0644, 0755, 0600, 0444, 0750};
    for (unsigned i = 0; i < 400; i++) {
        std::string dir = "top" + std::to_string(i % 7) + "/sub" + std::to_string(i % 13);
        if (i % 5 == 0)
            dir += "/deep/er";
        std::string data = i % 3 ? noise(i * 97 % 50000, i) : std::string(i * 131, char('a' + i % 26));
        files.push_back({dir + "/f" + std::to_string(i), data, modes[i % 5]});
    }
    // Around the size up to which entries are inflated whole.
    files.push_back({"edge/whole", std::string(kWhole, 'w'), 0644});
    files.push_back({"edge/streamed", std::string(kWhole + 1, 's'), 0644});
    files.push_back({"edge/streamed-noise", noise(kWhole + 65536, 3), 0700});
    files.push_back({"edge/empty", "", 0644});
    std::vector<ZipEntrySpec> entries;
    for (const Expected &f : files)
        entries.push_back(fileEntry(f.path, f.data, f.mode));
    Workspace box;
    box.pack(entries);
    // A strict umask must not change the modes either.
    ProgramResult r = box.unpack(false, ProgramRun{.umask = 077});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const Expected &f : files) {
        EXPECT_TRUE(readFile(box.out + "/" + f.path) == f.data) << f.path;
        EXPECT_EQ(modeOf(box.out + "/" + f.path), S_IFREG | f.mode) << f.path;
    }
    EXPECT_EQ(modeOf(box.out + "/top3/sub5/deep"), S_IFDIR | 0755u);
}

ZipEntrySpec stored(const std::string &name, const std::string &data,
                    ZipEntrySpec::Damage damage = ZipEntrySpec::Intact)
{
    ZipEntrySpec e = damaged(fileEntry(name, data), damage);
    e.stored = true;
    return e;
}

TEST(MiniunzParallel, StoredEntriesAreCheckedLikeDeflatedOnes)
{
    const std::string small = "stored data", large = noise(kWhole + 100, 8);
    Workspace box;
    box.pack({stored("empty", ""), stored("small", small), stored("large", large),
              stored("short", small, ZipEntrySpec::LongSize), stored("badcrc", large, ZipEntrySpec::BadCrc),
              stored("badcrc-small", small, ZipEntrySpec::BadCrc)});
    ProgramResult r = box.unpack();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(readFile(box.out + "/empty"), "");
    EXPECT_EQ(readFile(box.out + "/small"), small);
    EXPECT_TRUE(readFile(box.out + "/large") == large);
    for (const char *bad : {"short", "badcrc", "badcrc-small"}) {
        EXPECT_FALSE(fs::exists(box.out + "/" + bad)) << bad;
        EXPECT_NE(r.err.find("miniunz: " + std::string(bad) + ": "), std::string::npos) << r.err;
    }
}

TEST(MiniunzParallel, ManyDirectoriesWithFewDescriptors)
{
    std::vector<ZipEntrySpec> entries;
    for (int i = 0; i < 300; i++)
        entries.push_back(fileEntry("d" + std::to_string(i) + "/sub/f", std::to_string(i)));
    Workspace box;
    box.pack(entries);
    ProgramResult r = box.unpack(false, ProgramRun{.openFilesLimit = 24});
    ASSERT_EQ(r.status, 0) << r.err;
    for (int i = 0; i < 300; i += 37)
        EXPECT_EQ(readFile(box.out + "/d" + std::to_string(i) + "/sub/f"), std::to_string(i));
    EXPECT_EQ(readFile(box.out + "/d299/sub/f"), "299");
}

TEST(MiniunzParallel, MemoryStaysBoundedWithManyWholeEntries)
{
    Workspace box;
    box.pack({fileEntry("tiny.txt", "t")});
    ProgramResult tiny = box.unpack();
    ASSERT_EQ(tiny.status, 0) << tiny.err;
    // Each entry is just small enough to be inflated whole.
    std::vector<ZipEntrySpec> entries;
    for (int i = 0; i < 12; i++) {
        ZipEntrySpec e = fileEntry("m" + std::to_string(i), std::string(1 << 20, char('a' + i)));
        e.repeat = kWhole >> 20;
        entries.push_back(e);
    }
    box.pack(entries);
    fs::remove_all(box.out);
    ProgramResult many = box.unpack();
    ASSERT_EQ(many.status, 0) << many.err;
    EXPECT_EQ(fs::file_size(box.out + "/m11"), kWhole);
#if !defined(__SANITIZE_ADDRESS__) // its shadow memory and quarantine inflate every figure
    // The workers' buffers are the only memory that grows with the entries;
    // all twelve results at once would be 96 MiB.
    PoolShape shape = poolShape(usableCpus());
    long budgetKiB = (long)(shape.workers * 2 * shape.bufferSize / 1024);
    EXPECT_LT(many.maxRssKiB - tiny.maxRssKiB, budgetKiB + 8 * 1024)
        << "peak memory " << tiny.maxRssKiB << " KiB -> " << many.maxRssKiB << " KiB";
    EXPECT_LT(many.maxRssKiB, 64 * 1024) << "the target is at most 64 MiB";
#endif
}

} // namespace
