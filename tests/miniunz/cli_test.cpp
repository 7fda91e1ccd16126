// The command line the launcher uses, and what a bad one does.
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

TEST(MiniunzCli, BadCommandLinesPrintUsageAndFail)
{
    Workspace box;
    box.pack({fileEntry("f.txt", "data")});
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-x", box.zip},
        {box.zip, "--overwrite"},
        {box.zip, "-d"},
        {"-d", box.out},
        {box.zip, box.zip},
        {"-d", box.out, "-d", box.out, box.zip},
    };
    for (const auto &args : cases) {
        ProgramResult r = runMiniunz(args, box.root);
        std::string shown;
        for (const std::string &a : args)
            shown += " " + a;
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_NE(r.err.find("usage: miniunz"), std::string::npos) << shown << ": " << r.err;
        EXPECT_FALSE(std::filesystem::exists(box.out)) << shown;
    }
}

TEST(MiniunzCli, OptionsBeforeOrAfterTheArchive)
{
    Workspace box;
    box.pack({fileEntry("f.txt", "data"), fileEntry("sub/g.txt", "more")});
    const std::vector<std::vector<std::string>> layouts = {
        {"-o", "image.zip", "-d", "@DIR@"}, {"image.zip", "-o", "-d", "@DIR@"}, {"image.zip", "-d", "@DIR@", "-o"},
        {"-d", "@DIR@", "image.zip"},       {"-d", "@DIR@", "--", "image.zip"},
    };
    int n = 0;
    for (auto args : layouts) {
        // Each run gets a directory two levels below one that does not exist yet.
        std::string dir = "new" + std::to_string(n++) + "/parent/target";
        for (std::string &a : args)
            if (a == "@DIR@")
                a = dir;
        ProgramResult r = runMiniunz(args, box.root);
        EXPECT_EQ(r.status, 0) << args[0] << " " << args[1] << ": " << r.err;
        EXPECT_EQ(readFile(box.root + "/" + dir + "/f.txt"), "data");
        EXPECT_EQ(readFile(box.root + "/" + dir + "/sub/g.txt"), "more");
    }
}

TEST(MiniunzCli, PlainCallUnpacksIntoTheCurrentDirectory)
{
    Workspace box;
    box.pack({fileEntry("f.txt", "data"), dirEntry("empty/")});
    ProgramResult r = runMiniunz({"image.zip"}, box.root);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(box.root + "/f.txt"), "data");
    EXPECT_TRUE(S_ISDIR(modeOf(box.root + "/empty")));
}

TEST(MiniunzCli, MissingOrForeignArchiveFails)
{
    Workspace box;
    std::filesystem::create_directory(box.out);
    writeZip(box.root + "/empty.zip", {});
    std::ofstream(box.root + "/text.zip") << "not a zip archive at all";
    struct Case {
        std::string archive;
        int status;
    } cases[] = {{"absent.zip", 1}, {"text.zip", 1}, {"outside", 1}, {"empty.zip", 0}};
    for (const Case &c : cases) {
        ProgramResult r = runMiniunz({c.archive, "-d", "out"}, box.root);
        EXPECT_EQ(r.status, c.status) << c.archive << ": " << r.err;
        if (c.status != 0) {
            EXPECT_NE(r.err.find("miniunz: " + c.archive), std::string::npos) << r.err;
        }
    }
}

} // namespace
