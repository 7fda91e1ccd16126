// The mkportable program itself: exit codes, messages, what it writes.
#include "mkportable_test_support.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace mkptest;

// A scratch folder with stand-ins for the launcher and the unzip utility, a
// small tool tree and a ready zip of it.
struct CliFixture {
    fs::path dir = scratchDir();
    std::string launcher = std::string("launcher\0\xff", 10);
    std::string unzip = std::string("miniunz\0\xfe", 9);

    CliFixture()
    {
        put(dir / "launcher", launcher, 0755);
        put(dir / "miniunz", unzip, 0755);
        put(dir / "tool" / "run.sh", "#!/bin/sh\necho hi\n", 0755);
        put(dir / "tool" / "lib" / "data.txt", "data\n");
        put(dir / "notzip.zip", "this is no zip archive");
        ProgramResult r = run({"build", "-o", (dir / "ready.zip.run").string(), "--image",
                               (dir / "tool").string(), "--command", "./run.sh"});
        // The image of that package is a zip of the tree: keep it as a ready zip.
        put(dir / "ready.zip", decodePackage(slurp(dir / "ready.zip.run")).elements[PKG_IMAGE]);
        EXPECT_EQ(r.status, 0) << r.err;
    }

    // Runs mkportable with `args`; `build` gets the stand-ins for the
    // launcher and the unzip utility that `args` do not name.
    ProgramResult run(std::vector<std::string> args, const std::vector<std::string> &env = {})
    {
        const std::pair<const char *, fs::path> standIns[] = {{"--launcher", dir / "launcher"},
                                                              {"--unzip", dir / "miniunz"}};
        if (!args.empty() && args[0] == "build")
            for (const auto &[option, path] : standIns)
                if (std::find(args.begin(), args.end(), option) == args.end())
                    args.insert(args.end(), {option, path.string()});
        args.insert(args.begin(), MKPORTABLE_BIN);
        return runProgram(args, dir, env);
    }
};

struct CliCase {
    std::string name;
    std::vector<std::string> args; // "@" stands for the scratch folder
    int status;
    std::string message; // expected in standard error (or output for status 0)
    std::vector<std::string> env = {};
};

void PrintTo(const CliCase &c, std::ostream *os) { *os << c.name; }

class MkportableCliTest : public ::testing::TestWithParam<CliCase> {};

TEST_P(MkportableCliTest, ExitsWithStatusAndMessage)
{
    CliFixture fx;
    std::vector<std::string> args;
    for (std::string arg : GetParam().args) {
        if (arg.rfind("@", 0) == 0)
            arg = fx.dir.string() + arg.substr(1);
        args.push_back(arg);
    }
    ProgramResult r = fx.run(args, GetParam().env);
    EXPECT_EQ(r.status, GetParam().status) << r.out << r.err;
    const std::string &text = GetParam().status == 0 ? r.out : r.err;
    EXPECT_NE(text.find(GetParam().message), std::string::npos) << "out: " << r.out << "\nerr: " << r.err;
    if (GetParam().status != 0) {
        EXPECT_FALSE(fs::exists(fx.dir / "out.run"));
    }
}

const std::vector<std::string> BUILD = {"build", "-o", "@/out.run", "--image", "@/tool",
                                        "--command", "./run.sh"};

std::vector<std::string> build(std::vector<std::string> extra)
{
    std::vector<std::string> args = BUILD;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, MkportableCliTest,
    ::testing::Values(
        CliCase{"Help", {"--help"}, 0, "build"},
        CliCase{"BuildHelp", {"build", "--help"}, 0, "--always-append"},
        CliCase{"NoSubcommand", {}, 2, "subcommand is required"},
        CliCase{"UnknownSubcommand", {"pack"}, 2, "subcommand is required"},
        CliCase{"MissingCommand", {"build", "-o", "@/out.run", "--image", "@/tool"}, 2,
                "--command is required"},
        CliCase{"BadDistribution", build({"--distribution", "debian"}), 2,
                "unknown distribution 'debian'"},
        CliCase{"BadArchitecture", build({"--architecture", "4"}), 2,
                "unknown architecture '4'"},
        CliCase{"BadRelease", build({"--release", "eleven"}), 2, "--release"},
        CliCase{"CommandTooLong",
                {"build", "-o", "@/out.run", "--image", "@/tool", "--command",
                 std::string(128, 'c')},
                1, "at most 127"},
        CliCase{"ArgumentsTooLong", build({"--arguments", std::string(256, 'a')}), 1,
                "at most 255"},
        CliCase{"MissingImage", {"build", "-o", "@/out.run", "--image", "@/none", "--command", "x"},
                1, "stat(image"},
        CliCase{"ImageNoZip",
                {"build", "-o", "@/out.run", "--image", "@/notzip.zip", "--command", "x"}, 1,
                "is not a zip archive"},
        CliCase{"MissingOutputDir",
                {"build", "-o", "@/none/out.run", "--image", "@/tool", "--command", "x"}, 1,
                "output directory"},
        CliCase{"OutputInsideImage",
                {"build", "-o", "@/tool/lib/../out.run", "--image", "@/tool", "--command", "x"},
                1, "lies inside the image directory"},
        CliCase{"MissingLauncher", build({"--launcher", "@/none"}), 1, "open(launcher"},
        CliCase{"BadSourceDateEpoch", BUILD, 1, "SOURCE_DATE_EPOCH", {"SOURCE_DATE_EPOCH=yesterday"}},
        CliCase{"Quiet", build({"--quiet"}), 0, ""},
        CliCase{"Summary", BUILD, 0, "entries zipped"}),
    [](const auto &p) { return p.param.name; });

