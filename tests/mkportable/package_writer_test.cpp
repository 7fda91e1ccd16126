// The package writer: layout of what it writes, validation, atomic output.
#include "mkportable/package/package_writer.h"
#include "mkportable_test_support.h"
#include "pack_error.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace mkptest;
using mkportable::CommandEntry;
using mkportable::InputFile;

// Element bytes with NUL and 0xFF inside, so that text handling shows.
std::string binary(const std::string &tag)
{
    return std::string("\x7f"
                       "E\0\xff",
                       4) +
           tag;
}

// What a package is made from, before files are written for it.
struct Inputs {
    std::string name;
    std::vector<CommandEntry> commands = {{0, 0, 0, "./hello.sh", "", false}};
    std::vector<std::string> images = {"PK" + binary("image")};
    bool strict = false;
    std::string launcher = binary("launcher");
    std::string unzip = binary("unzip");
};
void PrintTo(const Inputs &in, std::ostream *os)
{
    *os << in.name;
}

mkportable::PackageContents makeContents(const fs::path &dir, const Inputs &in)
{
    put(dir / "launcher", in.launcher, 0755);
    put(dir / "unzip", in.unzip, 0755);
    mkportable::PackageContents contents{InputFile::open(dir / "launcher", "launcher"),
                                         InputFile::open(dir / "unzip", "unzip utility"),
                                         in.strict,
                                         in.commands,
                                         {},
                                         {}};
    for (std::size_t i = 0; i < in.images.size(); ++i) {
        put(dir / ("image" + std::to_string(i)), in.images[i]);
        contents.images.push_back(InputFile::open(dir / ("image" + std::to_string(i)), "image"));
    }
    return contents;
}

class PackageLayoutTest : public ::testing::TestWithParam<Inputs> {};

TEST_P(PackageLayoutTest, DecodesToExactlyTheInputs)
{
    const fs::path dir = scratchDir();
    const Inputs &in = GetParam();
    put(dir / "out.run", "old package", 0600); // replaced whole, mode included
    const auto layout = mkportable::writePackage(makeContents(dir, in), dir / "out.run");

    const std::string bytes = readFile(dir / "out.run");
    ASSERT_EQ(bytes.size(), layout.fileSize);
    const DecodedPackage pkg = decodePackage(bytes);
    EXPECT_EQ(pkg.endMarker, PKG_END_MARKER);
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], in.launcher);
    EXPECT_EQ(pkg.elements[PKG_UNZIP], in.unzip);
    EXPECT_EQ(pkg.directory.elementSize[PKG_GLOBAL_INFO], uint32_t(GLOBAL_INFO_SIZE));
    EXPECT_EQ(pkg.directory.elementSize[PKG_COMMANDS], COMMAND_RECORD_SIZE * in.commands.size());
    EXPECT_EQ(pkg.elements[PKG_IMAGE], in.images[0] + (in.images.size() > 1 ? in.images[1] : ""));
    const bool dual = in.images.size() == 2;
    EXPECT_EQ(pkg.directory.imageSize[0], dual ? in.images[0].size() : 0u);
    EXPECT_EQ(pkg.directory.imageSize[1], dual ? in.images[1].size() : 0u);

    EXPECT_EQ(pkg.globalInfo.commandCount, int32_t(in.commands.size()));
    EXPECT_EQ(pkg.globalInfo.strictPlatformMatch, in.strict ? 1 : 0);
    ASSERT_EQ(pkg.records.size(), in.commands.size());
    for (std::size_t i = 0; i < in.commands.size(); ++i) {
        const CommandEntry &want = in.commands[i];
        const CommandRecord &got = pkg.records[i];
        EXPECT_EQ(std::tie(got.distribution, got.release, got.architecture),
                  std::tie(want.distribution, want.release, want.architecture));
        EXPECT_EQ(got.command, want.command);
        EXPECT_EQ(got.arguments, want.arguments);
        EXPECT_EQ(got.alwaysAppendArguments, want.alwaysAppendArguments ? 1 : 0);
    }
    EXPECT_EQ(fs::status(dir / "out.run").permissions(), fs::perms(0755));
    EXPECT_TRUE(tempFilesIn(dir, "out.run").empty());
}

INSTANTIATE_TEST_SUITE_P(Writer, PackageLayoutTest,
                         ::testing::Values(Inputs{"OneRecord"},
                                           Inputs{"SeveralRecordsStrict",
                                                  {{2, 11, 1, "./linmain.sh", "-v", false},
                                                   {3, 5, 2, "cd bin; ./tool", "--default 'two words'", true},
                                                   {4, 10, 3, "./ppc.sh", "", false}},
                                                  {"PK" + binary("image")},
                                                  true},
                                           Inputs{"FullWidthText",
                                                  {{0, 0, 0, std::string(127, 'c'), std::string(255, 'a'), true}}},
                                           Inputs{"DualImage",
                                                  {{0, 0, 0, "./run", "", false}},
                                                  {"PK" + std::string(1000, '3'), "PK" + std::string(2000, '6')}}),
                         [](const auto &p) { return p.param.name; });

