// The mkportable program itself: exit codes, messages, what it writes.
#include "mkportable_test_support.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
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
        put(dir / "abs" / "run.sh", "#!/bin/sh\necho hi\n", 0755);
        put(dir / "ext" / "run.sh", "#!/bin/sh\necho hi\n", 0755);
        put(dir / "elf" / "jq", readFile("/usr/bin/jq"), 0755);
        put(dir / "linked" / "run.sh", "#!/bin/sh\n", 0755);
        put(dir / "linked" / "bin" / "real", "#!/bin/sh\n");
        fs::create_symlink("real", dir / "linked" / "bin" / "go");
        fs::create_symlink("../run.sh", dir / "linked" / "bin" / "ok");
        // Trees with links that miniunz refuses, one each.
        const std::pair<const char *, std::string> links[] = {
            {"abs/conf", (dir / "tool" / "lib" / "data.txt").string()},
            {"dangle/x", (dir / "none").string()},
            {"loop/up", (dir / "loop").string()},
            {"top/root", "/"},
            {"ring/b", (dir / "ping").string()},
            {"ping/back", (dir / "pong").string()},
            {"pong/again", (dir / "ping").string()},
            {"ext/t", (dir / "tool").string()}};
        for (const auto &[link, target] : links) {
            fs::create_directories((dir / link).parent_path());
            fs::create_symlink(target, dir / link);
        }
        const std::string suse11 = "[[record]]\ndistribution = 'suse'\nrelease = 11\n"
                                   "architecture = 'x86_64'\ncommand = './run.sh'\n";
        put(dir / "m.toml", "image = 'tool'\n" + suse11);
        put(dir / "dup.toml", "output = 'out.run'\nimage = 'tool'\n" + suse11 + suse11);
        put(dir / "noimage.toml", "image = 'sub/none'\n" + suse11);
        put(dir / "typo.toml", "output = 'out.run'\nimage = 'tool'\n" + suse11 + "comand = 'x'\n");
        EXPECT_EQ(
            run({"build", "-q", "-o", (dir / "p.run").string(), "--image", (dir / "tool").string(), "--command", "x"})
                .status,
            0);
        put(dir / "ready.zip", decodePackage(readFile(dir / "p.run")).elements[PKG_IMAGE]);
    }

    // Runs mkportable with `args`; `build` gets the stand-ins that `args`
    // do not replace. "@" at the start of an argument stands for `dir`.
    ProgramResult run(std::vector<std::string> args, const std::vector<std::string> &env = {})
    {
        StartedProgram program = start(std::move(args), env);
        return finishProgram(program);
    }

    StartedProgram start(std::vector<std::string> args, const std::vector<std::string> &env = {})
    {
        for (std::string &arg : args)
            if (arg.rfind("@", 0) == 0)
                arg = dir.string() + arg.substr(1);
        const std::pair<const char *, fs::path> standIns[] = {{"--launcher", dir / "launcher"},
                                                              {"--unzip", dir / "miniunz"}};
        for (const auto &[option, path] : standIns)
            if (!args.empty() && args[0] == "build" && std::find(args.begin(), args.end(), option) == args.end())
                args.insert(args.end(), {option, path.string()});
        args.insert(args.begin(), MKPORTABLE_BIN);
        return startProgram(args, dir, env);
    }
};

struct CliCase {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string message; // expected in standard error, or output for status 0
    std::vector<std::string> env = {};
    std::string warning = {}; // expected in standard error besides
};
void PrintTo(const CliCase &c, std::ostream *os)
{
    *os << c.name;
}

class MkportableCliTest : public ::testing::TestWithParam<CliCase> {};

TEST_P(MkportableCliTest, ExitsWithStatusAndMessage)
{
    CliFixture fx;
    const CliCase &c = GetParam();
    ProgramResult r = fx.run(c.args, c.env);
    std::string message = c.message;
    for (auto at = message.find('@'); at != std::string::npos; at = message.find('@', at + 1))
        message.replace(at, 1, fx.dir.string());
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(message), std::string::npos)
        << "out: " << r.out << "\nerr: " << r.err;
    EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
    if (c.status != 0) {
        EXPECT_FALSE(fs::exists(fx.dir / "out.run")) << "a failed build wrote its output";
    }
}

