// Manifests: what a complete one turns into, and the exact message for
// each kind of mistake.
#include "mkportable/package/manifest.h"
#include "mkportable_test_support.h"
#include "pack_error.h"

#include <gtest/gtest.h>

namespace {

using namespace mkptest;
using mkportable::parseManifest;

TEST(Manifest, ReadsEveryFieldWithPathsFromTheManifestFolder)
{
    const mkportable::PackagePlan plan = parseManifest(R"(
output = "dist/tool.run"
strict = true
level = 12
launcher = "/opt/launcher"
unzip = "bin/miniunz"
image = { i386 = "out32", x86_64 = "/abs/out64" }
bundle = ["bin/tool", "helper"]
external_links = "copy"
guard = "package"
progress = "none"
signals = "record"
working_directory = "caller"
cache = true
name = "jq"
version = "1.7.1"
summary = "a JSON filter"

[[record]]
distribution = "SuSE"
release = 11
architecture = "x86_64"
command = "./run.sh"
arguments = "--batch 'two words'"
always_append = true

[[record]]
distribution = 3
architecture = 1
command = "cd bin; ./run32"
)",
                                                       "/m/tool.toml");
    EXPECT_EQ(plan.output, "/m/dist/tool.run");
    EXPECT_TRUE(plan.strictPlatformMatch);
    EXPECT_EQ(plan.level, mkportable::ZIP_LEVEL_MAX);
    EXPECT_EQ(plan.launcher, "/opt/launcher");
    EXPECT_EQ(plan.unzip, "/m/bin/miniunz");
    EXPECT_EQ(plan.images, (std::vector<fs::path>{"/m/out32", "/abs/out64"}));
    EXPECT_EQ(plan.bundle, (std::vector<std::string>{"bin/tool", "helper"}));
    EXPECT_TRUE(plan.copyExternalLinks);
    EXPECT_EQ(plan.manifest, "/m/tool.toml");
    EXPECT_EQ(plan.settings.guard, GUARD_PACKAGE);
    EXPECT_EQ(plan.settings.progress, PROGRESS_NONE);
    EXPECT_EQ(plan.settings.signals, SIGNALS_RECORD);
    EXPECT_EQ(plan.settings.workingDirectory, WORKDIR_CALLER);
    EXPECT_TRUE(plan.settings.cache);
    EXPECT_EQ(std::string(plan.settings.name) + " " + plan.settings.version + " " + plan.settings.summary,
              "jq 1.7.1 a JSON filter");
    ASSERT_EQ(plan.commands.size(), 2u);
    const auto &a = plan.commands[0], &b = plan.commands[1];
    EXPECT_EQ(std::tie(a.distribution, a.release, a.architecture), std::tuple(2, 11, 2));
    EXPECT_EQ(a.command, "./run.sh");
    EXPECT_EQ(a.arguments, "--batch 'two words'");
    EXPECT_TRUE(a.alwaysAppendArguments);
    // A field left out matches any machine.
    EXPECT_EQ(std::tie(b.distribution, b.release, b.architecture), std::tuple(3, -1, 1));
    EXPECT_EQ(b.command, "cd bin; ./run32");
    EXPECT_EQ(b.arguments, "");
    EXPECT_FALSE(b.alwaysAppendArguments);

    const auto single = parseManifest("image = 'tree'\n[[record]]\ncommand = 'x'\n", "t.toml");
    EXPECT_EQ(single.images, std::vector<fs::path>{"tree"});
    EXPECT_EQ(single.output, "");
    EXPECT_FALSE(single.strictPlatformMatch);
    EXPECT_EQ(single.level, mkportable::ZIP_LEVEL_DEFAULT);
    EXPECT_FALSE(single.copyExternalLinks);
    // A new package runs beside itself, keeps stdout for the tool and passes
    // a service manager's signals on.
    EXPECT_EQ(single.settings.guard, GUARD_NONE);
    EXPECT_EQ(single.settings.progress, PROGRESS_STDERR);
    EXPECT_EQ(single.settings.signals, SIGNALS_FORWARD);
    EXPECT_EQ(single.settings.workingDirectory, WORKDIR_IMAGE);
}

struct BadManifest {
    const char *name;
    std::string text;
    std::string message; // the whole message
};
void PrintTo(const BadManifest &c, std::ostream *os)
{
    *os << c.name;
}

class BadManifestTest : public ::testing::TestWithParam<BadManifest> {};