// Each case spoils a good package in one way: the build fails with a message
// naming the problem and leaves the previous output as it was.
class PackageRejectTest : public ::testing::TestWithParam<std::pair<Inputs, std::string>> {};

TEST_P(PackageRejectTest, FailsWithMessageAndKeepsOldOutput)
{
    const fs::path dir = scratchDir();
    const auto &[in, message] = GetParam();
    put(dir / "out.run", "old package", 0755);
    expectPackError([&] { mkportable::writePackage(makeContents(dir, in), dir / "out.run"); }, message);
    EXPECT_EQ(readFile(dir / "out.run"), "old package");
    EXPECT_TRUE(tempFilesIn(dir, "out.run").empty());
}

Inputs spoiled(const std::string &name, const std::function<void(Inputs &)> &spoil)
{
    Inputs in{name};
    spoil(in);
    return in;
}

INSTANTIATE_TEST_SUITE_P(
    Writer, PackageRejectTest,
    ::testing::Values(
        std::pair{spoiled("NoRecord", [](Inputs &in) { in.commands.clear(); }), "at least one command"},
        std::pair{spoiled("EmptyCommand", [](Inputs &in) { in.commands[0].command = ""; }),
                  "command record 0: the command is empty"},
        std::pair{spoiled("BlankCommand", [](Inputs &in) { in.commands[0].command = " \t"; }), "the command is empty"},
        std::pair{spoiled("LongCommand", [](Inputs &in) { in.commands[0].command.assign(128, 'c'); }),
                  "command is 128 bytes long; at most 127"},
        std::pair{spoiled("LongArguments", [](Inputs &in) { in.commands[0].arguments.assign(256, 'a'); }),
                  "arguments is 256 bytes long; at most 255"},
        std::pair{spoiled("NulInCommand", [](Inputs &in) { in.commands[0].command = std::string("./a\0b", 5); }),
                  "command contains a NUL byte"},
        std::pair{spoiled("BadSecondRecord",
                          [](Inputs &in) {
                              in.commands.push_back(in.commands[0]);
                              in.commands[1].arguments = std::string("x\0", 2);
                          }),
                  "command record 1: arguments contains a NUL byte"},
        std::pair{spoiled("EmptyLauncher", [](Inputs &in) { in.launcher.clear(); }), "launcher"},
        std::pair{spoiled("EmptyUnzip", [](Inputs &in) { in.unzip.clear(); }), "unzip utility"},
        std::pair{spoiled("EmptyImage", [](Inputs &in) { in.images[0].clear(); }), "is empty"},
        std::pair{spoiled("NoImage", [](Inputs &in) { in.images.clear(); }), "not 0"},
        std::pair{spoiled("ThreeImages", [](Inputs &in) { in.images.resize(3, "PK"); }), "not 3"}),
    [](const auto &p) { return p.param.first.name; });

TEST(PackageWriter, RefusesTooBigPackageAndOutputsItCannotReplace)
{
    const fs::path dir = scratchDir();
    auto contents = makeContents(dir, Inputs{});
    makeDir(dir / "outdir");
    expectPackError([&] { mkportable::writePackage(contents, dir / "outdir"); }, "is a directory");
    for (const char *input : {"launcher", "unzip", "image0"}) {
        const std::string before = readFile(dir / input);
        expectPackError([&] { mkportable::writePackage(contents, dir / input); }, "same file");
        EXPECT_EQ(readFile(dir / input), before) << input;
    }
    // A sparse file: 2 GiB long without taking disk space.
    ASSERT_EQ(truncate((dir / "image0").c_str(), PKG_MAX_FILE_SIZE), 0);
    contents.images[0] = InputFile::open(dir / "image0", "image");
    expectPackError([&] { mkportable::writePackage(contents, dir / "out.run"); }, "must stay below");
    EXPECT_FALSE(fs::exists(dir / "out.run"));
}

TEST(PackageWriter, InputThatChangesWhileWritingFailsAndKeepsOldOutput)
{
    for (const bool grow : {false, true}) {
        const fs::path dir = scratchDir();
        put(dir / "out.run", "old package", 0755);
        const auto contents = makeContents(dir, Inputs{});
        // The image is copied last: launcher and unzip are already written
        // to the temporary file when the change is found.
        put(dir / "image0", grow ? Inputs{}.images[0] + "more" : "P");
        expectPackError([&] { mkportable::writePackage(contents, dir / "out.run"); }, grow ? "grew" : "became shorter");
        EXPECT_EQ(readFile(dir / "out.run"), "old package");
        EXPECT_TRUE(tempFilesIn(dir, "out.run").empty());
    }
}

} // namespace
