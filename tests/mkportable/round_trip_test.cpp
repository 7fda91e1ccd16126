// Packages built by mkportable and run by the real launchers, 64-bit,
// 32-bit and ARM (emulated), in the private namespace of tests/common/sandbox.h; the programs
// mkportable picks by default; reproducibility; the progress bar.
#include "mkportable_test_support.h"
#include "sandbox.h"
#include "tree_scan.h"
#include "zip_fixture.h"

#include <csignal>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>

namespace {

using namespace mkptest;

// A tree with every kind of entry an image holds.
void makeToolTree(const fs::path &root)
{
    put(root / "bin" / "tool", "#!/bin/sh\necho \"$@\" > \"$QUARN_PORTABLE_EXEC_DIR/ran\"\n", 0755);
    put(root / "data" / "blob", noise(300000, 7), 0644);
    put(root / "data" / "empty", "", 0600);
    put(root / "dir with space" / "f", "spaced\n", 0640);
    makeDir(root / "empty-dir", 0700);
    fs::create_symlink("bin/tool", root / "link");
}

// Names, kinds, permissions and contents (link targets) of a tree.
std::string describeTree(const fs::path &root)
{
    std::string text;
    for (const mkportable::TreeEntry &e : mkportable::scanTree(root)) {
        char mode[16];
        std::snprintf(mode, sizeof mode, " %o ", unsigned(e.mode));
        text += e.name + mode;
        if (e.kind == mkportable::EntryKind::File)
            text += std::to_string(std::hash<std::string>{}(readFile(e.source)));
        else if (e.kind == mkportable::EntryKind::Symlink)
            text += fs::read_symlink(e.source).string();
        text += "\n";
    }
    return text;
}

ProgramResult mkportable(const fs::path &dir, std::vector<std::string> args, const std::vector<std::string> &env = {})
{
    args.insert(args.begin(), MKPORTABLE_BIN);
    return runProgram(args, dir, env);
}

// The launcher's words for an architecture a record names.
std::string architectureLabel(const std::string &name)
{
    return name == "i386" ? "Intel 32-bit" : name == "arm64" ? "ARM 64-bit" : "Intel 64-bit";
}

// The architecture a record names, the launcher it brings, and what
// "uname -i" and "uname -m" print on such a machine.
struct RoundTrip {
    const char *architecture;
    const char *launcher;
    const char *hardware;
    const char *machine;
};
void PrintTo(const RoundTrip &c, std::ostream *os)
{
    *os << c.architecture;
}

class RoundTripTest : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(RoundTripTest, BuildVerifyExtractAndRunGiveBackTheTree)
{
    const RoundTrip &c = GetParam();
    const Foreign *foreign = foreignFor(c.architecture);
    if (foreign != nullptr) {
        SKIP_UNLESS_RUNS(*foreign);
    }
    const fs::path dir = scratchDir();
    makeToolTree(dir / "tool");
    put(dir / "tool.toml", std::string("image = 'tool'\n[[record]]\ndistribution = 'suse'\n"
                                       "release = 11\narchitecture = '") +
                               c.architecture + "'\ncommand = './bin/tool'\narguments = 'default args'\n");
    ASSERT_EQ(mkportable(dir, {"build", "-q", "tool.toml", "-o", "tool.run"}).status, 0);
    const ProgramResult verify = mkportable(dir, {"verify", "tool.run"});
    EXPECT_EQ(verify.out, "tool.run: OK, 1 command record, 1 image, 9 entries checked, SHA-256 "
                          "digest matches\n"
                          "tool.run: settings: guard none, progress stderr, signals forward, working_directory image, "
                          "cache false\n");
    // Every package carries these two: no symbol table, no debug information.
    // The sanitizer build keeps its own whole; the 32-bit and ARM ones come
    // from builds of their own, always stripped.
    const DecodedPackage pkg = decodePackage(readFile(dir / "tool.run"));
    for (int element : {PKG_LAUNCHER, PKG_UNZIP})
        for (const char *section : {".symtab", ".debug_info"})
            EXPECT_EQ(pkg.elements[element].find(section) == std::string::npos,
                      foreign != nullptr || PACKAGED_PROGRAMS_STRIPPED)
                << "element " << element << ", section " << section;
    EXPECT_NE(mkportable(dir, {"info", "tool.run"}).out.find(c.launcher), std::string::npos);