std::vector<std::string> build(std::vector<std::string> extra, std::string image = "@/tool")
{
    std::vector<std::string> args = {"build", "-o", "@/out.run", "--image", image, "--command", "./run.sh"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// A build of `image` whose record runs `command`.
std::vector<std::string> program(const std::string &command, const std::string &image = "@/tool",
                                 std::vector<std::string> extra = {})
{
    std::vector<std::string> args = {"build", "-o", "@/out.run", "--image", image, "--command", command};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, MkportableCliTest,
    ::testing::Values(
        CliCase{"Help", {"build", "--help"}, 0, "--always-append"}, CliCase{"Summary", build({}), 0, "entries zipped"},
        CliCase{"Quiet", build({"--quiet"}), 0, ""}, CliCase{"NoSubcommand", {}, 2, "subcommand is required"},
        CliCase{"MissingCommand", {"build", "-o", "@/out.run", "--image", "@/tool"}, 2, "--command is required"},
        CliCase{"BadDistribution", build({"--distribution", "arch"}), 2, "unknown distribution 'arch'"},
        CliCase{"BadArchitecture", build({"--architecture", "5"}), 2, "unknown architecture '5'"},
        CliCase{"BadRelease", build({"--release", "eleven"}), 2,
                "--release: release must be 0 to 2147483647 or any, not 'eleven'\n"},
        CliCase{"ReleaseTooLarge", build({"--release", "2147483648"}), 2,
                "release must be 0 to 2147483647 or any, not '2147483648'\n"},
        CliCase{"ReleaseHuge", build({"--release", std::string(300, '9')}), 2,
                "release must be 0 to 2147483647 or any, not '" + std::string(300, '9') + "'\n"},
        CliCase{"ReleaseLargest", build({"--release", "2147483647"}), 0, "entries zipped"},
        CliCase{"Version", {"--version"}, 0, "mkportable " PORTABLE_VERSION "\n"},
        CliCase{"LevelAboveMax", build({"--level", "13"}), 2, "--level: Value 13 not in range 0 to 12\n"},
        CliCase{"LongCommand",
                {"build", "-o", "@/out.run", "--image", "@/tool", "--command", std::string(128, 'c')},
                1,
                "at most 127"},
        CliCase{"LongArguments", build({"--arguments", std::string(256, 'a')}), 1, "at most 255"},
        CliCase{"CacheStartingInTheReadOnlyTree",
                build({"--cache"}),
                0,
                "cache         true",
                {},
                "mkportable: warning: cache = true with working_directory \"image\" starts the tool in its cached "
                "tree, which is read-only"},
        CliCase{"NameAtItsLimit", build({"--name", std::string(31, 'n')}), 0, "name          " + std::string(31, 'n')},
        CliCase{"NameOverItsLimit", build({"--name", std::string(32, 'n')}), 1,
                "mkportable: name is 32 bytes long; it may hold at most 31 bytes\n"},
        CliCase{"SummaryOverItsLimit", build({"--summary", std::string(64, 's')}), 1, "at most 63 bytes"},
        CliCase{"BadGuard", build({"--guard", "host"}), 1, "guard must be \"machine\", \"package\" or \"none\""},
        CliCase{"PackageGuardWithoutName", build({"--guard", "package"}), 1,
                "mkportable: guard \"package\" names its guard after the package: give the package a name\n"},
        CliCase{"CallerWithDirectoryChange",
                {"build", "-o", "@/out.run", "--image", "@/tool", "--command", "cd bin; ./run", "--working-directory",
                 "caller"},
                1,
                "mkportable: command record 0 changes directory first, but working_directory \"caller\" starts the "
                "tool in the caller's directory: name the program by its path in the image instead (bin/...)\n"},
        CliCase{"ManifestAndSettingOption",
                {"build", "@/m.toml", "-o", "@/out.run", "--guard", "none"},
                2,
                "--guard cannot be used with a manifest"},
        CliCase{"MissingImage", build({}, "@/none"), 1, "mkportable: the image @/none does not exist\n"},
        CliCase{"MissingRelativeImage", build({}, "none"), 1,
                "mkportable: the image none (resolved to @/none) does not exist\n"},
        CliCase{"MissingImageInManifest",
                {"build", "@/noimage.toml", "-o", "@/out.run"},
                1,
                "mkportable: @/noimage.toml:1:9: the image @/sub/none does not exist; relative "
                "paths in a manifest are taken from its folder\n"},
        CliCase{"ImageNoZip", build({}, "@/notzip.zip"), 1, "is not a zip archive"},
        CliCase{"MissingOutputDir",
                {"build", "-o", "@/none/out.run", "--image", "@/tool", "--command", "x"},
                1,
                "mkportable: the output directory @/none does not exist; create it first "
                "(mkdir -p @/none)\n"},
        CliCase{"OutputInsideImage",
                {"build", "-o", "@/tool/lib/../out.run", "--image", "@/tool", "--command", "x"},
                1,
                "lies inside the image directory"},
        CliCase{"MissingLauncher", build({"--launcher", "@/none"}), 1,
                "mkportable: cannot open the launcher @/none: No such file or directory\n"},
        CliCase{"LauncherIsDirectory", build({"--unzip", "@/tool"}), 1, "unzip utility @/tool is not a regular file"},
        CliCase{"BadSourceDateEpoch", build({}), 1, "SOURCE_DATE_EPOCH", {"SOURCE_DATE_EPOCH=x"}},
        CliCase{
            "Manifest", {"build", "@/m.toml", "-o", "@/out.run"}, 0, "record 0      SuSE 11, Intel 64-bit: ./run.sh"},
        CliCase{"ManifestWithoutOutput",
                {"build", "@/m.toml"},
                2,
                "mkportable build: --output is required: the manifest names no output\n"},
        CliCase{"ManifestAndRecordOption",
                {"build", "@/m.toml", "-o", "@/out.run", "--strict"},
                2,
                "--strict cannot be used with a manifest"},
        CliCase{"ManifestMistake",
                {"build", "@/typo.toml"},
                1,
                "mkportable: @/typo.toml:8:1: unknown key 'comand' in record 0"},
        CliCase{"MissingManifest",
                {"build", "@/none.toml", "-o", "@/out.run"},
                1,
                "mkportable: cannot open the manifest @/none.toml: No such file or "
                "directory\n"},
        CliCase{"RepeatedPlatform",
                {"build", "@/dup.toml"},
                1,
                "command record 1 (SuSE 11, Intel 64-bit) repeats the platform of record 0; the "
                "launcher would never select it"},
        CliCase{"StrictWithoutAMatchableRecord", build({"--strict", "--distribution", "windows"}), 1,
                "with these records the launcher refuses every machine"},
        CliCase{"HalfADualImage",
                {"build", "-o", "@/out.run", "--image-i386", "@/tool", "--command", "x"},
                2,
                "--image-i386 and --image-x86_64 go together"},
        CliCase{"ImageAndDualImage",
                {"build", "-o", "@/out.run", "--image", "@/tool", "--image-x86_64", "@/tool", "--command", "x"},
                2,
                "--image cannot be used with --image-i386 and --image-x86_64"},
        CliCase{"SecondImageMissing",
                {"build", "-o", "@/out.run", "--image-i386", "@/tool", "--image-x86_64", "@/none", "--command", "x"},
                1,
                "mkportable: the image @/none does not exist\n"},
        // The launcher runs only what follows the last ';' or '&' of a record.
        CliCase{"CommandsJoinedByAnd",
                {"build", "-o", "@/out.run", "--image", "@/tool", "--command", "echo one && ./run.sh"},
                1,
                "mkportable: command record 0: 'echo one && ./run.sh' would run as './run.sh': "
                "the launcher takes everything before the last ';' or '&' for a change of "
                "directory, which may only be 'cd DIR ;' or 'cd DIR &&'. Put the commands in a "
                "script inside the image and run that\n"},
        CliCase{"RedirectionInArguments", build({"--arguments", "--log 2>&1"}), 1,
                "command record 0: './run.sh --log 2>&1' would run as '1': "},
        CliCase{"TwoDirectoryChanges",
                {"build", "-o", "@/out.run", "--image", "@/tool", "--command", "cd a ; cd b ; ./x"},
                1,
                "command record 0: 'cd a ; cd b ; ./x' would run as './x': "},
        CliCase{"Background",
                {"build", "-o", "@/out.run", "--image", "@/tool", "--command", "./daemon &"},
                1,
                "command record 0: './daemon &' would run as '': "},
        CliCase{"SeparatorEndsAlwaysAppendedArguments", build({"--arguments", "-v &", "--always-append"}), 1,
                "command record 0: './run.sh -v &' would run as '\"ARG\"' when the user gives "
                "the argument ARG: "},
        CliCase{"DirectoryChangeWithSemicolon",
                {"build", "-o", "@/out.run", "--image", "@/tool", "--command", "cd lib ; ../run.sh"},
                0,
                "record 0      any distribution, any architecture: cd lib ; ../run.sh\n"},
        CliCase{"DirectoryChangeWithAnd",
                {"build", "-o", "@/out.run", "--image", "@/tool", "--command", "cd lib&&../run.sh"},
                0,
                "record 0      any distribution, any architecture: cd lib&&../run.sh\n"},
        CliCase{"BundleMissing", build({"--bundle", "bin/jq"}), 1,
                "mkportable: bundle bin/jq: no such file in the image @/tool\n"},
        CliCase{"BundleScript", build({"--bundle", "run.sh"}), 1, "mkportable: @/tool/run.sh is not an ELF program\n"},
        CliCase{"BundleFolder", build({"--bundle", "lib"}), 1,
                "mkportable: bundle lib: not a regular file in the image (name the program file "
                "itself, not a link or folder)\n"},
        CliCase{"BundleAbsolute", build({"--bundle", "/usr/bin/jq"}), 1,
                "mkportable: --bundle: cannot bundle '/usr/bin/jq': give the program's path "
                "inside the image, without a leading '/'\n"},
        CliCase{"BundleIntoReadyZip", build({"--bundle", "run.sh"}, "@/ready.zip"), 1,
                "mkportable: cannot bundle run.sh into the ready zip image @/ready.zip: bundling "
                "needs the image as a directory\n"},
        CliCase{"BundleWithManifest",
                {"build", "@/m.toml", "-o", "@/out.run", "--bundle", "x"},
                2,
                "--bundle cannot be used with a manifest"},
        CliCase{"AbsoluteLink", build({}, "@/abs"), 1,
                "mkportable: conf -> @/tool/lib/data.txt: the link target is absolute, so "
                "miniunz would refuse it; pack what it points to with --copy-external-links "
                "(external_links = \"copy\")\n"},
        CliCase{"AbsoluteLinkCopied", build({"--copy-external-links"}, "@/abs"), 0, "(2 entries zipped)"},
        // What the record's command starts from the image must be there and
        // executable; a top-level entry is made executable by the launcher.
        CliCase{"CommandProgramMissing", program("./bin/tool"), 1,
                "mkportable: command record 0 starts bin/tool, which is not in the image (image @/tool)\n"},
        CliCase{"CommandProgramNotExecutable", program("./lib/data.txt"), 1,
                "starts lib/data.txt, which is not executable: give it the x bit"},
        CliCase{"CommandProgramAfterCd", program("cd lib ; ./data.txt -v"), 1,
                "starts lib/data.txt, which is not executable"},
        CliCase{"CommandProgramIsAFolder", program("lib/ x"), 1, "starts lib, which is a folder"},
        CliCase{"CommandProgramThroughLink", program("./bin/go", "@/linked"), 1,
                "starts bin/go, which is not executable"},
        CliCase{"CommandProgramLinkedExecutable", program("./bin/ok", "@/linked"), 0, "entries zipped"},
        CliCase{"CommandOnPathOrQuotedNotChecked",
                program("sh './lib/data.txt' | cat"),
                0,
                "entries zipped",
                {},
                "mkportable: warning: command record 0 is a pipeline or a '||' list (sh './lib/data.txt' | cat): "
                "the operator's arguments go to its last command only\n"},
        CliCase{"QuotedBarIsNoPipeline", program("./run.sh '|' \"||\" \\|"), 0, "entries zipped"},
        CliCase{"ProgramOfAnotherMachine", program("./jq", "@/elf", {"--architecture", "i386"}), 1,
                "mkportable: command record 0 is made for i386 machines, but jq is a program for ELF 64-bit "
                "x86-64"},
        CliCase{"ProgramOfAnotherProcessor",
                program("./jq", "@/elf",
                        {"--architecture", "aarch64", "--launcher", "@/tool/run.sh", "--unzip", "@/tool/run.sh"}),
                1,
                "mkportable: command record 0 is made for arm64 machines, but jq is a program for ELF 64-bit x86-64"},
        CliCase{
            "AnyRecordInAnArmPackage",
            program("./jq", "@/elf", {"--target", "arm64", "--launcher", "@/tool/run.sh", "--unzip", "@/tool/run.sh"}),
            1, "mkportable: command record 0 is made for arm64 machines, but jq is a program for ELF 64-bit x86-64"},
        CliCase{"ArmTargetForAnIntelRecord", build({"--target", "arm64", "--architecture", "x86_64"}), 1,
                "mkportable: the target is arm64, but command record 0 (any distribution, Intel 64-bit) is for Intel "
                "machines; a package runs on one processor family: build two files, one for ARM and one for Intel "
                "machines\n"},
        CliCase{"UnknownTarget", build({"--target", "ppc"}), 2, "unknown target 'ppc'"},
        CliCase{"ProgramOfTheRecordsMachine", program("./jq", "@/elf", {"--architecture", "x86_64"}), 0,
                "entries zipped"},
        // Behind the wrapper that bundling puts in its place.
        CliCase{"BundledProgramOfAnotherMachine",
                program("./jq", "@/elf", {"--bundle", "all", "--architecture", "i386"}), 1,
                "mkportable: command record 0 is made for i386 machines, but jq is a program for ELF 64-bit x86-64"},
        CliCase{"ExcludedNamesCounted", build({"--exclude", "*.txt", "--exclude", "nothing"}), 0,
                "(2 entries zipped, 1 excluded)"},
        CliCase{"ExcludedFromACopiedFolder", build({"--copy-external-links", "--exclude", "*.txt"}, "@/ext"), 0,
                "(4 entries zipped, 1 excluded)"},
        CliCase{"ExcludedFolderTakesItsContents", build({"--exclude", "l?b"}), 0, "(1 entries zipped, 1 excluded)"},
        CliCase{"ExcludePatternWithSlash", build({"--exclude", "lib/*.txt"}), 1,
                "mkportable: --exclude: the exclude pattern 'lib/*.txt' holds a '/'"},
        CliCase{"TryWithoutPackage", {"try"}, 2, "package is required"},
        CliCase{
            "TryMissingPackage", {"try", "@/none.run", "--help"}, 1, "mkportable: cannot open the package @/none.run"},
        CliCase{"TryFolder", {"try", "@/tool"}, 1, "mkportable: @/tool is not a regular file"},
        CliCase{"ExcludeFromReadyZip", build({"--exclude", "x"}, "@/ready.zip"), 1,
                "cannot exclude x from the ready zip image"},
        CliCase{"DanglingLinkNotCopied", build({"--copy-external-links"}, "@/dangle"), 1,
                "mkportable: x -> @/none: the link dangles, so there is nothing to copy\n"},
        CliCase{"LinkToTheImageNotCopied", build({"--copy-external-links"}, "@/loop"), 1,
                "mkportable: up -> @/loop: the directory it points to holds the link, the image "
                "or a directory being copied, so copying it would never end\n"},
        CliCase{"LinkToRootNotCopied", build({"--copy-external-links"}, "@/top"), 1,
                "mkportable: root -> /: the directory it points to holds the link"},
        CliCase{"LinksInACircleNotCopied", build({"--copy-external-links"}, "@/ring"), 1,
                "mkportable: b/back/again -> @/ping: the directory it points to holds the link"},
        CliCase{"InfoHelp", {"info", "--help"}, 0, "--json"},
        CliCase{"HelpListsTryAndMan",
                {"--help"},
                0,
                "  try                         Run a package in an empty root, to see what it lacks\n"
                "  man                         Print a manual page in roff"},
        CliCase{"BuildHelpPointsToTheManifestPage", {"build", "--help"}, 0, "(see mkportable-manifest(5))"},
        CliCase{"VerifyWithoutPackage", {"verify"}, 2, "package is required"}),
    [](const auto &p) { return p.param.name; });

TEST(MkportableCli, WarnsAboutRecordsNoMachineMatches)
{
    CliFixture fx;
    put(fx.dir / "w.toml", "image = 'tool'\n[[record]]\ncommand = 'x'\ndistribution = 'none'\n"
                           "architecture = 'none'\nrelease = 0\n"
                           "[[record]]\ndistribution = 'suse'\nrelease = 11\narchitecture = 0\n"
                           "command = 'y'\n"
                           "[[record]]\ndistribution = 'redhat'\nrelease = 5\n"
                           "architecture = 'i386'\ncommand = 'z'\n");
    ProgramResult r = fx.run({"build", "-q", "@/w.toml", "-o", "@/out.run"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "mkportable: warning: command record 0 (Unknown 0, Unknown) matches no "
                     "machine; the launcher runs it only after the mismatch warning and a "
                     "5-second pause\n"
                     "mkportable: warning: command record 1 (SuSE 11, Unknown) matches no "
                     "machine; the launcher never selects it\n");

    // Records are tried in order: one that an earlier record always matches
    // first is refused, naming both.
    struct Order {
        std::string records;
        std::string err; // empty: built
    } orders[] = {
        {"[[record]]\ncommand = 'x'\n[[record]]\ndistribution = 'suse'\ncommand = 'y'\n",
         "mkportable: command record 1 (SuSE, any release, any architecture) comes after record 0 "
         "(any distribution, any architecture), which "
         "matches every machine that it matches; the launcher would never select it: put the "
         "narrower record first\n"},
        {"[[record]]\ndistribution = 'debian'\ncommand = 'x'\n[[record]]\ndistribution = 'debian'\n"
         "release = 12\narchitecture = 'x86_64'\ncommand = 'y'\n",
         "mkportable: command record 1 (Debian 12, Intel 64-bit) comes after record 0 (Debian, any "
         "release, any architecture), which matches every machine that it matches; the launcher "
         "would never select it: put the narrower record first\n"},
        {"[[record]]\ndistribution = 'debian'\nrelease = 12\ncommand = 'x'\n[[record]]\ncommand = 'y'\n", ""},
        {"[[record]]\ndistribution = 'ubuntu'\ncommand = 'x'\n[[record]]\nrelease = 22\ncommand = 'y'\n", ""},
    };
    for (const auto &o : orders) {
        put(fx.dir / "o.toml", "image = 'tool'\n" + o.records);
        r = fx.run({"build", "-q", "@/o.toml", "-o", "@/out.run"});
        EXPECT_EQ(r.status, o.err.empty() ? 0 : 1) << o.records;
        EXPECT_EQ(r.err, o.err) << o.records;
    }

    // A 64-bit launcher in a package for 32-bit machines would not start there.
    r = fx.run(build({"-q", "--distribution", "suse", "--architecture", "i386", "--launcher", LAUNCHER_BIN}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, std::string("mkportable: warning: the launcher ") + LAUNCHER_BIN +
                         " is a 64-bit program (ELF 64-bit x86-64); the package is made for "
                         "32-bit machines too, where it cannot run\n");
}

// Opening a FIFO waits for a writer: every input that is no regular file
// (nor, for the image, a directory) is refused before it is opened for good.
TEST(MkportableCli, RefusesAFifoAsAnyInputAtOnce)
{
    CliFixture fx;
    ASSERT_EQ(mkfifo((fx.dir / "fifo").c_str(), 0644), 0);
    const std::string fifo = (fx.dir / "fifo").string();
    const std::vector<std::string> suse = {"--distribution", "suse", "--release", "11", "--architecture", "x86_64"};
    auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.end(), suse.begin(), suse.end());
        return extra;
    };
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {build(suse, "@/fifo"), "image " + fifo + " is neither a directory nor a regular file"},
        {build(with({"--launcher", "@/fifo"})), "launcher " + fifo + " is not a regular file"},
        {build(with({"--unzip", "@/fifo"})), "unzip utility " + fifo + " is not a regular file"},
        {{"build", "@/fifo", "-o", "@/out.run"}, "manifest " + fifo + " is not a regular file"},
        {{"info", "@/fifo"}, fifo + " is not a regular file"},
        {{"verify", "@/fifo"}, fifo + " is not a regular file"},
    };
    for (const auto &[args, message] : cases) {
        StartedProgram program = fx.start(args);
        const pid_t pid = program.pid;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        siginfo_t info{};
        while (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const bool ended = info.si_pid == pid;
        if (!ended)
            kill(pid, SIGKILL);
        const ProgramResult r = finishProgram(program);
        EXPECT_TRUE(ended) << args[0] << " " << message << ": still waiting after a second";
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.err, "mkportable: " + message + "\n");
    }
}

// As a linker does: 0777 less the umask.
TEST(MkportableCli, PackageModeFollowsTheUmask)
{
    CliFixture fx;
    for (const mode_t mask : {mode_t(022), mode_t(077), mode_t(0)}) {
        const mode_t old = umask(mask);
        const ProgramResult r = fx.run(build({"-q"}));
        umask(old);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fs::status(fx.dir / "out.run").permissions(), fs::perms(0777 & ~mask)) << std::oct << mask;
    }
}

