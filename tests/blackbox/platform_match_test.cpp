// Record selection and image variants on machines that the test makes up: a
// fake uname first on PATH and a doctored /etc, inside the namespace.
#include "launcher_harness.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <unistd.h>

namespace {

std::string echoImage(const std::string &word)
{
    return toolImage("echo " + word + " > \"$QUARN_PORTABLE_EXEC_DIR/ran\"");
}

const char *const WARNING_HEAD = "WARNING! This package doesn't appear to match your system.\n";
const char *const WARNING_LIKELY = "         It is likely that it will not properly execute.\n";
const char *const WARNING_DETERMINED = "         The following information was determined for your system:\n\n";

std::string warning(bool strict, const char *dist, int release, const char *arch)
{
    return std::string(WARNING_HEAD) + (strict ? "" : WARNING_LIKELY) + WARNING_DETERMINED +
           "           distribution = " + dist + "\n           release = " + std::to_string(release) +
           "\n           processor architecture = " + arch + "\n\n";
}

// A package whose records run tool.sh with different arguments, so the
// test can tell which one ran.
PackageSpec recordsPackage(const std::vector<std::string> &records, int32_t count, int32_t strict)
{
    PackageSpec layout = standardPackage(toolImage("echo \"$1\" > \"$QUARN_PORTABLE_EXEC_DIR/ran\""), "");
    layout.globalInfo = globalInfoBytes(count, strict);
    layout.commands.clear();
    for (const auto &r : records)
        layout.commands += r;
    return layout;
}

std::string rec(int32_t dist, int32_t release, int32_t arch, const std::string &which)
{
    return commandRecordBytes(dist, release, arch, "./tool.sh", which);
}

SandboxResult runOn(LauncherHarness &h, const FakeMachine &m, std::vector<std::string> env = {})
{
    SandboxRun run = h.sandboxRun({});
    run.env = env;
    onMachine(run, h.dir, m);
    return runSandboxed(h.dir, run);
}

TEST(PlatformMatch, RunsTheFirstRecordMadeForTheMachine)
{
    LauncherHarness h;
    h.writePackage(recordsPackage({rec(2, 11, 1, "i386"), rec(2, 12, 2, "release12"), rec(3, 11, 2, "redhat"),
                                   rec(2, 11, 2, "match"), rec(2, 11, 2, "later")},
                                  5, 0));
    SandboxResult r = runOn(h, FakeMachine{});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(h.dir + "/ran"), "match\n");
    EXPECT_LT(r.seconds, 4);
}

TEST(PlatformMatch, CurrentDistributionsAndAnyRecordsSelectWithoutAWarning)
{
    const int32_t ANY = -1;
    auto osRelease = [](const std::string &text) {
        FakeMachine m;
        m.etc = {{"os-release", text}};
        return m;
    };
    FakeMachine unknown = osRelease("ID=arch\n");
    FakeMachine realUname = osRelease("ID=arch\n");
    realUname.hardware.clear();
    // One package for all machines: the first record that fits runs.
    std::vector<std::string> records = {rec(5, 12, 2, "debian12"), rec(6, 22, 2, "ubuntu22"), rec(6, 21, 2, "mint21"),
                                        rec(3, 8, 2, "oracle8"), rec(ANY, ANY, 2, "any-x86_64")};
    struct Case {
        const char *name;
        FakeMachine machine;
        std::vector<std::string> records;
        std::string ran;
    } cases[] = {
        {"Debian 12", osRelease("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\nVERSION_ID=\"12\"\n"),
         records, "debian12\n"},
        {"Ubuntu 22.04", osRelease("ID=ubuntu\nID_LIKE=debian\nVERSION_ID=\"22.04\"\n"), records, "ubuntu22\n"},
        {"Linux Mint 21.2", osRelease("ID=linuxmint\nID_LIKE=\"ubuntu debian\"\nVERSION_ID=\"21.2\"\n"), records,
         "mint21\n"},
        {"Oracle Linux 8", osRelease("ID=\"ol\"\nID_LIKE=\"fedora\"\nVERSION_ID=\"8.9\"\n"), records, "oracle8\n"},
        {"unknown distribution, any distribution on x86_64", unknown, records, "any-x86_64\n"},
        {"this machine's uname, any/any/any",
         realUname,
         {rec(2, 11, 1, "suse-i386"), rec(ANY, ANY, ANY, "any")},
         "any\n"},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        h.writePackage(recordsPackage(c.records, int32_t(c.records.size()), 1));
        SandboxResult r = runOn(h, c.machine);
        EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(fileThere(h.dir + "/ran") ? readFile(h.dir + "/ran") : "", c.ran) << c.name;
        EXPECT_LT(r.seconds, 4) << c.name;
    }
}