    SandboxRun extract;
    extract.argv = runArgs(foreign, {(dir / "tool.run").string(), "--extract", (dir / "out").string()});
    extract.env = {"VESK_PORTABLE_INTERACTIVE="};
    SandboxResult r = runSandboxed(dir.string(), extract);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(describeTree(dir / "out"), describeTree(dir / "tool"));
    EXPECT_EQ(r.tmpAfter, "");

    // A ready zip with Zip64 records (Info-ZIP's `zip -fz`) unpacks to the
    // same tree on this machine's build of miniunz.
    ASSERT_EQ(std::system(("cd '" + (dir / "tool").string() + "' && zip -q -r -y -fz ../zip64.zip .").c_str()), 0);
    put(dir / "zip64.toml", readFile(dir / "tool.toml").replace(9, 4, "zip64.zip"));
    ASSERT_EQ(mkportable(dir, {"build", "-q", "zip64.toml", "-o", "zip64.run"}).status, 0);
    EXPECT_EQ(mkportable(dir, {"verify", "zip64.run"}).out,
              "zip64.run: OK, 1 command record, 1 image, 9 entries checked, SHA-256 digest matches\n"
              "zip64.run: settings: guard none, progress stderr, signals forward, working_directory image, cache "
              "false\n");
    extract.argv = runArgs(foreign, {(dir / "zip64.run").string(), "--extract", (dir / "out64").string()});
    r = runSandboxed(dir.string(), extract);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(describeTree(dir / "out64"), describeTree(dir / "tool"));

    // And run it on the machine the record names.
    SandboxRun run;
    run.argv = runArgs(foreign, {(dir / "tool.run").string()});
    onMachine(run, dir, FakeMachine{c.hardware, c.machine});
    r = runSandboxed(dir.string(), run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Extracting...\nExecuting...\n\n\n");
    EXPECT_EQ(readFile(dir / "ran"), "default args\n");
    EXPECT_EQ(r.tmpAfter, "");

    // The self-help options answer without running the tool.
    const std::pair<const char *, std::string> helps[] = {{"--portable-info", architectureLabel(c.architecture)},
                                                          {"--portable-list", "bin/tool"},
                                                          {"--portable-check", "OK"},
                                                          {"--portable-help", "--portable-check"}};
    for (const auto &[option, shown] : helps) {
        run.argv = runArgs(foreign, {(dir / "tool.run").string(), option});
        r = runSandboxed(dir.string(), run);
        EXPECT_EQ(r.status, 0) << option << r.err;
        EXPECT_NE(r.out.find(shown), std::string::npos) << option << ": " << r.out;
    }

    // An interrupt while the tool runs ends the run and removes its tree.
    put(dir / "wait" / "wait.sh", "#!/bin/sh\ntouch \"$QUARN_PORTABLE_EXEC_DIR/waiting\"\nexec sleep 30\n", 0755);
    ASSERT_EQ(mkportable(dir, {"build", "-q", "--image", "wait", "--command", "./wait.sh", "--architecture",
                               c.architecture, "-o", "wait.run"})
                  .status,
              0);
    run.argv = runArgs(foreign, {(dir / "wait.run").string()});
    run.signal = SIGINT;
    run.toGroup = true;
    run.triggerFile = (dir / "waiting").string();
    run.delayMs = 200;
    r = runSandboxed(dir.string(), run);
    EXPECT_NE(r.status, 0) << r.err;
    EXPECT_LT(r.seconds, 20);
    EXPECT_EQ(r.tmpAfter, "");
}

INSTANTIATE_TEST_SUITE_P(Launchers, RoundTripTest,
                         ::testing::Values(RoundTrip{"x86_64", "ELF 64-bit x86-64", "x86_64", "x86_64"},
                                           RoundTrip{"i386", "ELF 32-bit Intel 80386", "i386", "i386"},
                                           RoundTrip{"arm64", "ELF 64-bit ARM aarch64", "unknown", "aarch64"}));

TEST(DualImage, EachMachineRunsItsImageAndRecordThroughThe32BitLauncher)
{
    SKIP_UNLESS_RUNS(I386);
    const fs::path dir = scratchDir();
    for (const char *bits : {"32", "64"})
        put(dir / ("tool" + std::string(bits)) / "run.sh",
            std::string("#!/bin/sh\necho image") + bits + " \"$@\" > \"$QUARN_PORTABLE_EXEC_DIR/ran\"\n", 0755);
    put(dir / "dual.toml", "strict = true\nimage = { i386 = 'tool32', x86_64 = 'tool64' }\n"
                           "[[record]]\ndistribution = 'suse'\nrelease = 11\n"
                           "architecture = 'i386'\ncommand = './run.sh'\narguments = 'rec32'\n"
                           "[[record]]\ndistribution = 'suse'\nrelease = 11\n"
                           "architecture = 'x86_64'\ncommand = './run.sh'\narguments = 'rec64'\n");
    const ProgramResult built = mkportable(dir, {"build", "-q", "dual.toml", "-o", "dual.run"});
    ASSERT_EQ(built.status, 0) << built.err;
    const DecodedPackage pkg = decodePackage(readFile(dir / "dual.run"));
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], readFile(I386_DIR / "launcher"));
    EXPECT_EQ(pkg.elements[PKG_UNZIP], readFile(I386_DIR / "miniunz"));