TEST(MkportableCli, RecordsEveryOptionInThePackage)
{
    CliFixture fx;
    ProgramResult r = fx.run(build({"--arguments", "-a 'b c'", "--always-append", "--strict", "--distribution",
                                    "RedHat", "--release", "5", "--architecture", "2"},
                                   "@/ready.zip"));
    ASSERT_EQ(r.status, 0) << r.err;
    const DecodedPackage pkg = decodePackage(readFile(fx.dir / "out.run"));
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], fx.launcher);
    EXPECT_EQ(pkg.elements[PKG_UNZIP], fx.unzip);
    EXPECT_EQ(pkg.elements[PKG_IMAGE], readFile(fx.dir / "ready.zip")) << "a zip is packed verbatim";
    EXPECT_EQ(pkg.globalInfo.commandCount, 1);
    EXPECT_EQ(pkg.globalInfo.strictPlatformMatch, 1);
    ASSERT_EQ(pkg.records.size(), 1u);
    const CommandRecord &rec = pkg.records[0];
    EXPECT_EQ(std::tie(rec.distribution, rec.release, rec.architecture), std::tuple(3, 5, 2));
    EXPECT_STREQ(rec.command, "./run.sh");
    EXPECT_STREQ(rec.arguments, "-a 'b c'");
    EXPECT_EQ(rec.alwaysAppendArguments, 1);
}

