// Damaged archives never succeed, a damaged or unwritable entry leaves no
// file behind, and memory stays bounded whatever an entry's size.
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

TEST(MiniunzIntegrity, DamagedEntriesFailAndLeaveNoFile)
{
    const ZipEntrySpec::Damage damages[] = {ZipEntrySpec::BadCrc, ZipEntrySpec::ShortSize, ZipEntrySpec::LongSize,
                                            ZipEntrySpec::BadDeflate};
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
            ProgramResult r = box.unpack(overwrite);
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_NE(r.err.find("miniunz: sub/bad.bin: "), std::string::npos) << r.err;
            EXPECT_FALSE(fs::exists(box.out + "/sub/bad.bin"));
            EXPECT_EQ(readFile(box.out + "/good.txt"), "good");
            EXPECT_EQ(readFile(box.out + "/after.txt"), "after");
            // The test mode finds the same damage and writes nothing.
            fs::remove_all(box.out);
            ProgramResult t = runMiniunz({"-t", "image.zip"}, box.root);
            EXPECT_EQ(t.status, 1) << t.err;
            EXPECT_NE(t.err.find("miniunz: sub/bad.bin: "), std::string::npos) << t.err;
            EXPECT_FALSE(fs::exists(box.out));
        }
    }
}

TEST(MiniunzIntegrity, TestModeReadsEverythingAndWritesNothing)
{
    Workspace box;
    ZipEntrySpec badLink = linkEntry("up", "../../outside");
    box.pack({fileEntry("a.txt", noise(300 * 1024, 3)), dirEntry("d/"), linkEntry("d/l", "../a.txt"),
              fileEntry("big.bin", noise((8 << 20) + 17, 4))});
    const std::set<std::string> before = box.outsideTarget();
    ProgramResult ok = runMiniunz({"-t", "image.zip"}, box.root);
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(box.outsideTarget(), before);
    EXPECT_FALSE(fs::exists(box.out));
    box.pack({fileEntry("a.txt", "a"), badLink});
    ProgramResult refused = runMiniunz({"-t", "image.zip"}, box.root);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("miniunz: up: refused link to '../../outside'"), std::string::npos) << refused.err;
}

TEST(MiniunzIntegrity, DamagedLinkIsNotCreated)
{
    Workspace box;
    ZipEntrySpec link = linkEntry("lnk", "target.txt");
    link.damage = ZipEntrySpec::BadCrc;
    box.pack({fileEntry("target.txt", "t"), link});
    ProgramResult r = box.unpack();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(modeOf(box.out + "/lnk"), 0u);
}

TEST(MiniunzIntegrity, CutOrInconsistentArchivesFail)
{
    Workspace box;
    box.pack({fileEntry("a.txt", noise(5000, 1)), fileEntry("d/b.txt", "b"), dirEntry("e/")});
    const std::string whole = readFile(box.zip);
    const size_t end = zipLayout(whole).end;
    std::vector<std::pair<std::string, std::string>> cases = {
        {"cut to nothing", ""},
        {"cut in the first header", whole.substr(0, 20)},
        {"cut in the middle", whole.substr(0, whole.size() / 2)},
        {"cut in the central directory", whole.substr(0, end - 10)},
        {"cut in the end record", whole.substr(0, whole.size() - 5)},
        {"one byte short", whole.substr(0, whole.size() - 1)},
    };
    for (const auto &[label, bytes] : cases) {
        std::ofstream(box.zip, std::ios::binary | std::ios::trunc) << bytes;
        ProgramResult r = box.unpack(true);
        EXPECT_EQ(r.status, 1) << label << ": " << r.err;
        EXPECT_NE(r.err.find("miniunz: "), std::string::npos) << label;
    }
}