    const std::pair<const char *, const char *> machines[] = {{"i386", "image32 rec32\n"},
                                                              {"x86_64", "image64 rec64\n"}};
    for (const auto &[hardware, ran] : machines) {
        fs::remove(dir / "ran");
        SandboxRun run;
        run.argv = runArgs(&I386, {(dir / "dual.run").string()});
        onMachine(run, dir, FakeMachine{hardware, hardware});
        const SandboxResult r = runSandboxed(dir.string(), run);
        EXPECT_EQ(r.status, 0) << hardware << r.err;
        EXPECT_EQ(r.err, "Extracting...\nExecuting...\n\n\n") << hardware;
        EXPECT_EQ(fs::exists(dir / "ran") ? readFile(dir / "ran") : "", ran) << hardware;
    }
}

// Which launcher and unzip utility a package gets when none is named.
struct DefaultCase {
    const char *name;
    std::vector<std::string> args;
    const char *launcher;
    const char *unzip;
};
void PrintTo(const DefaultCase &c, std::ostream *os)
{
    *os << c.name;
}

class DefaultProgramsTest : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultProgramsTest, AreTheOnesForThePackagesMachines)
{
    const DefaultCase &c = GetParam();
    const fs::path dir = scratchDir();
    // An installed tree: bin/mkportable, the build tree's 64-bit programs
    // beside it, and libexec/mkportable/<architecture>/.
    makeDir(dir / "bin");
    fs::copy_file(MKPORTABLE_BIN, dir / "bin" / "mkportable");
    for (const char *arch : {"i386", "x86_64", "aarch64"}) {
        put(dir / "libexec" / "mkportable" / arch / "launcher", std::string("lib-") + arch, 0755);
        put(dir / "libexec" / "mkportable" / arch / "miniunz", std::string("unz-") + arch, 0755);
    }
    if (std::string(c.name) != "Installed64")
        for (const char *program : {"launcher", "miniunz"})
            put(dir / "bin" / program, std::string("beside-") + program, 0755);
    put(dir / "t" / "run.sh", "echo\n", 0755);
    put(dir / "explicit", "explicit", 0755);

    std::vector<std::string> args = {
        (dir / "bin" / "mkportable").string(), "build", "-q", "-o", "p.run", "--command", "./run.sh"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult r = runProgram(args, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const DecodedPackage pkg = decodePackage(readFile(dir / "p.run"));
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], c.launcher);
    EXPECT_EQ(pkg.elements[PKG_UNZIP], c.unzip);
}