// A package with settings names itself after the warning and says what
// happens next; one without keeps the warning alone.
std::optional<PackageSettings> namedJq(bool withSettings)
{
    if (!withSettings)
        return std::nullopt;
    PackageSettings s;
    std::strcpy(s.name, "jq");
    std::strcpy(s.version, "1.7");
    return s;
}

TEST(PlatformMatch, MismatchWarnsPausesAndTakesTheFirstRecord)
{
    for (bool withSettings : {false, true}) {
        LauncherHarness h;
        PackageSpec layout = recordsPackage({rec(2, 10, 2, "first"), rec(2, 12, 2, "second")}, 2, 0);
        layout.settings = namedJq(withSettings);
        h.writePackage(layout);
        SandboxResult r = runOn(h, FakeMachine{});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, warning(false, "SuSE", 11, "Intel 64-bit") +
                             (withSettings ? "jq 1.7: going on with the first record in 5 seconds\n" : ""));
        EXPECT_EQ(readFile(h.dir + "/ran"), "first\n");
        EXPECT_GE(r.seconds, 5);
        EXPECT_LT(r.seconds, 8);
    }
}

TEST(PlatformMatch, StrictMismatchStopsAtOnce)
{
    for (int32_t strict : {1, 2, -1, 0}) {
        // Strict 0 stands for a package with settings, strict 1.
        LauncherHarness h;
        PackageSpec layout = recordsPackage({rec(3, 5, 1, "first"), rec(2, 11, -1, "second")}, 2, strict ? strict : 1);
        layout.settings = namedJq(strict == 0);
        h.writePackage(layout);
        FakeMachine m;
        m.hardware = "ppc64";
        m.etc = {{"redhat-release", "Enterprise Server release 5.4 (Final)\n"}};
        SandboxResult r = runOn(h, m);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, warning(true, "Red Hat", 5, "PPC 32-bit") +
                             (strict == 0 ? "jq 1.7: refused; made for: Red Hat 5, Intel 32-bit; SuSE 11, any "
                                            "architecture\n"
                                          : ""));
        EXPECT_LT(r.seconds, 4);
        EXPECT_EQ(r.tmpAfter, "");
        EXPECT_EQ(r.shmAfter, "");
    }
}

TEST(PlatformMatch, DebugTellsWhyIdentificationFailed)
{
    LauncherHarness h;
    h.writePackage(recordsPackage({rec(2, 11, 1, "first")}, 1, 1));
    struct Case {
        const char *name;
        const char *fifo; // a release file made a FIFO that nobody writes to
        const char *why, *distribution;
    } cases[] = {
        {"no release file", nullptr, "Unknown distribution.", "Unknown"},
        {"os-release is a FIFO", "os-release", "Failed opening release file.", "Unknown"},
        {"the Red Hat release file is a FIFO", "redhat-release", "Failed opening release file.", "Red Hat"},
    };
    for (const auto &c : cases) {
        FakeMachine m;
        m.hardware = "i386";
        m.etc.clear();
        for (bool debug : {true, false}) {
            SandboxRun run = h.sandboxRun({});
            run.env = debug ? std::vector<std::string>{"VESK_PORTABLE_DEBUG="} : std::vector<std::string>{};
            if (c.fifo)
                run.setup = std::string("mkfifo etc/") + c.fifo;
            onMachine(run, h.dir, m);
            // A launch that waits for a writer is cut short: well before the
            // test's own time runs out.
            run.timeoutSeconds = 10;
            SandboxResult r = runSandboxed(h.dir, run);
            EXPECT_EQ(r.status, 1) << c.name;
            EXPECT_EQ(r.err, (debug ? std::string("Failed determining platform information: ") + c.why + "\n" : "") +
                                 warning(true, c.distribution, -1, "Intel 32-bit"))
                << c.name;
            EXPECT_EQ(r.tmpAfter, "") << c.name;
        }
    }
}