// Each row edits a sound archive of three entries; the central directory is
// walked by its recorded size, whatever the end record counts.
TEST(MiniunzIntegrity, CentralDirectoryShapes)
{
    using Edit = std::function<void(std::string &, const ZipLayout &)>;
    struct Case {
        const char *label;
        Edit edit;
        int status;
        std::string err; // "ZIP" stands for the archive's path
        std::vector<std::string> unpacked;
    };
    const std::vector<Case> cases = {
        {"end record counts 1 of 3",
         [](std::string &b, const ZipLayout &z) { putLe(b, z.end + 8, 2, 1), putLe(b, z.end + 10, 2, 1); },
         0,
         "miniunz: ZIP: warning: the end record counts 1 entries, the central "
         "directory holds 3; "
         "unpacking all 3\n",
         {"a.txt", "b.txt", "e"}},
        {"end record counts 4 of 3",
         [](std::string &b, const ZipLayout &z) { putLe(b, z.end + 8, 2, 4), putLe(b, z.end + 10, 2, 4); },
         0,
         "miniunz: ZIP: warning: the end record counts 4 entries, the central "
         "directory holds 3; "
         "unpacking all 3\n",
         {"a.txt", "b.txt", "e"}},
        {"two entries share one local header",
         [](std::string &b, const ZipLayout &z) { putLe(b, z.central[1] + 42, 4, z.local[0]); },
         1,
         "miniunz: ZIP: refused: the entries a.txt and b.txt overlap in the "
         "archive (a zip bomb?)\n",
         {}},
        {"a local header inside another entry's data",
         [](std::string &b, const ZipLayout &z) {
             // A copy of b.txt's local header and data, planted in a.txt's data.
             b.replace(z.local[0] + 40, z.local[2] - z.local[1], b, z.local[1], z.local[2] - z.local[1]);
             putLe(b, z.central[1] + 42, 4, z.local[0] + 40);
         },
         1,
         "miniunz: ZIP: refused: the entries a.txt and b.txt overlap in the "
         "archive (a zip bomb?)\n",
         {}},
        {"data recorded to run into the central directory",
         [](std::string &b, const ZipLayout &z) { putLe(b, z.central[0] + 20, 4, z.directory); },
         1,
         "miniunz: a.txt: the entry's data runs into the central directory\n",
         {"b.txt", "e"}},
        {"no local header where the directory places it",
         [](std::string &b, const ZipLayout &z) { putLe(b, z.central[1] + 42, 4, z.local[1] + 1); },
         1,
         "miniunz: b.txt: no local header where the central directory places "
         "it\n",
         {"a.txt", "e"}},
        {"an archive comment cut short",
         [](std::string &b, const ZipLayout &z) {
             putLe(b, z.end + 20, 2, 64);
             b += "fewer than the 64 bytes recorded";
         },
         0,
         "",
         {"a.txt", "b.txt", "e"}},
        {"a stub in front of the archive",
         [](std::string &b, const ZipLayout &) { b.insert(0, 999, '#'); },
         0,
         "",
         {"a.txt", "b.txt", "e"}},
    };
    const std::string a = noise(5000, 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Workspace box;
        box.pack({fileEntry("a.txt", a), fileEntry("b.txt", "b"), dirEntry("e/")});
        std::string bytes = readFile(box.zip);
        c.edit(bytes, zipLayout(bytes));
        writeFile(box.zip, bytes);
        ProgramResult r = box.unpack();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, std::regex_replace(c.err, std::regex("ZIP"), box.zip));
        const std::set<std::string> unpacked(c.unpacked.begin(), c.unpacked.end());
        EXPECT_EQ(fs::exists(box.out + "/a.txt") && readFile(box.out + "/a.txt") == a, unpacked.count("a.txt") == 1);
        EXPECT_EQ(fs::exists(box.out + "/b.txt"), unpacked.count("b.txt") == 1);
        EXPECT_EQ(fs::is_directory(box.out + "/e"), unpacked.count("e") == 1);
    }
}

