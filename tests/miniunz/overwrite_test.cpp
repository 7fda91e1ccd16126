// What happens to names that already exist: kept without -o, replaced by a
// new file with -o, and never written through.
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

struct ExistingCase {
    const char *label;
    std::function<void(const Workspace &)> prepare; // makes out/f before the run
    bool overwrite;
    int status;
    unsigned fType;       // S_IFMT of out/f after the run
    const char *fContent; // content of out/f after the run, if a file
};

void oldFile(const Workspace &b)
{
    std::ofstream(b.out + "/f") << "old";
}
void hardLinkOutside(const Workspace &b)
{
    fs::create_hard_link(b.outside + "/victim", b.out + "/f");
}
void linkOutside(const Workspace &b)
{
    fs::create_symlink("../outside/victim", b.out + "/f");
}
void danglingLink(const Workspace &b)
{
    fs::create_symlink("../outside/new", b.out + "/f");
}
void directory(const Workspace &b)
{
    fs::create_directories(b.out + "/f/keep");
}

const ExistingCase kExisting[] = {
    {"file kept", oldFile, false, 1, S_IFREG, "old"},
    {"file replaced", oldFile, true, 0, S_IFREG, "new"},
    {"hard link kept", hardLinkOutside, false, 1, S_IFREG, "victim"},
    {"hard link replaced", hardLinkOutside, true, 0, S_IFREG, "new"},
    {"link kept", linkOutside, false, 1, S_IFLNK, nullptr},
    {"link replaced", linkOutside, true, 0, S_IFREG, "new"},
    {"dangling link replaced", danglingLink, true, 0, S_IFREG, "new"},
    {"directory kept", directory, true, 1, S_IFDIR, nullptr},
};

TEST(MiniunzOverwrite, ExistingNames)
{
    for (const ExistingCase &c : kExisting) {
        SCOPED_TRACE(c.label);
        Workspace box;
        box.pack({fileEntry("f", "new", 0600), fileEntry("g", "g")});
        fs::create_directory(box.out);
        std::ofstream(box.outside + "/victim") << "victim";
        c.prepare(box);
        auto before = box.outsideTarget();
        ProgramResult r = box.unpack(c.overwrite);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status != 0) {
            EXPECT_NE(r.err.find("miniunz: f: "), std::string::npos) << r.err;
        }
        EXPECT_EQ(modeOf(box.out + "/f") & S_IFMT, c.fType);
        if (c.fContent) {
            EXPECT_EQ(readFile(box.out + "/f"), c.fContent);
        }
        if (c.fContent && c.overwrite) {
            EXPECT_EQ(modeOf(box.out + "/f") & 07777, 0600u) << "the new file has the entry's mode";
        }
        EXPECT_EQ(box.outsideTarget(), before);
        EXPECT_EQ(readFile(box.out + "/g"), "g");
    }
}

TEST(MiniunzOverwrite, DuplicateEntriesObeyTheSameRule)
{
    for (bool overwrite : {false, true}) {
        Workspace box;
        box.pack({fileEntry("dup", "first"), linkEntry("ln", "dup"), fileEntry("dup", "second"),
                  linkEntry("ln", "other"), dirEntry("d/"), dirEntry("d/")});
        ProgramResult r = box.unpack(overwrite);
        EXPECT_EQ(r.status, overwrite ? 0 : 1) << r.err;
        EXPECT_EQ(readFile(box.out + "/dup"), overwrite ? "second" : "first");
        EXPECT_EQ(fs::read_symlink(box.out + "/ln"), overwrite ? "other" : "dup");
    }
}

TEST(MiniunzOverwrite, DirectoryEntryOverAnExistingFile)
{
    for (bool overwrite : {false, true}) {
        Workspace box;
        box.pack({dirEntry("d/", 0750), fileEntry("d/x", "x")});
        fs::create_directory(box.out);
        std::ofstream(box.out + "/d") << "old";
        ProgramResult r = box.unpack(overwrite);
        EXPECT_EQ(r.status, overwrite ? 0 : 1) << r.err;
        if (overwrite) {
            EXPECT_EQ(modeOf(box.out + "/d"), S_IFDIR | 0750u);
            EXPECT_EQ(readFile(box.out + "/d/x"), "x");
        } else {
            EXPECT_EQ(readFile(box.out + "/d"), "old");
        }
    }
}

// The launcher unpacks image.zip next to the running miniunz; entries of
// those names replace them while the archive and program go on undisturbed.
TEST(MiniunzOverwrite, EntriesNamedLikeTheArchiveAndTheProgram)
{
    for (bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "with -o" : "without -o");
        Workspace box;
        fs::copy_file(MINIUNZ_BIN, box.root + "/miniunz");
        // Read from the archive only after image.zip has been replaced.
        const std::string after = noise(200 * 1024, 5);
        box.pack({fileEntry("image.zip", "inner archive"), fileEntry("miniunz", "#!/bin/sh\n", 0755),
                  fileEntry("after.txt", after)});
        std::string archive = readFile(box.zip);
        ProgramResult r = runMiniunz(overwrite ? std::vector<std::string>{"-o", "image.zip"}
                                               : std::vector<std::string>{"image.zip"},
                                     box.root, ProgramRun{.argv = {box.root + "/miniunz"}});
        EXPECT_EQ(r.status, overwrite ? 0 : 1) << r.err;
        EXPECT_EQ(readFile(box.zip), overwrite ? "inner archive" : archive);
        EXPECT_EQ(readFile(box.root + "/miniunz") == "#!/bin/sh\n", overwrite);
        EXPECT_TRUE(readFile(box.root + "/after.txt") == after);
    }
}

} // namespace