TEST(PlatformMatch, InteractiveSkipsIdentification)
{
    LauncherHarness h;
    h.writePackage(recordsPackage({rec(1, 7, 3, "foreign"), rec(2, 11, 2, "match")}, 2, 1));
    SandboxResult r = runOn(h, FakeMachine{}, {"VESK_PORTABLE_INTERACTIVE="});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(h.dir + "/ran"), "foreign\n");
    EXPECT_LT(r.seconds, 4);
}

TEST(PlatformMatch, MalformedTablesEndAsDocumented)
{
    struct Case {
        const char *name;
        std::vector<std::string> records;
        int32_t count;
        std::string globalInfo; // replaces element 2 when set
        std::string extra;      // appended to element 3
        bool interactive;
        int status;
        std::string err;
        std::string ran;
    } cases[] = {
        {"negative count", {rec(2, 11, 2, "match")}, -1, "", "", false, 1, "", ""},
        {"huge count", {rec(2, 11, 2, "match")}, 0x7fffffff, "", "", false, 0, "", "match\n"},
        {"count beyond the table", {rec(2, 10, 2, "only")}, 5, "", "", true, 0, "", "only\n"},
        {"element 2 of 12 bytes",
         {rec(2, 11, 2, "match")},
         1,
         globalInfoBytes(1, 0) + "1234",
         "",
         false,
         1,
         "Failed extracting global info\n",
         ""},
        {"element 2 of 4 bytes", {rec(2, 11, 2, "match")}, 1, le32(1), "", false, 0, "", "match\n"},
        {"empty table", {}, 0, "", "", true, 1, "", ""},
        {"450-byte table", {rec(2, 11, 2, "match")}, 1, "", std::string(50, 'x'), false, 0, "", "match\n"},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        PackageSpec layout = recordsPackage(c.records, c.count, 1);
        if (!c.globalInfo.empty())
            layout.globalInfo = c.globalInfo;
        layout.commands += c.extra;
        h.writePackage(layout);
        SandboxResult r = runOn(h, FakeMachine{},
                                c.interactive ? std::vector<std::string>{"VESK_PORTABLE_INTERACTIVE="}
                                              : std::vector<std::string>{});
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(fileThere(h.dir + "/ran") ? readFile(h.dir + "/ran") : "", c.ran) << c.name;
        EXPECT_EQ(r.tmpAfter, "") << c.name;
    }
}

TEST(PlatformMatch, HostileSizesNeverBecomeHugeAllocations)
{
    struct Case {
        const char *name;
        int element;
        uint32_t size;
        std::string err;
    } cases[] = {
        {"element 3 of 4 GiB", 3, 0xfffffff0u, "Failed extracting command\n"},
        {"element 3 past the end", 3, 1u << 20, "Failed extracting command\n"},
        {"element 2 past the end", 2, 0x7ffffff0u, "Failed extracting global info\n"},
        {"element 0 wraps the sum", 0, 0xffffffffu, "Failed extracting global info\n"},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        PackageSpec layout = recordsPackage({rec(2, 11, 2, "match")}, 1, 0);
        std::array<uint32_t, 5> sizes = {uint32_t(layout.launcher.size()), uint32_t(layout.unzip.size()), 8, 400,
                                         uint32_t(layout.image.size())};
        sizes[c.element] = c.size;
        layout.recordedSizes = sizes;
        h.writePackage(layout);
        SandboxResult r = h.run();
        EXPECT_EQ(r.status, 1) << c.name;
        // Sizes that run past the end of the file say what a cut one does.
        EXPECT_EQ(r.err, c.err + h.package + " is not a whole package (cut short?); copy it again.\n") << c.name;
        EXPECT_EQ(r.tmpAfter, "") << c.name;
    }
}

