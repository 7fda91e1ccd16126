// Packages built by mkportable and run by the real launchers, 64-bit and
// 32-bit, in the private namespace of tests/common/sandbox.h; the programs
// mkportable picks by default; reproducibility; the progress bar.
#include "mkportable/tree_scan.h"
#include "mkportable_test_support.h"
#include "sandbox.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace mkptest;

// The 32-bit programs, unless the build left them out (PORTABLE_I386=OFF).
#ifdef I386_PROGRAM_DIR
const fs::path I386_DIR = I386_PROGRAM_DIR;
#else
const fs::path I386_DIR;
#endif
#define SKIP_WITHOUT_I386()                                                                   \
    if (I386_DIR.empty())                                                                      \
    GTEST_SKIP() << "built without the 32-bit programs"

// The words that start a 32-bit program here: none where the kernel runs
// i386 code itself; where it does not (a 64-bit-only kernel answers ENOEXEC),
// a user namespace with a binfmt_misc entry of its own that hands i386
// executables to qemu-i386, so that the launcher and the miniunz it starts
// both run emulated while the machine's own binfmt_misc stays untouched.
std::vector<std::string> i386Runner()
{
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string program = (I386_DIR / "miniunz").string();
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        _exit(errno == ENOEXEC ? 126 : 127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 126)
        return {};
    EXPECT_TRUE(fs::exists("/usr/bin/qemu-i386"))
        << "this kernel runs no i386 code and qemu-i386 (Debian's qemu-user) is missing";
    const std::string entry =
        ":i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00"
        "\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff"
        "\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:/usr/bin/qemu-i386:F";
    return {"/usr/bin/unshare", "--user", "--map-root-user", "--mount", "/bin/sh", "-c",
            "mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && printf '" + entry +
                "' > /proc/sys/fs/binfmt_misc/register && exec \"$@\"",
            "sh"};
}

// `argv` to run in the sandbox, through i386Runner when `intel32`.
std::vector<std::string> runArgs(bool intel32, std::vector<std::string> argv)
{
    if (!intel32)
        return argv;
    static const std::vector<std::string> runner = i386Runner();
    argv.insert(argv.begin(), runner.begin(), runner.end());
    return argv;
}

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
            text += std::to_string(std::hash<std::string>{}(slurp(e.source)));
        else if (e.kind == mkportable::EntryKind::Symlink)
            text += fs::read_symlink(e.source).string();
        text += "\n";
    }
    return text;
}

ProgramResult mkportable(const fs::path &dir, std::vector<std::string> args,
                         const std::vector<std::string> &env = {})
{
    args.insert(args.begin(), MKPORTABLE_BIN);
    return runProgram(args, dir, env);
}

// Shell commands that make the namespace look like a SuSE 11 machine whose
// `uname -i` prints `hardware`; `env` gets the PATH that finds the fake.
std::string fakeSuse11(const std::string &hardware, std::vector<std::string> &env,
                       const fs::path &dir)
{
    env.push_back("PATH=" + (dir / "bin").string() + ":" + SANDBOX_PATH);
    return "mkdir -p etc bin && mount -t tmpfs tmpfs etc && cp -a /etc/. etc/ && "
           "rm -f etc/os-release etc/redhat-release && "
           "printf 'SUSE Linux Enterprise Server 11\\nVERSION = 11\\n' > etc/SuSE-release && "
           "mount --bind \"$PWD/etc\" /etc && "
           "printf '#!/bin/sh\\ncase \"$1\" in -i|-m) echo " +
           hardware + ";; *) exec /bin/uname \"$@\";; esac\\n' > bin/uname && chmod +x bin/uname";
}

// The architecture a record names, and the launcher's ELF class it brings.
struct RoundTrip {
    const char *architecture;
    const char *launcher;
};
void PrintTo(const RoundTrip &c, std::ostream *os) { *os << c.architecture; }

class RoundTripTest : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(RoundTripTest, BuildVerifyExtractAndRunGiveBackTheTree)
{
    const RoundTrip &c = GetParam();
    if (std::string(c.architecture) == "i386") {
        SKIP_WITHOUT_I386();
    }
    const fs::path dir = mkptest::scratchDir();
    makeToolTree(dir / "tool");
    put(dir / "tool.toml", std::string("image = 'tool'\n[[record]]\ndistribution = 'suse'\n"
                                       "release = 11\narchitecture = '") +
                               c.architecture +
                               "'\ncommand = './bin/tool'\narguments = 'default args'\n");
    ASSERT_EQ(mkportable(dir, {"build", "-q", "tool.toml", "-o", "tool.run"}).status, 0);
    const ProgramResult verify = mkportable(dir, {"verify", "tool.run"});
    EXPECT_EQ(verify.out, "tool.run: OK, 1 command record, 1 image, 9 entries checked\n");
    EXPECT_NE(mkportable(dir, {"info", "tool.run"}).out.find(c.launcher), std::string::npos);