TEST(MkportableCli, RecordsEveryOptionInThePackage)
{
    CliFixture fx;
    ProgramResult r = fx.run({"build", "-o", (fx.dir / "out.run").string(), "--image",
                              (fx.dir / "ready.zip").string(), "--command", "cd lib; ./x",
                              "--arguments", "-a 'b c'", "--always-append", "--strict",
                              "--distribution", "RedHat", "--release", "5", "--architecture",
                              "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const DecodedPackage pkg = decodePackage(slurp(fx.dir / "out.run"));
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], fx.launcher);
    EXPECT_EQ(pkg.elements[PKG_UNZIP], fx.unzip);
    EXPECT_EQ(pkg.elements[PKG_IMAGE], slurp(fx.dir / "ready.zip")) << "a zip is packed verbatim";
    EXPECT_EQ(pkg.globalInfo.commandCount, 1);
    EXPECT_EQ(pkg.globalInfo.strictPlatformMatch, 1);
    ASSERT_EQ(pkg.records.size(), 1u);
    const CommandRecord &rec = pkg.records[0];
    EXPECT_EQ(rec.distribution, 3);
    EXPECT_EQ(rec.release, 5);
    EXPECT_EQ(rec.architecture, 2);
    EXPECT_STREQ(rec.command, "cd lib; ./x");
    EXPECT_STREQ(rec.arguments, "-a 'b c'");
    EXPECT_EQ(rec.alwaysAppendArguments, 1);
}

TEST(MkportableCli, DirectoryImageIsReproducibleAndLeavesNoScratchFiles)
{
    CliFixture fx;
    const fs::path out = fx.dir / "out";
    makeDir(out);
    auto pack = [&](const std::string &name, const std::vector<std::string> &env) {
        ProgramResult r = fx.run({"build", "-q", "-o", (out / name).string(), "--image",
                                  (fx.dir / "tool").string(), "--command", "./run.sh"},
                                 env);
        EXPECT_EQ(r.status, 0) << r.err;
        return slurp(out / name);
    };
    const std::string first = pack("a.run", {});
    EXPECT_EQ(pack("b.run", {}), first);
    EXPECT_EQ(pack("c.run", {"SOURCE_DATE_EPOCH=315532800"}), first) << "1980-01-01 is the default";
    EXPECT_NE(pack("d.run", {"SOURCE_DATE_EPOCH=1700000000"}), first);
    EXPECT_EQ(listDir(out), (std::vector<std::string>{"a.run", "b.run", "c.run", "d.run"}));

    const std::vector<ZipEntry> entries = [&] {
        put(fx.dir / "image.zip", decodePackage(first).elements[PKG_IMAGE]);
        return readZip(fx.dir / "image.zip");
    }();
    std::vector<std::string> names;
    for (const ZipEntry &e : entries)
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"lib/", "lib/data.txt", "run.sh"}));
}

TEST(MkportableCli, FindsLauncherAndUnzipBesideItself)
{
    CliFixture fx;
    const fs::path bin = fx.dir / "bin";
    makeDir(bin);
    fs::copy_file(MKPORTABLE_BIN, bin / "mkportable");
    const std::vector<std::string> args = {(bin / "mkportable").string(), "build", "-q", "-o",
                                           (fx.dir / "out.run").string(), "--image",
                                           (fx.dir / "ready.zip").string(), "--command", "x"};
    ProgramResult missing = runProgram(args, fx.dir);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find((bin / "launcher").string()), std::string::npos) << missing.err;

    put(bin / "launcher", "the launcher beside it", 0755);
    put(bin / "miniunz", "the unzip utility beside it", 0755);
    ProgramResult found = runProgram(args, fx.dir);
    ASSERT_EQ(found.status, 0) << found.err;
    const DecodedPackage pkg = decodePackage(slurp(fx.dir / "out.run"));
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], "the launcher beside it");
    EXPECT_EQ(pkg.elements[PKG_UNZIP], "the unzip utility beside it");
}

TEST(MkportableCli, SignalDuringWriteRemovesTheTemporaryPackage)
{
    CliFixture fx;
    put(fx.dir / "out.run", "old package");
    // A big sparse launcher keeps the copy busy long enough to be caught.
    put(fx.dir / "big", "L");
    ASSERT_EQ(truncate((fx.dir / "big").c_str(), 512 << 20), 0);
    const pid_t pid = startProgram({MKPORTABLE_BIN, "build", "-q", "-o", (fx.dir / "out.run").string(),
                                    "--image", (fx.dir / "ready.zip").string(), "--command", "x",
                                    "--launcher", (fx.dir / "big").string(), "--unzip",
                                    (fx.dir / "miniunz").string()},
                                   fx.dir);
    auto tempFiles = [&] {
        std::vector<std::string> found;
        for (const std::string &name : listDir(fx.dir))
            if (name.rfind(".out.run.", 0) == 0)
                found.push_back(name);
        return found;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (tempFiles().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(tempFiles().empty()) << "the temporary package never appeared";
    kill(pid, SIGTERM);
    ProgramResult r = finishProgram(pid, fx.dir);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_TRUE(tempFiles().empty());
    EXPECT_EQ(slurp(fx.dir / "out.run"), "old package");
}

} // namespace