TEST(MkportableCli, DirectoryImageIsReproducibleAndLeavesNoScratchFiles)
{
    CliFixture fx;
    makeDir(fx.dir / "out");
    auto pack = [&](const std::string &name, const std::vector<std::string> &env) {
        EXPECT_EQ(fx.run({"build", "-o", "@/out/" + name, "--image", "@/tool", "--command", "x"}, env).status, 0);
        return readFile(fx.dir / "out" / name);
    };
    const std::string first = pack("a.run", {});
    EXPECT_EQ(pack("b.run", {"SOURCE_DATE_EPOCH=315532800"}), first) << "1980 is the default";
    EXPECT_NE(pack("c.run", {"SOURCE_DATE_EPOCH=1700000000"}), first);
    EXPECT_EQ(listDir(fx.dir / "out"), (std::vector<std::string>{"a.run", "b.run", "c.run"}));
}

TEST(MkportableCli, FindsLauncherAndUnzipBesideItself)
{
    CliFixture fx;
    const fs::path bin = fx.dir / "bin";
    makeDir(bin);
    fs::copy_file(MKPORTABLE_BIN, bin / "mkportable");
    const std::vector<std::string> args = {
        (bin / "mkportable").string(),   "build",     "-o", (fx.dir / "out.run").string(), "--image",
        (fx.dir / "ready.zip").string(), "--command", "x"};
    ProgramResult missing = runProgram(args, fx.dir);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find((bin / "launcher").string()), std::string::npos) << missing.err;

    put(bin / "launcher", "the launcher beside it", 0755);
    put(bin / "miniunz", "the unzip utility beside it", 0755);
    ASSERT_EQ(runProgram(args, fx.dir).status, 0);
    const DecodedPackage pkg = decodePackage(readFile(fx.dir / "out.run"));
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], "the launcher beside it");
    EXPECT_EQ(pkg.elements[PKG_UNZIP], "the unzip utility beside it");
}

