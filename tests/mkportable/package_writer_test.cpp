// The package writer: layout of what it writes, validation, atomic output.
#include "mkportable/pack_error.h"
#include "mkportable/package_writer.h"
#include "mkportable_test_support.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace mkptest;
using mkportable::CommandSpec;
using mkportable::InputFile;
using mkportable::PackError;

// Element bytes with NUL and 0xFF inside, so that any text handling of
// binary data shows.
std::string binary(const std::string &tag)
{
    return std::string("\x7f" "ELF\0\xff\x01", 7) + tag + std::string(1, '\0');
}

// What a package is made from, before files are written for it.
struct Inputs {
    std::string launcher = binary("launcher");
    std::string unzip = binary("unzip");
    std::vector<std::string> images = {"PK\x03\x04" + binary("image")};
    std::vector<CommandSpec> commands = {{0, 0, 0, "./hello.sh", "", false}};
    bool strict = false;
};

mkportable::PackageSpec makeSpec(const fs::path &dir, const Inputs &in)
{
    put(dir / "launcher", in.launcher, 0755);
    put(dir / "unzip", in.unzip, 0755);
    mkportable::PackageSpec spec{
        .launcher = InputFile::open(dir / "launcher", "launcher"),
        .unzip = InputFile::open(dir / "unzip", "unzip utility"),
        .strictPlatformMatch = in.strict,
        .commands = in.commands,
        .images = {},
    };
    for (std::size_t i = 0; i < in.images.size(); ++i) {
        const fs::path image = dir / ("image" + std::to_string(i) + ".zip");
        put(image, in.images[i]);
        spec.images.push_back(InputFile::open(image, "image"));
    }
    return spec;
}

// Files in `dir` whose names mark them as the writer's temporary files.
std::vector<std::string> tempFilesIn(const fs::path &dir)
{
    std::vector<std::string> found;
    for (const std::string &name : listDir(dir))
        if (name.rfind(".out.run.", 0) == 0)
            found.push_back(name);
    return found;
}

struct LayoutCase {
    std::string name;
    Inputs inputs;
};

void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }

class PackageLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(PackageLayoutTest, DecodesToExactlyTheInputs)
{
    const fs::path dir = scratchDir();
    const Inputs &in = GetParam().inputs;
    const fs::path out = dir / "out.run";
    const auto layout = mkportable::writePackage(makeSpec(dir, in), out);

    const std::string bytes = slurp(out);
    ASSERT_EQ(bytes.size(), layout.fileSize);
    const DecodedPackage pkg = decodePackage(bytes);
    EXPECT_EQ(pkg.endMarker, PKG_END_MARKER);
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], in.launcher);
    EXPECT_EQ(pkg.elements[PKG_UNZIP], in.unzip);
    EXPECT_EQ(pkg.directory.elementSize[PKG_GLOBAL_INFO], uint32_t(GLOBAL_INFO_SIZE));
    EXPECT_EQ(pkg.directory.elementSize[PKG_COMMANDS], COMMAND_RECORD_SIZE * in.commands.size());

    std::string allImages;
    for (const std::string &image : in.images)
        allImages += image;
    EXPECT_EQ(pkg.elements[PKG_IMAGE], allImages);
    const bool dual = in.images.size() == 2;
    EXPECT_EQ(pkg.directory.imageSize[0], dual ? in.images[0].size() : 0u);
    EXPECT_EQ(pkg.directory.imageSize[1], dual ? in.images[1].size() : 0u);

    EXPECT_EQ(pkg.globalInfo.commandCount, int32_t(in.commands.size()));
    EXPECT_EQ(pkg.globalInfo.strictPlatformMatch, in.strict ? 1 : 0);
    ASSERT_EQ(pkg.records.size(), in.commands.size());
    for (std::size_t i = 0; i < in.commands.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        const CommandSpec &want = in.commands[i];
        const CommandRecord &got = pkg.records[i];
        EXPECT_EQ(got.distribution, want.distribution);
        EXPECT_EQ(got.release, want.release);
        EXPECT_EQ(got.architecture, want.architecture);
        EXPECT_EQ(std::string(got.command), want.command);
        EXPECT_EQ(std::string(got.arguments), want.arguments);
        EXPECT_EQ(got.alwaysAppendArguments, want.alwaysAppendArguments ? 1 : 0);
    }

    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_TRUE(tempFilesIn(dir).empty());
}