TEST(PlatformMatch, ATableAsLargeAsTheFileIsReadOneRecordAtATime)
{
    // Element 3 claims nearly 2 GB (a sparse file): the launcher reads only
    // the records that take part, so a tight address-space limit that no
    // table of that size would fit in does not stop it.
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot reserve its shadow memory under an address-space limit";
#endif
    const uint32_t hole = 1900u << 20;
    LauncherHarness h;
    PackageSpec layout = recordsPackage({rec(2, 11, 2, "first")}, 1, 0);
    std::size_t tableEnd = layout.launcher.size() + layout.unzip.size() + layout.globalInfo.size() + 400;
    layout.recordedSizes = std::array<uint32_t, 5>{uint32_t(layout.launcher.size()), uint32_t(layout.unzip.size()), 8,
                                                   400 + hole, uint32_t(layout.image.size())};
    std::string bytes = buildPackage(layout);
    writeFile(h.package, bytes.substr(0, tableEnd), 0755);
    ASSERT_EQ(truncate(h.package.c_str(), off_t(tableEnd) + hole), 0);
    std::ofstream(h.package, std::ios::app | std::ios::binary) << bytes.substr(tableEnd);
    for (bool interactive : {false, true}) {
        SandboxRun run = h.sandboxRun({});
        run.env = interactive ? std::vector<std::string>{"VESK_PORTABLE_INTERACTIVE="} : std::vector<std::string>{};
        onMachine(run, h.dir, FakeMachine{});
        run.argv = {"/bin/sh", "-c", "ulimit -v 262144 && exec \"$0\"", h.package};
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, 0) << interactive << r.err;
        EXPECT_EQ(readFile(h.dir + "/ran"), "first\n") << interactive;
        EXPECT_EQ(r.tmpAfter, "");
        unlink((h.dir + "/ran").c_str());
    }
}

TEST(PlatformMatch, DualImageUnpacksTheVariantForTheArchitecture)
{
    struct Case {
        const char *hardware;
        int status;
        std::string ran;
        std::string err;
    } cases[] = {
        {"i386", 0, "thirty-two\n", ""},
        {"x86_64", 0, "sixty-four\n", ""},
        {"ppc", 1, "", "Failed determining platform architecture!\nFailed extracting portable image\n"},
        {"sparc", 1, "", "Failed determining platform architecture!\nFailed extracting portable image\n"},
    };
    std::string first = echoImage("thirty-two");
    std::string second = echoImage("sixty-four");
    for (const auto &c : cases) {
        LauncherHarness h;
        PackageSpec layout = standardPackage(first + second, "./tool.sh");
        layout.imageSize[0] = uint32_t(first.size());
        layout.imageSize[1] = uint32_t(second.size());
        h.writePackage(layout);
        FakeMachine m;
        m.hardware = c.hardware;
        // The variant is chosen even when the record check is skipped.
        SandboxResult r = runOn(h, m, {"VESK_PORTABLE_INTERACTIVE="});
        EXPECT_EQ(r.status, c.status) << c.hardware;
        EXPECT_EQ(r.err, c.err) << c.hardware;
        EXPECT_EQ(fileThere(h.dir + "/ran") ? readFile(h.dir + "/ran") : "", c.ran) << c.hardware;
        EXPECT_EQ(r.tmpAfter, "") << c.hardware;
    }
    // Sizes that do not add up to element 4: one image, unpacked whole.
    LauncherHarness h;
    PackageSpec layout = standardPackage(first, "./tool.sh");
    layout.imageSize[0] = 1;
    layout.imageSize[1] = uint32_t(first.size());
    h.writePackage(layout);
    SandboxResult r = runOn(h, FakeMachine{}, {"VESK_PORTABLE_INTERACTIVE="});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(h.dir + "/ran"), "thirty-two\n");
}