INSTANTIATE_TEST_SUITE_P(
    Build, DefaultProgramsTest,
    ::testing::Values(
        DefaultCase{"NoArchitecture", {"--image", "t"}, "beside-launcher", "beside-miniunz"},
        DefaultCase{"Intel64", {"--image", "t", "--architecture", "x86_64"}, "beside-launcher", "beside-miniunz"},
        DefaultCase{"Installed64", {"--image", "t", "--architecture", "x86_64"}, "lib-x86_64", "unz-x86_64"},
        DefaultCase{"Intel32", {"--image", "t", "--architecture", "i386"}, "lib-i386", "unz-i386"},
        DefaultCase{"DualImage", {"--image-i386", "t", "--image-x86_64", "t"}, "lib-i386", "unz-i386"},
        DefaultCase{"Arm64", {"--image", "t", "--architecture", "arm64"}, "lib-aarch64", "unz-aarch64"},
        DefaultCase{"AnyForArm64", {"--image", "t", "--target", "aarch64"}, "lib-aarch64", "unz-aarch64"},
        DefaultCase{"AnyForIntel32", {"--image", "t", "--target", "i386"}, "lib-i386", "unz-i386"},
        DefaultCase{"NamedLauncher",
                    {"--image", "t", "--architecture", "1", "--launcher", "explicit"},
                    "explicit",
                    "unz-i386"}),
    [](const auto &p) { return p.param.name; });

// Records for i386 among x86_64 ones take the 32-bit programs; records for
// ARM and Intel machines cannot share one launcher.
TEST(DefaultPrograms, MixedRecordsTakeThe32BitProgramsOrFailForTwoFamilies)
{
    const fs::path dir = scratchDir();
    makeDir(dir / "bin");
    fs::copy_file(MKPORTABLE_BIN, dir / "bin" / "mkportable");
    put(dir / "t" / "run.sh", "echo\n", 0755);
    const std::string record = "[[record]]\ndistribution = 'suse'\nrelease = 11\ncommand = './run.sh'\n";
    const std::pair<const char *, std::string> cases[] = {
        {"i386", "mkportable: no i386 launcher found (looked for " +
                     (dir / "libexec" / "mkportable" / "i386" / "launcher").string() + "); name one with --launcher\n"},
        {"arm64", "mkportable: command record 1 (SuSE 11, ARM 64-bit) and command record 0 (SuSE 11, Intel 64-bit) "
                  "are for different processors; a package runs on one processor family: build two files, one for "
                  "ARM and one for Intel machines\n"}};
    for (const auto &[second, message] : cases) {
        put(dir / "m.toml",
            "image = 't'\n" + record + "architecture = 'x86_64'\n" + record + "architecture = '" + second + "'\n");
        const ProgramResult r = runProgram({(dir / "bin" / "mkportable").string(), "build", "m.toml", "-o", "p.run"},
                                           dir);
        EXPECT_EQ(r.status, 1) << second;
        EXPECT_EQ(r.err, message) << second;
    }
}

TEST(Build, ManifestBuildsAreReproducible)
{
    const fs::path dir = scratchDir();
    makeToolTree(dir / "tool");
    put(dir / "launcher", "L", 0755);
    put(dir / "miniunz", "U", 0755);
    put(dir / "m.toml", "launcher = 'launcher'\nunzip = 'miniunz'\n"
                        "image = { i386 = 'tool', x86_64 = 'tool' }\n"
                        "[[record]]\ndistribution = 'suse'\nrelease = 11\n"
                        "architecture = 'x86_64'\ncommand = './bin/tool'\n");
    ASSERT_EQ(mkportable(dir, {"build", "-q", "m.toml", "-o", "a.run"}).status, 0);
    // Other mtimes, other directory order: the same bytes.
    fs::rename(dir / "tool", dir / "old");
    makeToolTree(dir / "tool");
    ASSERT_EQ(mkportable(dir, {"build", "-q", "m.toml", "-o", "b.run"}).status, 0);
    EXPECT_EQ(readFile(dir / "a.run"), readFile(dir / "b.run"));
}