    const bool intel32 = std::string(c.architecture) == "i386";
    SandboxRun extract;
    extract.argv =
        runArgs(intel32, {(dir / "tool.run").string(), "--extract", (dir / "out").string()});
    extract.env = {"VESK_PORTABLE_INTERACTIVE="};
    SandboxResult r = runSandboxed(dir.string(), extract);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(describeTree(dir / "out"), describeTree(dir / "tool"));
    EXPECT_EQ(r.tmpAfter, "");

    // And run it on the machine the record names.
    SandboxRun run;
    run.argv = runArgs(intel32, {(dir / "tool.run").string()});
    run.setup = fakeSuse11(c.architecture, run.env, dir);
    r = runSandboxed(dir.string(), run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(slurp(dir / "ran"), "default args\n");
    EXPECT_EQ(r.tmpAfter, "");
}

INSTANTIATE_TEST_SUITE_P(Launchers, RoundTripTest,
                         ::testing::Values(RoundTrip{"x86_64", "ELF 64-bit x86-64"},
                                           RoundTrip{"i386", "ELF 32-bit Intel 80386"}));

TEST(DualImage, EachMachineRunsItsImageAndRecordThroughThe32BitLauncher)
{
    SKIP_WITHOUT_I386();
    const fs::path dir = mkptest::scratchDir();
    for (const char *bits : {"32", "64"})
        put(dir / ("tool" + std::string(bits)) / "run.sh",
            std::string("#!/bin/sh\necho image") + bits +
                " \"$@\" > \"$QUARN_PORTABLE_EXEC_DIR/ran\"\n",
            0755);
    put(dir / "dual.toml", "strict = true\nimage = { i386 = 'tool32', x86_64 = 'tool64' }\n"
                           "[[record]]\ndistribution = 'suse'\nrelease = 11\n"
                           "architecture = 'i386'\ncommand = './run.sh'\narguments = 'rec32'\n"
                           "[[record]]\ndistribution = 'suse'\nrelease = 11\n"
                           "architecture = 'x86_64'\ncommand = './run.sh'\narguments = 'rec64'\n");
    const ProgramResult built = mkportable(dir, {"build", "-q", "dual.toml", "-o", "dual.run"});
    ASSERT_EQ(built.status, 0) << built.err;
    const DecodedPackage pkg = decodePackage(slurp(dir / "dual.run"));
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], slurp(I386_DIR / "launcher"));
    EXPECT_EQ(pkg.elements[PKG_UNZIP], slurp(I386_DIR / "miniunz"));

    const std::pair<const char *, const char *> machines[] = {{"i386", "image32 rec32\n"},
                                                              {"x86_64", "image64 rec64\n"}};
    for (const auto &[hardware, ran] : machines) {
        fs::remove(dir / "ran");
        SandboxRun run;
        run.argv = runArgs(true, {(dir / "dual.run").string()});
        run.setup = fakeSuse11(hardware, run.env, dir);
        const SandboxResult r = runSandboxed(dir.string(), run);
        EXPECT_EQ(r.status, 0) << hardware << r.err;
        EXPECT_EQ(r.err, "") << hardware;
        EXPECT_EQ(fs::exists(dir / "ran") ? slurp(dir / "ran") : "", ran) << hardware;
    }
}

// Which launcher and unzip utility a package gets when none is named.
struct DefaultCase {
    const char *name;
    std::vector<std::string> args;
    const char *launcher;
    const char *unzip;
};
void PrintTo(const DefaultCase &c, std::ostream *os) { *os << c.name; }

class DefaultProgramsTest : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultProgramsTest, AreTheOnesForThePackagesMachines)
{
    const DefaultCase &c = GetParam();
    const fs::path dir = mkptest::scratchDir();
    // An installed tree: bin/mkportable, the build tree's 64-bit programs
    // beside it, and libexec/mkportable/<architecture>/.
    makeDir(dir / "bin");
    fs::copy_file(MKPORTABLE_BIN, dir / "bin" / "mkportable");
    for (const char *arch : {"i386", "x86_64"}) {
        put(dir / "libexec" / "mkportable" / arch / "launcher", std::string("lib-") + arch, 0755);
        put(dir / "libexec" / "mkportable" / arch / "miniunz", std::string("unz-") + arch, 0755);
    }
    if (std::string(c.name) != "Installed64")
        for (const char *program : {"launcher", "miniunz"})
            put(dir / "bin" / program, std::string("beside-") + program, 0755);
    put(dir / "t" / "run.sh", "echo\n", 0755);
    put(dir / "explicit", "explicit", 0755);