Inputs severalRecords()
{
    Inputs in;
    in.commands = {{2, 11, 1, "./linmain.sh", "-v", false},
                   {3, 5, 2, "cd bin; ./tool", "--default 'two words'", true},
                   {4, 10, 3, "./ppc.sh", "", false}};
    in.strict = true;
    return in;
}

Inputs fullWidthText()
{
    Inputs in;
    in.commands = {{0, 0, 0, std::string(127, 'c'), std::string(255, 'a'), true}};
    return in;
}

Inputs dualImage()
{
    Inputs in;
    in.images = {"PK" + std::string(1000, '3'), "PK" + std::string(2000, '6')};
    return in;
}

INSTANTIATE_TEST_SUITE_P(Writer, PackageLayoutTest,
                         ::testing::Values(LayoutCase{"OneRecord", Inputs{}},
                                           LayoutCase{"SeveralRecordsStrict", severalRecords()},
                                           LayoutCase{"FullWidthText", fullWidthText()},
                                           LayoutCase{"DualImage", dualImage()}),
                         [](const auto &p) { return p.param.name; });

// Each case spoils a good package in one way; the build must fail with a
// message naming the problem and leave the previous output alone.
struct RejectCase {
    std::string name;
    std::function<void(Inputs &)> spoil;
    std::string message;
};

void PrintTo(const RejectCase &c, std::ostream *os) { *os << c.name; }

class PackageRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(PackageRejectTest, FailsWithMessageAndKeepsOldOutput)
{
    const fs::path dir = scratchDir();
    Inputs in;
    GetParam().spoil(in);
    const fs::path out = dir / "out.run";
    put(out, "old package", 0755);
    try {
        mkportable::writePackage(makeSpec(dir, in), out);
        FAIL() << "writePackage accepted the package";
    } catch (const PackError &e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
    EXPECT_EQ(slurp(out), "old package");
    EXPECT_TRUE(tempFilesIn(dir).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Writer, PackageRejectTest,
    ::testing::Values(
        RejectCase{"NoRecord", [](Inputs &in) { in.commands.clear(); }, "at least one command"},
        RejectCase{"EmptyCommand", [](Inputs &in) { in.commands[0].command = ""; },
                   "command record 0: the command is empty"},
        RejectCase{"BlankCommand", [](Inputs &in) { in.commands[0].command = " \t"; },
                   "the command is empty"},
        RejectCase{"CommandTooLong", [](Inputs &in) { in.commands[0].command.assign(128, 'c'); },
                   "command is 128 bytes long; at most 127"},
        RejectCase{"ArgumentsTooLong",
                   [](Inputs &in) { in.commands[0].arguments.assign(256, 'a'); },
                   "arguments is 256 bytes long; at most 255"},
        RejectCase{"NulInCommand",
                   [](Inputs &in) { in.commands[0].command = std::string("./a\0b", 5); },
                   "command contains a NUL byte"},
        RejectCase{"BadSecondRecord",
                   [](Inputs &in) {
                       in.commands.push_back(in.commands[0]);
                       in.commands[1].arguments = std::string("x\0", 2);
                   },
                   "command record 1: arguments contains a NUL byte"},
        RejectCase{"EmptyLauncher", [](Inputs &in) { in.launcher.clear(); }, "launcher"},
        RejectCase{"EmptyUnzip", [](Inputs &in) { in.unzip.clear(); }, "unzip utility"},
        RejectCase{"EmptyImage", [](Inputs &in) { in.images[0].clear(); }, "is empty"},
        RejectCase{"NoImage", [](Inputs &in) { in.images.clear(); }, "not 0"},
        RejectCase{"ThreeImages", [](Inputs &in) { in.images.resize(3, "PK"); }, "not 3"}),
    [](const auto &p) { return p.param.name; });

// Failures that need special files rather than spoiled inputs.
TEST(PackageWriter, RefusesPackageOf2GiB)
{
    const fs::path dir = scratchDir();
    auto spec = makeSpec(dir, Inputs{});
    // A sparse file: 2 GiB long without taking disk space.
    const fs::path big = dir / "big.zip";
    put(big, "PK");
    ASSERT_EQ(truncate(big.c_str(), PKG_MAX_FILE_SIZE), 0);
    spec.images[0] = InputFile::open(big, "image");
    EXPECT_THROW(
        {
            try {
                mkportable::writePackage(spec, dir / "out.run");
            } catch (const PackError &e) {
                EXPECT_NE(std::string(e.what()).find("must stay below"), std::string::npos);
                throw;
            }
        },
        PackError);
    EXPECT_FALSE(fs::exists(dir / "out.run"));
}

TEST(PackageWriter, RefusesOutputThatIsADirectoryOrAnInput)
{
    const fs::path dir = scratchDir();
    const auto spec = makeSpec(dir, Inputs{});
    makeDir(dir / "outdir");
    EXPECT_THROW(mkportable::writePackage(spec, dir / "outdir"), PackError);
    EXPECT_TRUE(fs::is_directory(dir / "outdir"));
    for (const char *input : {"launcher", "unzip", "image0.zip"}) {
        const std::string before = slurp(dir / input);
        EXPECT_THROW(mkportable::writePackage(spec, dir / input), PackError) << input;
        EXPECT_EQ(slurp(dir / input), before) << input;
    }
}

TEST(PackageWriter, InputThatChangesWhileWritingFailsAndKeepsOldOutput)
{
    for (const bool grow : {false, true}) {
        SCOPED_TRACE(grow ? "grows" : "shrinks");
        const fs::path dir = scratchDir();
        const fs::path out = dir / "out.run";
        put(out, "old package", 0755);
        const auto spec = makeSpec(dir, Inputs{});
        // The image is copied last: launcher and unzip are already written
        // to the temporary file when the change is found.
        put(dir / "image0.zip", grow ? Inputs{}.images[0] + "more" : "P");
        try {
            mkportable::writePackage(spec, out);
            ADD_FAILURE() << "writePackage accepted a changed input";
        } catch (const PackError &e) {
            EXPECT_NE(std::string(e.what()).find(grow ? "grew" : "became shorter"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_EQ(slurp(out), "old package");
        EXPECT_TRUE(tempFilesIn(dir).empty());
    }
}

TEST(PackageWriter, ReplacesAnExistingOutput)
{
    const fs::path dir = scratchDir();
    const fs::path out = dir / "out.run";
    put(out, "old package", 0600);
    mkportable::writePackage(makeSpec(dir, Inputs{}), out);
    EXPECT_EQ(decodePackage(slurp(out)).elements[PKG_LAUNCHER], Inputs{}.launcher);
    EXPECT_EQ(fs::status(out).permissions(), fs::perms(0755));
}

TEST(InputFileOpen, NamesTheInputThatCannotBeUsed)
{
    const fs::path dir = scratchDir();
    makeDir(dir / "folder");
    const struct {
        fs::path path;
        std::string message;
    } cases[] = {
        {dir / "missing", "open(launcher " + (dir / "missing").string() + "): No such file"},
        {dir / "folder", "launcher " + (dir / "folder").string() + " is not a regular file"},
    };
    for (const auto &c : cases) {
        try {
            InputFile::open(c.path, "launcher");
            ADD_FAILURE() << c.path << " accepted";
        } catch (const PackError &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

} // namespace