TEST(Build, LinksMiniunzRefusesAreRefusedOrReplacedByWhatTheyPointTo)
{
    const fs::path dir = scratchDir();
    put(dir / "etc" / "conf", "absolute\n");
    put(dir / "shared" / "data", "climbed\n");
    fs::create_symlink("data", dir / "shared" / "alias");
    put(dir / "tool" / "run.sh", "#!/bin/sh\ncat conf share/data share/alias\n", 0755);
    fs::create_symlink(dir / "etc" / "conf", dir / "tool" / "conf");
    fs::create_symlink("../shared", dir / "tool" / "share");
    const std::string manifest = "image = 'tool'\n[[record]]\ncommand = './run.sh'\n";
    put(dir / "m.toml", manifest);
    put(dir / "copy.toml", "external_links = 'copy'\n" + manifest);

    ProgramResult r = mkportable(dir, {"build", "-q", "m.toml", "-o", "p.run"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "mkportable: conf -> " + (dir / "etc" / "conf").string() +
                         ": the link target is absolute, so miniunz would refuse it; pack what "
                         "it points to with --copy-external-links (external_links = \"copy\")\n");
    fs::remove(dir / "tool" / "conf");
    r = mkportable(dir, {"build", "-q", "m.toml", "-o", "p.run"});
    EXPECT_EQ(r.err, "mkportable: share -> ../shared: the link target leads out of the target "
                     "directory, so miniunz would refuse it; pack what it points to with "
                     "--copy-external-links (external_links = \"copy\")\n");
    fs::create_symlink(dir / "etc" / "conf", dir / "tool" / "conf");

    r = mkportable(dir, {"build", "-q", "copy.toml", "-o", "p.run"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "mkportable: conf -> " + (dir / "etc" / "conf").string() +
                         ": copied the file it points to\n"
                         "mkportable: share -> ../shared: copied the directory it points to\n");
    EXPECT_EQ(mkportable(dir, {"verify", "p.run"}).status, 0);
    SandboxRun run;
    run.argv = {(dir / "p.run").string()};
    run.env = {"QUARN_PORTABLE_QUIET=1"};
    const SandboxResult ran = runSandboxed(dir.string(), run);
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out, "absolute\nclimbed\nclimbed\n");
    EXPECT_EQ(ran.tmpAfter, "");
}

// Runs mkportable with both output streams on a terminal; returns what the
// terminal showed.
std::string runOnTerminal(const std::vector<std::string> &args, const fs::path &dir)
{
    ProgramRun run;
    run.argv = args;
    run.cwd = dir;
    run.terminal = true;
    const ProgramResult r = runProgram(run);
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
}

TEST(Build, DrawsProgressOnATerminalUnlessQuiet)
{
    const fs::path dir = scratchDir();
    makeToolTree(dir / "tool");
    put(dir / "launcher", "L", 0755);
    put(dir / "miniunz", "U", 0755);
    const std::vector<std::string> args = {
        MKPORTABLE_BIN,   "build",      "-o",         "p.run",    "--image",        "tool",
        "--command",      "./bin/tool", "--launcher", "launcher", "--unzip",        "miniunz",
        "--distribution", "suse",       "--release",  "11",       "--architecture", "x86_64"};
    const std::string shown = runOnTerminal(args, dir);
    EXPECT_NE(shown.find("\rzipping image ["), std::string::npos) << shown;
    EXPECT_NE(shown.find("] 100%  0.3 of 0.3 MiB\r\033[K"), std::string::npos) << shown;
    EXPECT_NE(shown.find("mkportable: wrote p.run"), std::string::npos) << shown;

    std::vector<std::string> quiet = args;
    quiet.push_back("--quiet");
    EXPECT_EQ(runOnTerminal(quiet, dir), "");
    // Not a terminal: a summary, no bar.
    const ProgramResult piped = mkportable(dir, std::vector<std::string>(args.begin() + 1, args.end()));
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out.find('\r'), std::string::npos);
}