TEST(MkportableCli, LevelComesFromTheOptionElseTheManifest)
{
    CliFixture fx;
    put(fx.dir / "tool" / "lib" / "data.txt", std::string(5000, 'd'));
    put(fx.dir / "stored.toml", "level = 0\nimage = 'tool'\n[[record]]\ncommand = 'x'\n");
    // arguments, method of the compressible entry
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"build", "@/stored.toml", "-o", "@/out.run"}, 0},
        {{"build", "@/stored.toml", "-o", "@/out.run", "--level", "1"}, 8},
        {{"build", "-o", "@/out.run", "--image", "@/tool", "--command", "x"}, 8},
        {{"build", "-o", "@/out.run", "--image", "@/tool", "--command", "x", "--level", "0"}, 0},
    };
    for (const auto &[args, method] : cases) {
        ASSERT_EQ(fx.run(args).status, 0) << args.back();
        put(fx.dir / "image.zip", decodePackage(readFile(fx.dir / "out.run")).elements[PKG_IMAGE]);
        const std::vector<ZipEntry> entries = readZip(fx.dir / "image.zip");
        const auto data = std::find_if(entries.begin(), entries.end(),
                                       [](const ZipEntry &e) { return e.name == "lib/data.txt"; });
        ASSERT_NE(data, entries.end());
        EXPECT_EQ(data->method, method) << args.back();
    }
}