// A write that fails stops the run with one message naming the target and the
// space the archive needs; an archive recorded larger than the free space is
// refused before anything is written. Files left behind are complete.
TEST(MiniunzIntegrity, WriteFailureStopsTheRunWithOneMessage)
{
    struct Case {
        const char *label;
        std::vector<ZipEntrySpec> entries;
        rlim_t fileSizeLimit; // RLIM_INFINITY: into a tmpfs of `tmpfsSize` instead
        const char *tmpfsSize;
        std::string err; // a regular expression; "OUT" stands for the target
    };
    std::vector<ZipEntrySpec> smallFiles;
    for (int i = 0; i < 400; i++)
        smallFiles.push_back(fileEntry("f" + std::to_string(i), noise(1000, (unsigned)i)));
    const std::vector<Case> cases = {
        // Past 64 KiB every write fails (EFBIG).
        {"file size limit",
         {fileEntry("small.txt", "small"), fileEntry("big.bin", noise(1 << 20, 3)), fileEntry("after.txt", "after")},
         64 * 1024,
         "",
         "miniunz: big\\.bin: write: File too large; unpacking stops: OUT needs "
         "1048586 bytes "
         "for the whole archive\n"},
        // 400 files of 1000 bytes fit the recorded sizes but take a page each.
        {"a full tmpfs", smallFiles, RLIM_INFINITY, "512k",
         "miniunz: f[0-9]+: write: No space left on device; unpacking stops: OUT "
         "needs 400000 "
         "bytes for the whole archive\n"},
        {"recorded sizes larger than the free space",
         {fileEntry("a", noise(200000, 1)), fileEntry("b", noise(200000, 2))},
         RLIM_INFINITY,
         "256k",
         "miniunz: OUT: not enough space: the archive needs 400000 bytes, 262144 "
         "bytes are "
         "free\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Workspace box;
        box.pack(c.entries);
        ProgramResult r;
        std::string out = box.out, inspected;
        if (c.fileSizeLimit != RLIM_INFINITY) {
            r = box.unpack(false, ProgramRun{.fileSizeLimit = c.fileSizeLimit});
        } else {
            out = "/tmp/small/out";
            SandboxRun run;
            run.argv = {MINIUNZ_BIN, box.zip, "-d", out};
            run.setup = std::string("mkdir /tmp/small && mount -t tmpfs -o size=") + c.tmpfsSize + " tmpfs /tmp/small";
            // Every file left must be whole: names and sizes against the archive.
            run.inspect = "cd " + out +
                          " && for f in *; do [ -f \"$f\" ] && stat -c '%n %s' \"$f\"; "
                          "done; true";
            SandboxResult s = runSandboxed(box.root, run);
            r = s;
            inspected = s.inspected;
        }
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(std::regex_match(r.err, std::regex(std::regex_replace(c.err, std::regex("OUT"), out)))) << r.err;
        if (c.fileSizeLimit != RLIM_INFINITY) {
            EXPECT_FALSE(fs::exists(box.out + "/big.bin"));
            EXPECT_EQ(readFile(box.out + "/small.txt"), "small");
            continue;
        }
        std::istringstream lines(inspected);
        std::string name;
        size_t size = 0, files = 0;
        while (lines >> name >> size) {
            EXPECT_EQ(size, 1000u) << name;
            files++;
        }
        EXPECT_LT(files, c.entries.size());
    }
}

TEST(MiniunzIntegrity, MemoryStaysBoundedForLargeEntries)
{
    constexpr size_t kLarge = 96u << 20;
    Workspace box;
    box.pack({fileEntry("tiny.txt", "t")});
    ProgramResult tiny = box.unpack();
    ASSERT_EQ(tiny.status, 0) << tiny.err;
    // Built by repetition so that this process stays small: a forked child's
    // peak memory includes what it had before exec.
    ZipEntrySpec large = fileEntry("large.bin", std::string(1 << 20, 'z'));
    large.repeat = kLarge >> 20;
    box.pack({large});
    ProgramResult big = box.unpack();
    ASSERT_EQ(big.status, 0) << big.err;
    EXPECT_EQ(fs::file_size(box.out + "/large.bin"), kLarge);
    EXPECT_LT(big.maxRssKiB - tiny.maxRssKiB, (long)(kLarge / 1024 / 3))
        << "peak memory grew with the entry: " << tiny.maxRssKiB << " KiB -> " << big.maxRssKiB << " KiB";
    fs::remove(box.out + "/large.bin"); // no need to keep it on disk
}

} // namespace