    std::vector<std::string> args = {(dir / "bin" / "mkportable").string(), "build", "-q",
                                     "-o", "p.run", "--command", "./run.sh"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult r = runProgram(args, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const DecodedPackage pkg = decodePackage(slurp(dir / "p.run"));
    EXPECT_EQ(pkg.elements[PKG_LAUNCHER], c.launcher);
    EXPECT_EQ(pkg.elements[PKG_UNZIP], c.unzip);
}

INSTANTIATE_TEST_SUITE_P(
    Build, DefaultProgramsTest,
    ::testing::Values(
        DefaultCase{"NoArchitecture", {"--image", "t"}, "beside-launcher", "beside-miniunz"},
        DefaultCase{"Intel64", {"--image", "t", "--architecture", "x86_64"}, "beside-launcher",
                    "beside-miniunz"},
        DefaultCase{"Installed64", {"--image", "t", "--architecture", "x86_64"}, "lib-x86_64",
                    "unz-x86_64"},
        DefaultCase{"Intel32", {"--image", "t", "--architecture", "i386"}, "lib-i386",
                    "unz-i386"},
        DefaultCase{"DualImage", {"--image-i386", "t", "--image-x86_64", "t"}, "lib-i386",
                    "unz-i386"},
        DefaultCase{"NamedLauncher",
                    {"--image", "t", "--architecture", "1", "--launcher", "explicit"},
                    "explicit", "unz-i386"}),
    [](const auto &p) { return p.param.name; });

TEST(DefaultPrograms, A32BitRecordAmong64BitOnesGetsThe32BitPrograms)
{
    const fs::path dir = mkptest::scratchDir();
    makeDir(dir / "bin");
    fs::copy_file(MKPORTABLE_BIN, dir / "bin" / "mkportable");
    put(dir / "t" / "run.sh", "echo\n", 0755);
    put(dir / "m.toml", "image = 't'\n[[record]]\ndistribution = 'suse'\nrelease = 11\n"
                        "architecture = 'x86_64'\ncommand = './run.sh'\n"
                        "[[record]]\ndistribution = 'suse'\nrelease = 11\n"
                        "architecture = 'i386'\ncommand = './run.sh'\n");
    const ProgramResult r =
        runProgram({(dir / "bin" / "mkportable").string(), "build", "m.toml", "-o", "p.run"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "mkportable: no i386 launcher found (looked for " +
                         (dir / "libexec" / "mkportable" / "i386" / "launcher").string() +
                         "); name one with --launcher\n");
}

TEST(Build, ManifestBuildsAreReproducible)
{
    const fs::path dir = mkptest::scratchDir();
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
    EXPECT_EQ(slurp(dir / "a.run"), slurp(dir / "b.run"));
}

// Runs mkportable with both output streams on a terminal; returns what the
// terminal showed.
std::string runOnTerminal(const std::vector<std::string> &args, const fs::path &dir)
{
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (chdir(dir.c_str()) == 0)
            execv(argv[0], argv.data());
        _exit(127);
    }
    EXPECT_GT(pid, 0);
    std::string shown;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break; // EIO once the child has gone
        shown.append(buf, std::size_t(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    return shown;
}

TEST(Build, DrawsProgressOnATerminalUnlessQuiet)
{
    const fs::path dir = mkptest::scratchDir();
    makeToolTree(dir / "tool");
    put(dir / "launcher", "L", 0755);
    put(dir / "miniunz", "U", 0755);
    const std::vector<std::string> args = {MKPORTABLE_BIN, "build",      "-o",
                                           "p.run",        "--image",    "tool",
                                           "--command",    "./bin/tool", "--launcher",
                                           "launcher",     "--unzip",    "miniunz",
                                           "--distribution", "suse",     "--release",
                                           "11",           "--architecture", "x86_64"};
    const std::string shown = runOnTerminal(args, dir);
    EXPECT_NE(shown.find("\rzipping image ["), std::string::npos) << shown;
    EXPECT_NE(shown.find("] 100%  0.3 of 0.3 MiB\r\033[K"), std::string::npos) << shown;
    EXPECT_NE(shown.find("mkportable: wrote p.run"), std::string::npos) << shown;

    std::vector<std::string> quiet = args;
    quiet.push_back("--quiet");
    EXPECT_EQ(runOnTerminal(quiet, dir), "");
    // Not a terminal: a summary, no bar.
    const ProgramResult piped =
        mkportable(dir, std::vector<std::string>(args.begin() + 1, args.end()));
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out.find('\r'), std::string::npos);
}

} // namespace