TEST(MkportableCli, InterruptWhileZippingLeavesNoFileBehind)
{
    CliFixture fx;
    // A big sparse file keeps the workers busy long enough to be caught.
    put(fx.dir / "tool" / "big", "B");
    ASSERT_EQ(truncate((fx.dir / "tool" / "big").c_str(), 1L << 30), 0);
    const std::vector<std::string> before = listDir(fx.dir);
    StartedProgram program = startProgram({MKPORTABLE_BIN, "build", "-o", (fx.dir / "out.run").string(), "--image",
                                           (fx.dir / "tool").string(), "--command", "x", "--launcher",
                                           (fx.dir / "launcher").string(), "--unzip", (fx.dir / "miniunz").string()},
                                          fx.dir);
    // The workers are threads of their own: zipping has begun once they run.
    const fs::path tasks = "/proc/" + std::to_string(program.pid) + "/task";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code ec;
    while (std::distance(fs::directory_iterator(tasks, ec), fs::directory_iterator()) < 2 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(program.pid, SIGINT);
    EXPECT_EQ(finishProgram(program).status, 128 + SIGINT) << "interrupted too late";
    EXPECT_EQ(listDir(fx.dir), before);
}

TEST(MkportableCli, SignalDuringWriteRemovesTheTemporaryPackage)
{
    CliFixture fx;
    put(fx.dir / "out.run", "old package");
    // A big sparse launcher keeps the copy busy long enough to be caught.
    put(fx.dir / "big", "L");
    ASSERT_EQ(truncate((fx.dir / "big").c_str(), 512 << 20), 0);
    StartedProgram program = startProgram({MKPORTABLE_BIN, "build", "-o", (fx.dir / "out.run").string(), "--image",
                                           (fx.dir / "ready.zip").string(), "--command", "x", "--launcher",
                                           (fx.dir / "big").string(), "--unzip", (fx.dir / "miniunz").string()},
                                          fx.dir);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (tempFilesIn(fx.dir, "out.run").empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(tempFilesIn(fx.dir, "out.run").empty()) << "no temporary package seen";
    kill(program.pid, SIGTERM);
    EXPECT_EQ(finishProgram(program).status, 128 + SIGTERM);
    EXPECT_TRUE(tempFilesIn(fx.dir, "out.run").empty());
    EXPECT_EQ(readFile(fx.dir / "out.run"), "old package");
}

// A directory image leaves out what the patterns match, FIFOs and sockets
// among it included, with everything below a matching folder; no file keeps
// a set-user-ID or set-group-ID bit, and each dropped one gets a line.
TEST(MkportableCli, ExcludedNamesAndPrivilegeBitsStayOutOfTheImage)
{
    CliFixture fx;
    const fs::path tree = fx.dir / "priv";
    put(tree / "run.sh", "#!/bin/sh\n", 04755);
    put(tree / "bin" / "tool", "x", 02711);
    put(tree / "keep.py", "x");
    put(tree / "__pycache__" / "keep.cpython.pyc", "x");
    put(tree / ".git" / "config", "x");
    ASSERT_EQ(mkfifo((tree / "bin" / "pipe.pyc").c_str(), 0644), 0);
    const ProgramResult r = fx.run({"build", "-o", "@/out.run", "--image", tree.string(), "--command", "./run.sh",
                                    "--exclude", "*.pyc", "--exclude", "__pycache__", "--exclude", ".git"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "mkportable: note: bin/tool is packed without its set-group-ID bit\n"
                     "mkportable: note: run.sh is packed without its set-user-ID bit\n");
    EXPECT_NE(r.out.find("(4 entries zipped, 3 excluded)"), std::string::npos) << r.out;
    put(fx.dir / "image.zip", decodePackage(readFile(fx.dir / "out.run")).elements[PKG_IMAGE]);
    std::map<std::string, unsigned long> modes;
    for (const ZipEntry &entry : readZip(fx.dir / "image.zip"))
        modes[entry.name] = entry.externalAttributes >> 16;
    const std::map<std::string, unsigned long> want = {{"bin/", S_IFDIR | 0755},
                                                       {"bin/tool", S_IFREG | 0711},
                                                       {"keep.py", S_IFREG | 0644},
                                                       {"run.sh", S_IFREG | 0755}};
    EXPECT_EQ(modes, want);
}

} // namespace