TEST_P(BadManifestTest, NamesTheMistakeAndWhereItIs)
{
    const BadManifest &c = GetParam();
    try {
        parseManifest(c.text, "m.toml");
        ADD_FAILURE() << "accepted";
    } catch (const mkportable::PackError &e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
}

const std::string IMAGE = "image = 'tree'\n";
const std::string RECORD = "[[record]]\ncommand = './run.sh'\n";

INSTANTIATE_TEST_SUITE_P(
    Manifest, BadManifestTest,
    ::testing::Values(
        BadManifest{"Syntax", "image = \n",
                    "m.toml:1:9: Error while parsing key-value pair: "
                    "expected value, saw '\\n'"},
        BadManifest{"UnknownTopKey", IMAGE + "strickt = true\n" + RECORD,
                    "m.toml:2:1: unknown key 'strickt' (known: output, strict, launcher, unzip, "
                    "image, bundle, exclude, record, level, external_links, guard, progress, signals, "
                    "working_directory, name, version, summary, cache, sign, target)"},
        BadManifest{"GuardWord", IMAGE + "guard = 'host'\n" + RECORD,
                    "m.toml:2:9: guard must be \"machine\", \"package\" or \"none\", not \"host\""},
        BadManifest{"ProgressNotAString", IMAGE + "progress = false\n" + RECORD,
                    "m.toml:2:12: progress must be a string"},
        BadManifest{"CacheNotABoolean", IMAGE + "cache = 'yes'\n" + RECORD, "m.toml:2:9: cache must be true or false"},
        BadManifest{"WorkingDirectoryWord", IMAGE + "working_directory = 'here'\n" + RECORD,
                    "m.toml:2:21: working_directory must be \"image\" or \"caller\", not \"here\""},
        BadManifest{"NameAtItsLimitPlusOne", IMAGE + "name = '" + std::string(32, 'n') + "'\n" + RECORD,
                    "m.toml:2:8: name is 32 bytes long; it may hold at most 31 bytes"},
        BadManifest{"VersionAtItsLimitPlusOne", IMAGE + "version = '1.2.3.4.5.6.7.8.9'\n" + RECORD,
                    "m.toml:2:11: version is 17 bytes long; it may hold at most 15 bytes"},
        BadManifest{"SummaryOnTwoLines", IMAGE + "summary = \"a\\nb\"\n" + RECORD,
                    "m.toml:2:11: summary holds a control character; write it on one line without them"},
        BadManifest{"ExternalLinksFollowed", IMAGE + "external_links = 'follow'\n" + RECORD,
                    "m.toml:2:18: external_links must be \"copy\", the only way to pack links "
                    "that miniunz would refuse"},
        BadManifest{"ExternalLinksTrue", IMAGE + "external_links = true\n" + RECORD,
                    "m.toml:2:18: external_links must be a string"},
        BadManifest{"BundleNotAList", IMAGE + "bundle = 'bin/jq'\n" + RECORD,
                    "m.toml:2:10: bundle must be \"all\" or a list of paths in the image"},
        BadManifest{"ExcludeNotAList", IMAGE + "exclude = '*.pyc'\n" + RECORD,
                    "m.toml:2:11: exclude must be a list of name patterns"},
        BadManifest{"ExcludeWithSlash", IMAGE + "exclude = ['*.pyc', 'a/*.o']\n" + RECORD,
                    "m.toml:2:21: exclude: the exclude pattern 'a/*.o' holds a '/'; each pattern is matched "
                    "against one name of a path at a time"},
        BadManifest{"ExcludeEmpty", IMAGE + "exclude = ['']\n" + RECORD,
                    "m.toml:2:12: exclude: an exclude pattern is empty"},
        BadManifest{"BundleNumber", IMAGE + "bundle = ['a', 5]\n" + RECORD,
                    "m.toml:2:16: each bundle entry must be a string"},
        BadManifest{"BundleOutsideImage", IMAGE + "bundle = ['bin/../../jq']\n" + RECORD,
                    "m.toml:2:11: bundle: cannot bundle 'bin/../../jq': the path holds '.' or "
                    "'..'"},
        BadManifest{"BundleAbsolute", IMAGE + "bundle = ['/usr/bin/jq']\n" + RECORD,
                    "m.toml:2:11: bundle: cannot bundle '/usr/bin/jq': give the program's path "
                    "inside the image, without a leading '/'"},
        BadManifest{"BundleUnquotable", IMAGE + "bundle = ['bin/$x']\n" + RECORD,
                    "m.toml:2:11: bundle: cannot bundle 'bin/$x': the path holds a character "
                    "that the wrapper script cannot quote (\" $ ` \\ or a line end)"},
        BadManifest{"BundleFolder", IMAGE + "bundle = ['bin/']\n" + RECORD,
                    "m.toml:2:11: bundle: cannot bundle 'bin/': the path names no file"},
        BadManifest{"UnknownRecordKey", IMAGE + RECORD + "comand = 'x'\n",
                    "m.toml:4:1: unknown key 'comand' in record 0 (known: distribution, release, "
                    "architecture, command, arguments, always_append)"},
        BadManifest{"NoImage", RECORD,
                    "m.toml:1:1: no image: set image to a directory or zip "
                    "archive"},
        BadManifest{"EmptyImage", "image = ''\n" + RECORD, "m.toml:1:9: image is empty"},
        BadManifest{"HalfDualImage", "image = { i386 = 'a' }\n" + RECORD,
                    "m.toml:1:9: a dual-image package needs both images, i386 and x86_64; "
                    "x86_64 is missing"},
        BadManifest{"ThirdVariant", "image = { i386 = 'a', x86_64 = 'b', ppc = 'c' }\n" + RECORD,
                    "m.toml:1:37: unknown key 'ppc' in image (known: i386, x86_64)"},
        BadManifest{"ImageNumber", "image = 5\n" + RECORD,
                    "m.toml:1:9: image must be a path, or a table of two paths, i386 and x86_64"},
        BadManifest{"NoRecord", IMAGE,
                    "m.toml:1:1: no command record: add at least one "
                    "[[record]] with a command"},
        BadManifest{"RecordNotTables", IMAGE + "record = ['x']\n",
                    "m.toml:2:10: record must be an array of tables: write each as [[record]]"},
        BadManifest{"NoCommand", IMAGE + "[[record]]\nrelease = 1\n", "m.toml:2:1: record 0 has no command"},
        BadManifest{"CommandNumber", IMAGE + "[[record]]\ncommand = 5\n", "m.toml:3:11: command must be a string"},
        BadManifest{"LongCommand", IMAGE + "[[record]]\ncommand = '" + std::string(128, 'c') + "'\n",
                    "m.toml:3:11: command record 0: command is 128 bytes long; at most 127 "
                    "bytes fit"},
        BadManifest{"LongArguments", IMAGE + RECORD + RECORD + "arguments = '" + std::string(256, 'a') + "'\n",
                    "m.toml:5:11: command record 1: arguments is 256 bytes long; at most 255 "
                    "bytes fit"},
        BadManifest{"BlankCommand", IMAGE + "[[record]]\ncommand = '  '\n",
                    "m.toml:3:11: command record 0: the command is empty"},
        BadManifest{"UnknownDistribution", IMAGE + RECORD + "distribution = 'arch'\n",
                    "m.toml:4:16: unknown distribution 'arch' (expected none, windows, suse, "
                    "redhat, novell, debian, ubuntu, any or 0-6)"},
        BadManifest{"DistributionCodeOutOfRange", IMAGE + RECORD + "distribution = 7\n",
                    "m.toml:4:16: unknown distribution '7' (expected none, windows, suse, "
                    "redhat, novell, debian, ubuntu, any or 0-6)"},
        BadManifest{"UnknownArchitecture", IMAGE + RECORD + "architecture = 'amd64'\n",
                    "m.toml:4:16: unknown architecture 'amd64' (expected none, i386, x86_64, "
                    "ppc, arm64, any or 0-4)"},
        BadManifest{"UnknownTarget", "target = 'arm'\n" + IMAGE + RECORD,
                    "m.toml:1:10: target must be x86_64, i386, arm64 or aarch64"},
        BadManifest{"ArchitectureBoolean", IMAGE + RECORD + "architecture = true\n",
                    "m.toml:4:16: architecture must be a name or a code"},
        BadManifest{"NegativeRelease", IMAGE + RECORD + "release = -1\n",
                    "m.toml:4:11: release -1 is out of range (0 to 2147483647)"},
        BadManifest{"HugeRelease", IMAGE + RECORD + "release = 2147483648\n",
                    "m.toml:4:11: release 2147483648 is out of range (0 to 2147483647)"},
        BadManifest{"ReleaseText", IMAGE + RECORD + "release = '11'\n",
                    "m.toml:4:11: release must be a whole number or \"any\""},
        BadManifest{"LevelAboveMax", "level = 13\n" + IMAGE + RECORD, "m.toml:1:9: level 13 is out of range (0 to 12)"},
        BadManifest{"LevelName", "level = 'best'\n" + IMAGE + RECORD, "m.toml:1:9: level must be a whole number"},
        BadManifest{"StrictText", "strict = 'yes'\n" + IMAGE + RECORD, "m.toml:1:10: strict must be true or false"}),
    [](const auto &p) { return p.param.name; });

TEST(Manifest, MissingFileIsNamed)
{
    const fs::path dir = scratchDir();
    expectPackError([&] { mkportable::readManifest(dir / "none.toml"); },
                    "cannot open the manifest " + (dir / "none.toml").string() + ": No such file or directory");
}

} // namespace