// Zips as other zippers write them, made with the shared fixture and edited
// in place. What the usual unpackers read, miniunz reads to the same tree as
// bsdtar, and mkportable builds and verifies; what miniunz cannot read,
// `build` refuses and `verify` fails, with the reason miniunz gives.
TEST(ReadyZip, ShapesReadAsTheUsualUnpackersReadThemOrAreRefusedAtBuildTime)
{
    using Edit = std::function<void(std::string &)>;
    struct Shape {
        const char *label;
        std::vector<ZipEntrySpec> entries; // none: `zip -fz` of a small tree
        Edit edit;
        std::string refusal;    // empty: read by all; else "entry NAME: reason"
        std::string miniunzErr; // "ZIP" stands for the zip's path
        std::string note;       // what build and verify note about a zip they read
    };
    auto fields = [](std::string &b, std::size_t entry, std::size_t central, std::size_t local, std::size_t width,
                     uint64_t value) {
        const ZipLayout z = zipLayout(b);
        if (central != SIZE_MAX)
            putLe(b, z.central[entry] + central, width, value);
        if (local != SIZE_MAX)
            putLe(b, z.local[entry] + local, width, value);
    };
    ZipEntrySpec bz = fileEntry("text", std::string(20000, 'b') + "zip2", 0640);
    bz.bzip2 = true;
    ZipEntrySpec unicode = fileEntry("caf\xe9.txt", "latin-1 name");
    unicode.unicodeName = "caf\xc3\xa9.txt";
    const std::vector<ZipEntrySpec> pair = {fileEntry("a", "alpha"), fileEntry("b", "beta")};
    const Shape shapes[] = {
        {"padded to a block size", pair, [](std::string &b) { b.append(4096 - b.size() % 4096, '\0'); }, "", "", ""},
        {"data after the end record", pair, [](std::string &b) { b += "appended\n"; }, "", "", ""},
        {"placeholders in the classic end record",
         {},
         [](std::string &b) {
             putLe(b, b.size() - 22 + 8, 4, 0xffffffff);
             putLe(b, b.size() - 22 + 12, 8, ~uint64_t{0});
         },
         "",
         "",
         ""},
        {"a Unicode Path name", {unicode, dirEntry("d/")}, [](std::string &) {}, "", "", ""},
        {"a bzip2 entry", {bz, linkEntry("l", "text")}, [](std::string &) {}, "", "", ""},
        {"encrypted entries", pair,
         [&](std::string &b) {
             for (std::size_t i : {0, 1})
                 fields(b, i, 8, 6, 1, 1);
         },
         "entry a: encrypted entries are not supported\nentry b: encrypted entries are not "
         "supported",
         "miniunz: a and 1 more entries: refused: encrypted entries are not supported\n", ""},
        {"an LZMA entry", pair, [&](std::string &b) { fields(b, 0, 10, 8, 2, 14); },
         "entry a: unsupported compression LZMA (method 14)",
         "miniunz: a: refused: unsupported compression LZMA (method 14)\n", ""},
        {"an unsafe name",
         {fileEntry("xx/a", "alpha")},
         [](std::string &b) {
             for (std::size_t at = b.find("xx/a"); at != std::string::npos; at = b.find("xx/a"))
                 b.replace(at, 4, "../a");
         },
         "entry ../a: the name has a '..' component",
         "miniunz: ../a: refused: the name has a '..' component\n",
         ""},
        {"a link out of the tree",
         {fileEntry("l", "../../x")},
         [&](std::string &b) { fields(b, 0, 38, SIZE_MAX, 4, uint32_t(S_IFLNK | 0777) << 16); },
         "entry l: the link target leads out of the target directory (../../x)",
         "miniunz: l: refused link to '../../x': the link target leads out of the target "
         "directory\n",
         ""},
        {"a size that does not match the data", pair, [&](std::string &b) { fields(b, 0, 24, 22, 4, 6); },
         "entry a: holds 5 bytes, the directory records 6",
         "miniunz: a: data ends after 5 of the 6 bytes the archive records\n", ""},
        {"an archive comment cut short", pair,
         [](std::string &b) {
             putLe(b, b.size() - 22 + 20, 2, 64);
             b += "a comment of fewer than the 64 bytes recorded";
         },
         "", "",
         "image image.zip: the archive comment is cut short (its end record declares more bytes than follow "
         "it); the entries and the directory are whole and are read as they are"},
        {"a name with a NUL byte",
         {fileEntry("teXst", "alpha")},
         [](std::string &b) {
             for (std::size_t at = b.find("teXst"); at != std::string::npos; at = b.find("teXst"))
                 b[at + 2] = '\0';
         },
         "entry te\\x00st: the name holds a NUL byte",
         "miniunz: te\\x00st: refused: the name holds a NUL byte\n",
         ""},
    };
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.label);
        const fs::path dir = scratchDir();
        const std::string zip = (dir / "image.zip").string();
        if (shape.entries.empty()) {
            makeToolTree(dir / "tool");
            ASSERT_EQ(std::system(("cd '" + (dir / "tool").string() + "' && zip -q -r -y -fz ../image.zip .").c_str()),
                      0);
        } else {
            writeZip(zip, shape.entries);
        }
        const std::string sound = readFile(zip);
        std::string edited = sound;
        shape.edit(edited);
        put(zip, edited);
        put(dir / "p.toml", "image = 'image.zip'\n[[record]]\ndistribution = 'suse'\n"
                            "release = 11\narchitecture = 'x86_64'\ncommand = 'sh a'\n");
        const ProgramResult unzipped = runProgram({MINIUNZ_BIN, zip, "-d", "out"}, dir);
        EXPECT_EQ(unzipped.err, std::regex_replace(shape.miniunzErr, std::regex("ZIP"), zip));
        const ProgramResult built = mkportable(dir, {"build", "-q", "p.toml", "-o", "p.run"});
        if (shape.refusal.empty()) {
            EXPECT_EQ(unzipped.status, 0);
            ASSERT_EQ(std::system(("mkdir '" + (dir / "bsdtar").string() + "' && bsdtar -x -f '" + zip + "' -C '" +
                                   (dir / "bsdtar").string() + "'")
                                      .c_str()),
                      0);
            EXPECT_EQ(describeTree(dir / "out"), describeTree(dir / "bsdtar"));
            EXPECT_NE(describeTree(dir / "out"), "");
            EXPECT_EQ(built.status, 0) << built.err;
            EXPECT_EQ(built.err, shape.note.empty() ? "" : "mkportable: note: " + shape.note + "\n");
            const ProgramResult verified = mkportable(dir, {"verify", "p.run"});
            EXPECT_EQ(verified.status, 0) << verified.out;
            const std::string verifyNote = std::regex_replace(shape.note, std::regex("image image.zip"),
                                                              "p.run: note: the image");
            EXPECT_EQ(verified.out.substr(0, verified.out.find("p.run: OK")),
                      shape.note.empty() ? "" : verifyNote + "\n");
            continue;
        }
        EXPECT_EQ(unzipped.status, 1);
        std::string refusals;
        std::istringstream lines(shape.refusal);
        for (std::string line; std::getline(lines, line);)
            refusals += "mkportable: image image.zip: " + line + "\n";
        EXPECT_EQ(built.err, refusals + "mkportable: image image.zip cannot be unpacked by "
                                        "miniunz: repack it with deflate and without encryption, "
                                        "or give the directory instead of the zip\n");
        EXPECT_EQ(built.status, 1);
        // verify, on a package built from the sound zip with the shape put in
        // its place.
        put(zip, sound);
        ASSERT_EQ(mkportable(dir, {"build", "-q", "p.toml", "-o", "p.run"}).status, 0);
        std::string package = readFile(dir / "p.run");
        package.replace(package.size() - PKG_DIRECTORY_SIZE - 1 - sound.size(), sound.size(), edited);
        put(dir / "p.run", package);
        const ProgramResult verified = mkportable(dir, {"verify", "p.run"});
        // The edit is a change after the build: the digest says so too.
        std::string problems = std::regex_replace(refusals, std::regex("mkportable: image image.zip"),
                                                  "p.run: the image") +
                               "p.run: the package was changed after it was built: its SHA-256 digest "
                               "does not match the one recorded\n";
        const std::size_t count = std::count(problems.begin(), problems.end(), '\n');
        EXPECT_EQ(verified.out,
                  problems + "p.run: FAILED, " + std::to_string(count) + " problem" + (count == 1 ? "" : "s") + "\n");
        EXPECT_EQ(verified.status, 1);
    }
}

} // namespace