TEST(PlatformMatch, SelfHelpTellsWhatThePackageHoldsAndWouldRun)
{
    const int32_t ANY = -1;
    FakeMachine debian;
    debian.etc = {{"os-release", "ID=debian\nVERSION_ID=12\n"}};
    std::string first = toolImage("exit 0", {linkEntry("link", "tool.sh"), dirEntry("sub/", 0700)});
    std::string second = echoImage("sixty-four");
    struct Case {
        const char *name;
        std::vector<std::string> records;
        int32_t strict;
        bool dual;
        const char *option;
        std::string out; // @L, @U, @I, @J: the launcher's, unzip utility's, images' sizes
    } cases[] = {
        {"info, a record matches",
         {rec(2, 11, 2, "suse"), commandRecordBytes(ANY, ANY, 2, "./tool.sh", "-v", 1)},
         0,
         false,
         "--portable-info",
         "Not signed\n"
         "Launcher @L bytes, unzip utility @U bytes, command table 800 bytes\n"
         "image: @I bytes\n"
         "Platform match: lenient\n"
         "Command records: 2 counted, 2 in the table\n"
         "  0  SuSE 11, Intel 64-bit: ./tool.sh  [arguments suse]\n"
         "  1  any distribution, Intel 64-bit: ./tool.sh  [arguments -v, always appended]\n"
         "This machine: distribution Debian, release 12, architecture Intel 64-bit\n"
         "Selected: record 1 (any distribution, Intel 64-bit), the first that matches this machine.\n"},
        {"info, strict without a match",
         {rec(3, 5, 1, "redhat")},
         1,
         true,
         "--portable-info",
         "Not signed\n"
         "Launcher @L bytes, unzip utility @U bytes, command table 400 bytes\n"
         "image for Intel 32-bit: @I bytes\nimage for Intel 64-bit: @J bytes\n"
         "Platform match: strict\n"
         "Command records: 1 counted, 1 in the table\n"
         "  0  Red Hat 5, Intel 32-bit: ./tool.sh  [arguments redhat]\n"
         "This machine: distribution Debian, release 12, architecture Intel 64-bit\n"
         "Selected: none; no record matches and the match is strict: the launcher warns and stops.\n"},
        {"list, both images",
         {rec(2, 11, 2, "suse")},
         0,
         true,
         "--portable-list",
         "image for Intel 32-bit:\n"
         "-0755           17  tool.sh\n"
         "l0777            7  link -> tool.sh\n"
         "d0700            0  sub/\n"
         "\nimage for Intel 64-bit:\n"
         "-0755           59  tool.sh\n"},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        PackageSpec layout = recordsPackage(c.records, int32_t(c.records.size()), c.strict);
        layout.image = c.dual ? first + second : first;
        if (c.dual) {
            layout.imageSize[0] = uint32_t(first.size());
            layout.imageSize[1] = uint32_t(second.size());
        }
        h.writePackage(layout);
        // As a user who is not root, beside a guard that root holds.
        SandboxRun run = h.sandboxRun({});
        run.env.clear();
        onMachine(run, h.dir, debian);
        run.argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", h.package, c.option};
        run.setup += " && touch /dev/shm/sem.QUARNTELV";
        SandboxResult r = runSandboxed(h.dir, run);
        std::string out = c.out;
        for (auto [mark, value] : {std::pair{"@L", layout.launcher.size()},
                                   {"@U", layout.unzip.size()},
                                   {"@I", c.dual ? first.size() : layout.image.size()},
                                   {"@J", second.size()}})
            if (auto at = out.find(mark); at != std::string::npos)
                out.replace(at, 2, std::to_string(value));
        EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
        EXPECT_EQ(r.out, out) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.tmpAfter, "") << c.name;
        EXPECT_EQ(r.shmAfter, "sem.QUARNTELV\n") << c.name;
    }
}

TEST(PlatformMatch, ThisMachineIsIdentifiedThroughItsMachineName)
{
    // No fake uname: "uname -i" of the machine itself, which prints
    // "unknown" on Debian, falls back to "uname -m".
    LauncherHarness h;
    h.writePackage(recordsPackage({rec(2, 15, 1, "i386"), rec(2, 15, 2, "x86_64")}, 2, 1));
    FakeMachine m;
    m.hardware.clear();
    m.etc = {{"os-release", "NAME=\"SLES\"\nID=\"sles\"\nVERSION_ID=\"15.5\"\n"}};
    SandboxResult r = runOn(h, m);
    EXPECT_EQ(r.status, 0) << r.err;
#if defined(__x86_64__)
    EXPECT_EQ(readFile(h.dir + "/ran"), "x86_64\n");
#endif
}

TEST(PlatformMatch, APlantedCaptureFileLinkIsNeverWritten)
{
    LauncherHarness h;
    h.writePackage(recordsPackage({rec(2, 11, 2, "match")}, 1, 1));
    writeFile(h.dir + "/victim", "precious");
    SandboxRun run = h.sandboxRun({});
    run.env.clear();
    run.setup = "ln -s \"$PWD/victim\" /tmp/vesk_uname.txt";
    onMachine(run, h.dir, FakeMachine{});
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(h.dir + "/victim"), "precious");
    EXPECT_EQ(r.tmpAfter, "vesk_uname.txt\n");
}

TEST(PlatformMatch, InterruptDuringThePauseEndsAtOnce)
{
    LauncherHarness h;
    h.writePackage(recordsPackage({rec(2, 10, 2, "first")}, 1, 0));
    SandboxRun run = h.sandboxRun({});
    run.env.clear();
    onMachine(run, h.dir, FakeMachine{});
    run.signal = SIGINT;
    run.toGroup = true;
    run.delayMs = 1500;
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.seconds, 4);
    EXPECT_FALSE(fileThere(h.dir + "/ran"));
    EXPECT_EQ(r.tmpAfter, "");
    EXPECT_EQ(r.shmAfter, "");
}

} // namespace
