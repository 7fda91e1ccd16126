// The real launcher, run on packages assembled byte by byte, in a private
// mount namespace: what the operator sees and what stays behind.
#include "launcher_harness.h"

#include <csignal>
#include <cstdlib>
#include <optional>
#include <sys/stat.h>

namespace {

TEST(Launch, PassesTheToolsExitStatusThrough)
{
    struct Case {
        const char *script;
        int status;
    } cases[] = {{"exit 0", 0}, {"exit 7", 7}, {"exit 255", 255}, {"kill -9 $$", 128 + 9}};
    for (const auto &c : cases) {
        LauncherHarness h;
        h.writePackage(toolImage(c.script));
        SandboxResult r = h.run();
        EXPECT_EQ(r.status, c.status) << c.script << "\n" << r.err;
        EXPECT_EQ(r.tmpAfter, "") << c.script;
        EXPECT_EQ(r.shmAfter, "") << c.script;
    }
}

TEST(Launch, RunsTheToolInAFreshWorkingDirectoryWithItsEnvironment)
{
    LauncherHarness h;
    h.writePackage(toolImage("pwd > \"$QUARN_PORTABLE_EXEC_DIR/seen\"\n"
                             "echo \"$QUARN_PORTABLE_EXEC_DIR\" >> \"$QUARN_PORTABLE_EXEC_DIR/seen\"\n"
                             "echo \"$SkyletLocale\" >> \"$QUARN_PORTABLE_EXEC_DIR/seen\"\n"
                             "ls >> \"$QUARN_PORTABLE_EXEC_DIR/seen\"\n"));
    SandboxResult r = h.run({}, {"SkyletLocale=fr"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Extracting...\nExecuting...\n\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(h.dir + "/seen"),
              "/tmp/portable_install_00000000\n" + h.dir + "\nen\nimage.zip\nminiunz\ntool.sh\n");
    EXPECT_EQ(r.tmpAfter, "");
}

TEST(Launch, MakesTheWorkingDirectoryInATmpdirThatIsSafe)
{
    // Each case prepares `alt` (a tmpfs of its own) and names a TMPDIR; the
    // tool says where it ran and leaves a tree deeper than any fixed limit
    // of descriptors for clean-up to remove.
    const std::string name = "/portable_install_00000000";
    const std::string links40 = "chmod 755 alt && ln -s alt l1 && for i in $(seq 2 41); do ln -s l$((i-1)) l$i; done";
    struct Case {
        const char *name;
        std::string setup;
        std::string tmpdir; // @ stands for the scratch directory
        std::string where;  // @ as above
        std::string err;    // @ as above
        std::string left;   // what stays in alt
    } cases[] = {
        {"a tmpfs of root's", "chmod 755 alt", "@/alt", "@/alt" + name, "", ""},
        {"sticky and open to all", "chmod 1777 alt", "@/alt", "@/alt" + name, "", ""},
        {"through a symbolic link", "chmod 755 alt && ln -s alt via", "@/via", "@/alt" + name, "", ""},
        {"through a link inside a link's target", "chmod 755 alt && ln -s alt via2 && ln -s via2 via", "@/via",
         "@/alt" + name, "", ""},
        {"40 links in all", links40, "@/l40", "@/alt" + name, "", ""},
        {"41 links in all", links40, "@/l41", "/tmp" + name,
         "TMPDIR @/l41 is not used: more than 40 links on the way; using /tmp\n", ""},
        {"a link of another user's", "chmod 755 alt && ln -s alt via && chown -h 65534 via", "@/via", "/tmp" + name,
         "TMPDIR @/via is not used: the link @/via belongs to another user; using /tmp\n", ""},
        {"another user's link inside a link's target",
         "chmod 755 alt && ln -s alt via2 && chown -h 65534 via2 && ln -s via2 via", "@/via", "/tmp" + name,
         "TMPDIR @/via is not used: the link @/via2 belongs to another user; using /tmp\n", ""},
        {"the current directory through /proc", "", "/proc/self/cwd", "@" + name, "", ""},
        {"a name with a blank beside a shorter one", "mkdir 'alt/my scratch' alt/my && touch alt/my/keep",
         "@/alt/my scratch", "@/alt/my scratch" + name, "", "my\nmy scratch\n"},
        {"noexec /tmp, TMPDIR elsewhere", "chmod 755 alt && mount -o remount,noexec /tmp", "@/alt", "@/alt" + name, "",
         ""},
        {"another user's", "chown 65534 alt", "@/alt", "/tmp" + name,
         "TMPDIR @/alt is not used: it belongs to another user; using /tmp\n", ""},
        {"open to all, not sticky", "chmod 777 alt", "@/alt", "/tmp" + name,
         "TMPDIR @/alt is not used: others may write to it and it is not sticky; using /tmp\n", ""},
        {"relative", "chmod 755 alt", "alt", "/tmp" + name,
         "TMPDIR alt is not used: it is not an absolute path; using /tmp\n", ""},
        {"missing", "", "@/missing", "/tmp" + name,
         "TMPDIR @/missing is not used: @/missing does not exist; using /tmp\n", ""},
        {"a file", "touch plain", "@/plain", "/tmp" + name,
         "TMPDIR @/plain is not used: @/plain is not a directory; using /tmp\n", ""},
        {"empty", "", "", "/tmp" + name, "", ""},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        h.writePackage(toolImage("pwd > \"$QUARN_PORTABLE_EXEC_DIR/seen\"\n"
                                 "mkdir -p $(printf 'd/%.0s' $(seq 600))"));
        auto expand = [&](std::string text) {
            for (std::size_t at; (at = text.find('@')) != std::string::npos;)
                text.replace(at, 1, h.dir);
            return text;
        };
        SandboxRun run = h.sandboxRun({}, {"TMPDIR=" + expand(c.tmpdir)});
        run.setup = "mkdir alt && mount -t tmpfs tmpfs alt" + (c.setup.empty() ? "" : " && " + c.setup);
        run.inspect = "ls -A alt";
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
        EXPECT_EQ(readFile(h.dir + "/seen"), expand(c.where) + "\n") << c.name;
        EXPECT_EQ(r.err, expand(c.err)) << c.name;
        EXPECT_EQ(r.inspected, c.left) << c.name << ": left in TMPDIR";
        EXPECT_FALSE(fileThere(h.dir + name)) << c.name << ": left in the scratch directory";
        EXPECT_EQ(r.tmpAfter, "") << c.name;
    }
    // The longest TMPDIR that is taken, and one byte more.
    for (std::size_t length : {std::size_t(485), std::size_t(486)}) {
        LauncherHarness h;
        h.writePackage(toolImage("pwd > \"$QUARN_PORTABLE_EXEC_DIR/seen\""));
        std::string deep = h.dir + "/" + std::string(200, 'd');
        deep += "/" + std::string(length - deep.size() - 1, 'e');
        ASSERT_EQ(deep.size(), length);
        SandboxRun run = h.sandboxRun({}, {"TMPDIR=" + deep});
        run.setup = "mkdir -p " + deep;
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, 0) << length << r.err;
        EXPECT_EQ(readFile(h.dir + "/seen"), (length == 485 ? deep : "/tmp") + name + "\n") << length;
        EXPECT_EQ(r.err,
                  length == 485 ? "" : "TMPDIR " + deep + " is not used: it is longer than 485 bytes; using /tmp\n");
    }
}

TEST(HostileTmp, AnotherUsersTmpdirLinkRepointedWhileTheToolRunsIsNeitherEnteredNorRun)
{
    // Root keeps a user's environment: TMPDIR is that user's link in a
    // sticky directory, first at a directory of root's. While the tool runs
    // the user points it at a directory of their own that holds a program
    // where a shell would find one and a tree named like the working
    // directory, deeper than a removal with a fixed depth goes.
    LauncherHarness h;
    h.writePackage(toolImage("pwd > \"$QUARN_PORTABLE_EXEC_DIR/seen\"\n"
                             "cd \"$QUARN_PORTABLE_EXEC_DIR/alt\" && setpriv --reuid=65534 --regid=65534 "
                             "--clear-groups ln -sfn mine 'a;b'"));
    const std::string alt = h.dir + "/alt";
    const std::string deepTree = "$(printf 'd/%.0s' $(seq 300))";
    SandboxRun run = h.sandboxRun({}, {"TMPDIR=" + alt + "/a;b"});
    run.setup = "mkdir alt && mount -t tmpfs tmpfs alt && chmod 1777 alt && mkdir -m 755 alt/roots && "
                "mkdir -p alt/mine/b alt/mine/portable_install_00000000/" +
                deepTree +
                " && "
                "printf '#!/bin/sh\\ntouch " +
                h.dir +
                "/ran\\n' > alt/mine/b/portable_install_00000000 && chmod 755 alt/mine/b/portable_install_00000000 && "
                "chown -R 65534 alt/mine && setpriv --reuid=65534 --regid=65534 --clear-groups ln -s roots 'alt/a;b'";
    run.inspect = "cd alt && find . -maxdepth 2 | sort && test -d mine/portable_install_00000000/" + deepTree +
                  " && echo whole";
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(h.dir + "/seen"), "/tmp/portable_install_00000000\n");
    EXPECT_EQ(r.err,
              "TMPDIR " + alt + "/a;b is not used: the link " + alt + "/a;b belongs to another user; using /tmp\n");
    EXPECT_FALSE(fileThere(h.dir + "/ran")) << "the user's program ran";
    EXPECT_EQ(r.inspected, ".\n./a;b\n./mine\n./mine/b\n./mine/portable_install_00000000\n./roots\nwhole\n");
    EXPECT_EQ(r.tmpAfter, "");
    EXPECT_EQ(r.shmAfter, "");
}

TEST(Launch, PortableCheckTellsWhetherThePackageIsWhole)
{
    // mkportable's package of the hello example carries a digest.
    LauncherHarness h;
    ASSERT_EQ(std::system(
                  (std::string(MKPORTABLE_BIN) + " build -q " SOURCE_ROOT "/examples/hello.toml -o '" + h.package + "'")
                      .c_str()),
              0);
    const std::string built = readFile(h.package);
    const std::string whole = "Entries of the image: every entry reads back whole (sizes and CRCs)\n";
    const std::string notSigned = "Signature: not signed\n";
    const std::string ok = "Digest: SHA-256 matches\n" + whole + notSigned + "OK\n";
    const std::string none = "Digest: none (the package was built without one)\n";
    const std::string changed =
        "Digest: FAILED, the package was changed after it was built (SHA-256 does not match)\nFAILED\n";
    const std::string unproven = notSigned +
                                 "UNPROVEN: no damage found, but no digest shows that the package is unchanged\n";
    ZipEntrySpec damaged = fileEntry("data.bin", std::string(5000, 'd'));
    damaged.damage = ZipEntrySpec::BadCrc;
    ZipEntrySpec packed = fileEntry("packed.bin", noise(3000, 7) + std::string(70000, 'p'));
    packed.bzip2 = true;
    ZipEntrySpec packedDamaged = packed;
    packedDamaged.damage = ZipEntrySpec::BadCrc;
    // An unzip utility that leaves a mark wherever it runs: the check must
    // never run it, whatever the digest says.
    const std::string hostileUnzip = "#!/bin/sh\nid > '" + h.dir + "/ran'\nexit 0\n";
    const std::string realUnzip = readFile(MINIUNZ_BIN);
    ASSERT_NE(built.find(realUnzip), std::string::npos);
    std::string tampered = built;
    tampered.replace(tampered.find(realUnzip), realUnzip.size(),
                     hostileUnzip + std::string(realUnzip.size() - hostileUnzip.size(), '#'));
    PackageSpec noDigestHostile = standardPackage(toolImage("exit 0", {packed}), "./tool.sh");
    noDigestHostile.unzip = hostileUnzip;
    PackageSpec cut = standardPackage(toolImage("exit 0"), "./tool.sh");
    cut.recordedSizes = {uint32_t(cut.launcher.size()), uint32_t(cut.unzip.size()), uint32_t(cut.globalInfo.size()),
                         uint32_t(cut.commands.size()), uint32_t(cut.image.size() + 1000)};
    // Both images of a dual-image package are read, each where it lies.
    std::string first = toolImage("exit 0", {packed}), second = toolImage("exit 1", {damaged});
    PackageSpec dual = standardPackage(first + second, "./tool.sh");
    dual.imageSize[0] = uint32_t(first.size());
    dual.imageSize[1] = uint32_t(second.size());
    struct Case {
        const char *name;
        std::string bytes; // empty: the package as built
        std::string setup;
        int status;
        std::string out, err;
    } cases[] = {
        {"as built", "", "", 0, ok, ""},
        {"as built, as a user who is not root, beside a guard", "", "touch /dev/shm/sem.QUARNTELV", 0, ok, ""},
        {"a byte of the records changed: the check stops at the digest", "records", "", 1, changed, ""},
        {"noexec /tmp: everything is checked, nothing is written", "", "mount -o remount,noexec /tmp", 0, ok, ""},
        {"no digest, entries whole (bzip2 too): unproven",
         buildPackage(standardPackage(toolImage("exit 0", {packed}), "./tool.sh")), "", 2, none + whole + unproven, ""},
        {"no digest, a damaged entry", buildPackage(standardPackage(toolImage("exit 0", {damaged}), "./tool.sh")), "",
         1, none + "Entries of the image: FAILED\nFAILED\n",
         "--portable-check: data.bin: CRC mismatch: the data is damaged\n"},
        {"no digest, a damaged bzip2 entry",
         buildPackage(standardPackage(toolImage("exit 0", {packedDamaged}), "./tool.sh")), "", 1,
         none + "Entries of the image: FAILED\nFAILED\n",
         "--portable-check: packed.bin: CRC mismatch: the data is damaged\n"},
        {"no digest, dual images, the second damaged", buildPackage(dual), "", 1,
         none + "Entries of the image for Intel 32-bit: every entry reads back whole (sizes and CRCs)\n"
                "Entries of the image for Intel 64-bit: FAILED\nFAILED\n",
         "--portable-check: data.bin: CRC mismatch: the data is damaged\n"},
        {"no digest, the image runs past the end of the file", buildPackage(cut), "", 1,
         none + "Entries of the image: FAILED, the package is cut short\nFAILED\n", ""},
        {"tampered unzip utility, digest fails: nothing from the package runs", tampered, "", 1, changed, ""},
        {"tampered unzip utility, no digest: nothing from the package runs", buildPackage(noDigestHostile), "", 2,
         none + whole + unproven, ""},
    };
    for (const auto &c : cases) {
        std::string bytes = c.bytes.empty() ? built : c.bytes;
        if (c.bytes == "records")
            bytes = built, bytes[bytes.find("./hello.sh")] ^= 1;
        writeFile(h.package, bytes, 0755);
        unlink((h.dir + "/ran").c_str());
        SandboxRun run = h.sandboxRun({"--portable-check"});
        if (std::string(c.name).find("not root") != std::string::npos)
            run.argv.insert(run.argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        run.setup = c.setup;
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_FALSE(fileThere(h.dir + "/ran")) << c.name << ": the package's unzip utility ran";
        EXPECT_EQ(r.tmpAfter, "") << c.name;
        EXPECT_EQ(r.shmAfter, c.setup.find("sem.") != std::string::npos ? "sem.QUARNTELV\n" : "") << c.name;
    }
}

TEST(Launch, QuietLeavesOnlyTheToolsOwnOutput)
{
    LauncherHarness h;
    h.writePackage(toolImage("echo tool says; exit 4"));
    SandboxResult r = h.run({}, {"QUARN_PORTABLE_QUIET="});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "tool says\n");
    EXPECT_EQ(r.err, "");
    // Failures still speak.
    h.writePackage(std::string(5000, 'x'));
    r = h.run({}, {"QUARN_PORTABLE_QUIET="});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Failed executing"), std::string::npos) << r.err;
}

TEST(Launch, SkipsEveryNameThatIsTakenInAnyForm)
{
    LauncherHarness h;
    h.writePackage(toolImage("pwd > \"$QUARN_PORTABLE_EXEC_DIR/seen\""));
    SandboxRun run = h.sandboxRun({});
    run.setup = "mkdir -m 777 /tmp/portable_install_00000000 && "
                "touch /tmp/portable_install_00000001 && "
                "ln -s /nonexistent /tmp/portable_install_00000002 && "
                "ln -s /etc /tmp/portable_install_00000003";
    SandboxResult r = runSandboxed(h.dir, run);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(h.dir + "/seen"), "/tmp/portable_install_00000004\n");
    EXPECT_EQ(r.tmpAfter, "portable_install_00000000\nportable_install_00000001\n"
                          "portable_install_00000002\nportable_install_00000003\n");
}

TEST(Launch, ReportsADamagedImageAndCleansUp)
{
    LauncherHarness h;
    h.writePackage(std::string(5000, 'x'));
    SandboxResult r = h.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Extracting...\n");
    // The unzip utility says what is wrong with the archive; the launcher's
    // own message comes last.
    const std::string own = "\nFailed executing <./miniunz image.zip > /dev/null>\n";
    ASSERT_GT(r.err.size(), own.size());
    EXPECT_EQ(r.err.substr(0, 9), "miniunz: ");
    EXPECT_EQ(r.err.substr(r.err.size() - own.size()), own);
    EXPECT_EQ(r.tmpAfter, "");
    EXPECT_EQ(r.shmAfter, "");
}

TEST(Launch, ALauncherWithoutAPackageFailsCleanly)
{
    LauncherHarness h;
    writeFile(h.package, readFile(LAUNCHER_BIN), 0755);
    SandboxResult r = h.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed reading package directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.tmpAfter, "");
    EXPECT_EQ(r.shmAfter, "");
}

TEST(Launch, FindsItsOwnFileUnderAnyName)
{
    struct Case {
        const char *name;
        const char *argv0;
        const char *underscore;
    } cases[] = {
        {"argv0 is the path", nullptr, nullptr},
        {"stale underscore", nullptr, "_=/usr/bin/env"},
        {"bare name, underscore holds the path", "pkg.run", "_=@PACKAGE@"},
        {"bare name and no underscore", "pkg.run", nullptr},
        {"another name given with exec -a", "renamed", nullptr},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        h.writePackage(toolImage("exit 3"));
        SandboxRun run = h.sandboxRun({});
        run.env.push_back("_=" + h.package);
        if (c.argv0)
            run.argv0 = c.argv0;
        if (c.underscore) {
            run.env.pop_back();
            std::string u = c.underscore;
            if (auto at = u.find("@PACKAGE@"); at != std::string::npos)
                u.replace(at, 9, h.package);
            run.env.push_back(u);
        }
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, 3) << c.name << "\n" << r.err;
    }
    // Started by a bare name from a shell that exports no `_` (dash, cron),
    // standing in a directory where somebody planted a package of the same
    // name: the file that runs is the one on PATH.
    {
        LauncherHarness h;
        std::string real = buildPackage(standardPackage(toolImage("exit 3"), "./tool.sh"));
        h.writePackage(toolImage("exit 66"));
        mkdir((h.dir + "/bin").c_str(), 0755);
        writeFile(h.dir + "/bin/pkg.run", real, 0755);
        SandboxRun run = h.sandboxRun({});
        run.argv = {"/bin/dash", "-c", "pkg.run"};
        run.env.push_back("PATH=" + h.dir + "/bin:" + SANDBOX_PATH);
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, 3) << "the planted package ran\n" << r.err;
    }
    // Through a symbolic link, and by a relative path from another directory.
    LauncherHarness h;
    h.writePackage(toolImage("exit 4"));
    symlink(h.package.c_str(), (h.dir + "/link.run").c_str());
    mkdir((h.dir + "/sub").c_str(), 0755);
    for (std::string path : {h.dir + "/link.run", std::string("../pkg.run")}) {
        SandboxRun run = h.sandboxRun({});
        run.argv[0] = path;
        run.cwd = h.dir + "/sub";
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, 4) << path << "\n" << r.err;
    }
}

// A signal that another process sends to the launcher alone (a service
// manager's SIGTERM): a package that forwards signals passes it on and ends
// with the tool's status; one that records them, and every package without
// settings, lets the tool run on.
TEST(Launch, ASignalSentToTheLauncherAloneReachesTheToolWhenThePackageForwards)
{
    struct Row {
        const char *what;
        std::optional<SignalsSetting> signals; // none: a package without settings
        int sig;
        int status;
    };
    const Row rows[] = {
        {"no settings", std::nullopt, SIGTERM, 4},
        {"record", SIGNALS_RECORD, SIGTERM, 4},
        {"forward SIGTERM", SIGNALS_FORWARD, SIGTERM, 128 + SIGTERM},
        {"forward SIGUSR1", SIGNALS_FORWARD, SIGUSR1, 128 + SIGUSR1},
        {"forward leaves SIGALRM recorded", SIGNALS_FORWARD, SIGALRM, 4},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        LauncherHarness h;
        PackageSpec layout = standardPackage(toolImage("touch \"$QUARN_PORTABLE_EXEC_DIR/started\"; sleep 2; exit 4"),
                                             "./tool.sh");
        if (row.signals) {
            layout.settings = PackageSettings{};
            layout.settings->signals = *row.signals;
        }
        h.writePackage(layout);
        SandboxRun run = h.interruptedRun("started", row.sig);
        run.toGroup = false;
        run.delayMs = 100;
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.tmpAfter, "");
        EXPECT_EQ(r.shmAfter, "");
    }
}

TEST(Launch, InterruptWhileTheToolRunsEndsBothAndCleansUp)
{
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGALRM, SIGSTKFLT, SIGRTMIN + 3, SIGRTMAX}) {
        LauncherHarness h;
        h.writePackage(toolImage("touch \"$QUARN_PORTABLE_EXEC_DIR/started\"; exec sleep 30"));
        SandboxResult r = runSandboxed(h.dir, h.interruptedRun("started", sig));
        EXPECT_EQ(r.status, 128 + sig) << strsignal(sig) << "\n" << r.err;
        EXPECT_LT(r.seconds, 10);
        EXPECT_EQ(r.tmpAfter, "");
        EXPECT_EQ(r.shmAfter, "");
    }
}

TEST(Launch, InterruptWhileUnpackingStopsWithoutStartingTheTool)
{
    LauncherHarness h;
    PackageSpec layout = standardPackage(toolImage("touch \"$QUARN_PORTABLE_EXEC_DIR/tool-ran\""), "./tool.sh");
    // An unzip utility that takes its time, so the interrupt surely lands
    // while it runs.
    layout.unzip = "#!/bin/sh\ntouch \"$QUARN_PORTABLE_EXEC_DIR/unpacking\"\nexec sleep 30\n";
    h.writePackage(layout);
    SandboxResult r = runSandboxed(h.dir, h.interruptedRun("unpacking", SIGINT));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.seconds, 10);
    EXPECT_FALSE(fileThere(h.dir + "/tool-ran"));
    EXPECT_EQ(r.tmpAfter, "");
    EXPECT_EQ(r.shmAfter, "");
}

TEST(Launch, InterruptOutsideAChildEndsAtOnceWithStatusOne)
{
    // A record for another platform makes the launcher pause before it
    // unpacks; the signal reaches it there, with no child running.
    // The fault signals, sent by another process, count as a request to
    // stop like SIGTERM.
    for (int sig : {SIGINT,  SIGTERM, SIGQUIT, SIGHUP, SIGALRM,   SIGUSR1,  SIGUSR2,      SIGVTALRM,
                    SIGPROF, SIGXCPU, SIGIO,   SIGPWR, SIGSTKFLT, SIGRTMIN, SIGRTMIN + 7, SIGRTMAX,
                    SIGSEGV, SIGTRAP, SIGBUS,  SIGFPE, SIGILL,    SIGABRT,  SIGSYS}) {
        LauncherHarness h;
        PackageSpec layout = standardPackage(toolImage("exit 0"), "./tool.sh");
        layout.commands = commandRecordBytes(4, 99, 3, "./tool.sh");
        h.writePackage(layout);
        SandboxRun run = h.sandboxRun({});
        run.env.clear();
        run.signal = sig;
        run.delayMs = 1000;
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, 1) << strsignal(sig);
        EXPECT_LT(r.seconds, 4) << strsignal(sig);
        EXPECT_EQ(r.tmpAfter, "");
        EXPECT_EQ(r.shmAfter, "");
    }
}

TEST(Launch, InterruptOutsideAChildRemovesATreeDeeperThanAnyFixedLimit)
{
    // The unzip utility leaves 600 levels of directories and fills the pipe
    // that the launcher writes to, so that the launcher waits in its own
    // "Executing..." when the signal comes, with no child running. It fills
    // the pipe byte by byte until a write would wait, through a description
    // of its own that does not wait, before it exits: a writer left in the
    // background may not have filled it before the launcher writes, and then
    // the tool runs and takes the signal instead.
    LauncherHarness h;
    PackageSpec layout = standardPackage(toolImage("touch \"$QUARN_PORTABLE_EXEC_DIR/tool-ran\""), "./tool.sh");
    layout.unzip = "#!/bin/sh\nmkdir -p $(printf 'd/%.0s' $(seq 600))\n"
                   "dd if=/dev/zero of=/proc/self/fd/3 oflag=nonblock bs=1 count=1000000 3>&2 2>/dev/null\n"
                   "touch \"$QUARN_PORTABLE_EXEC_DIR/unpacked\"\n";
    h.writePackage(layout);
    SandboxRun run = h.interruptedRun("unpacked", SIGTERM);
    // The shell and the reader ignore the signal (the launcher arms its own
    // handler), so the launcher's clean-up is never cut short by the end of
    // the run.
    run.argv = {"/bin/bash", "-c", "trap '' TERM; { " + h.package + "; echo $? > status; } 2>&1 | sleep 5"};
    run.delayMs = 500;
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_LT(r.seconds, 10);
    EXPECT_EQ(readFile(h.dir + "/status"), "1\n") << "the handler ends the launcher";
    EXPECT_FALSE(fileThere(h.dir + "/tool-ran"));
    EXPECT_EQ(r.tmpAfter, "");
    EXPECT_EQ(r.shmAfter, "");
}

TEST(Launch, EveryWayOutCleansUp)
{
    // Each case starts the package through a shell line; what it leaves
    // behind is what counts.
    struct Case {
        const char *name;
        std::string shell; // @PKG@ stands for the package
        std::vector<ZipEntrySpec> more;
        std::string script;
        int status; // of the shell line
        std::string out;
        std::string err;
    } cases[] = {
        // The reader of the launcher's output goes away after one line: the
        // launcher's own progress lines fail, the tool still runs (and meets
        // the closed pipe itself).
        {"reader gone",
         "@PKG@ | head -1; exit 0",
         {},
         "touch \"$QUARN_PORTABLE_EXEC_DIR/ran\"; echo tool",
         0,
         "Extracting...\n",
         ""},
        // A file size limit below the unzip utility: the failed write is the
        // launcher's own error.
        {"file size limit",
         "ulimit -f 100; exec @PKG@",
         {},
         "touch \"$QUARN_PORTABLE_EXEC_DIR/ran\"",
         1,
         "Extracting...\n",
         "Failed extracting unzip\n"},
        // A package that its user may run but not read (mode 0711): it
        // starts and cannot read itself, and says why.
        {"not readable, not root",
         "chmod 0711 @PKG@ && exec setpriv --reuid=65534 --regid=65534 --clear-groups @PKG@",
         {},
         "exit 0",
         1,
         "",
         "Failed opening file @PKG@\n@PKG@ cannot be read: Permission denied; a package must be readable by whoever "
         "runs it (chmod a+r)\n"},
        // An operator who is not root, with a directory of mode 000 in the
        // image: clean-up still removes all of it.
        {"locked directory, not root",
         "exec setpriv --reuid=65534 --regid=65534 --clear-groups @PKG@",
         {fileEntry("locked/deeper/file", "x"), dirEntry("locked/deeper", 0), dirEntry("locked", 0)},
         "exit 0",
         0,
         "Extracting...\nExecuting...\n\n\n",
         ""},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        h.writePackage(toolImage(c.script, c.more));
        auto expand = [&](std::string text) {
            for (std::size_t at; (at = text.find("@PKG@")) != std::string::npos;)
                text.replace(at, 5, h.package);
            return text;
        };
        std::string line = expand(c.shell);
        SandboxRun run = h.sandboxRun({});
        run.argv = {"/bin/bash", "-c", line};
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, expand(c.err)) << c.name;
        EXPECT_EQ(r.tmpAfter, "") << c.name;
        EXPECT_EQ(r.shmAfter, "") << c.name;
    }
}

} // namespace

namespace {

TEST(HostileTmp, NoexecAndFullTmpFailCleanlyWithTheirCause)
{
    // A tree that unpacks to far more than it packs to: 8 MiB and the script.
    std::vector<ZipEntrySpec> big;
    for (int i = 0; i < 8; ++i)
        big.push_back({"big" + std::to_string(i), std::string(1 << 20, 'z'), 0644});
    const uint64_t unzipSize = readFile(MINIUNZ_BIN).size();
    const uint64_t tree = (8 << 20) + std::string("#!/bin/sh\ntouch \"$QUARN_PORTABLE_EXEC_DIR/ran\"\n").size();
    // A tmpfs of `kib` KiB: what it offers, as the launcher reads it. The
    // sandbox's /tmp is a tmpfs already and is only resized: a tmpfs mounted
    // over it would hide the build's folder of a checkout under /tmp.
    auto room = [](const std::string &where, uint64_t kib) {
        std::string size = "size=" + std::to_string(kib) + "k";
        return where == "/tmp" ? "mount -o remount," + size + " /tmp" : "mount -t tmpfs -o " + size + " tmpfs " + where;
    };
    const uint64_t filesKib = unzipSize / 1024 + 512;
    const std::string noexec = " is on a file system mounted noexec: programs cannot run there; set TMPDIR to a "
                               "directory where they can.\n\nFailed executing <./miniunz image.zip > /dev/null>\n";
    struct Case {
        const char *name;
        std::string mount;
        std::vector<std::string> args; // "TMPDIR=..." goes to the environment
        std::string err; // @N: the image's size, @U: the unzip utility's and the image's, @A: available, @D: scratch
    } cases[] = {
        {"noexec", "mount -o remount,noexec /tmp", {}, "/tmp" + noexec},
        {"noexec, extract",
         "mount -o remount,noexec /tmp",
         {"--extract", "out"},
         "/tmp is on a file system mounted noexec: programs cannot run there; set TMPDIR to a directory where they "
         "can.\n\nFailed executing <./miniunz -o image.zip -d \"@D/out\" > /dev/null>\n"},
        {"noexec TMPDIR, its name escaped",
         "d=$(printf 'a\\033t') && mkdir \"$d\" && mount -t tmpfs -o noexec,mode=755 tmpfs \"$d\"",
         {"TMPDIR=@D/a\x1b"
          "t"},
         "@D/a\\x1bt" + noexec},
        {"read-only",
         "mount -o remount,ro /tmp",
         {},
         "Failed creating /tmp/portable_install_00000000\n/tmp cannot hold the working directory: Read-only file "
         "system; set TMPDIR to a directory where you may write.\n"},
        {"no inode left",
         "mkdir alt && mount -t tmpfs -o nr_inodes=1,mode=755 tmpfs alt",
         {"TMPDIR=@D/alt"},
         "Failed creating @D/alt/portable_install_00000000\n@D/alt cannot hold the working directory: No space left "
         "on device; set TMPDIR to a directory with more room.\n"},
        {"too small for the unzip utility",
         room("/tmp", 64),
         {},
         "Not enough room in /tmp: the package needs @T bytes there (the unzip utility, the image and the "
         "unpacked tree), 65536 are available; set TMPDIR to a directory with more room.\n"},
        {"too small for the unpacked tree",
         room("/tmp", filesKib),
         {},
         "Not enough room in /tmp: the package needs @T bytes there (the unzip utility, the image and the "
         "unpacked tree), @A are available; set TMPDIR to a directory with more room.\n"},
        {"extract: the temporary directory too small",
         room("/tmp", 64),
         {"--extract", "out"},
         "Not enough room in /tmp: the package needs @U bytes there (the unzip utility, the image), 65536 are "
         "available; set TMPDIR to a directory with more room.\n"},
        {"extract: the target too small",
         "mkdir out && " + room("out", 1024),
         {"--extract", "out"},
         "Not enough room in out: the image unpacks to @N bytes, 1048576 are available.\n"},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        std::string image = toolImage("touch \"$QUARN_PORTABLE_EXEC_DIR/ran\"", big);
        h.writePackage(image);
        std::vector<std::string> args, env;
        for (const std::string &arg : c.args)
            (arg.starts_with("TMPDIR=") ? env : args).push_back(arg);
        auto fill = [&](std::string text, const char *mark, const std::string &value) {
            for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, 2, value);
            return text;
        };
        for (std::string &e : env)
            e = fill(e, "@D", h.dir);
        SandboxRun run = h.sandboxRun(args, env);
        run.setup = c.mount;
        run.inspect = "ls -A out 2>/dev/null; ls -A alt 2>/dev/null";
        SandboxResult r = runSandboxed(h.dir, run);
        std::string err = fill(c.err, "@D", h.dir);
        err = fill(err, "@T", std::to_string(unzipSize + image.size() + tree));
        err = fill(err, "@U", std::to_string(unzipSize + image.size()));
        err = fill(err, "@N", std::to_string(tree));
        err = fill(err, "@A", std::to_string((filesKib * 1024 + 4095) / 4096 * 4096)); // tmpfs counts whole pages
        EXPECT_EQ(r.status, 1) << c.name;
        // The launcher's own lines alone: no shell or loader speaks first.
        EXPECT_EQ(r.err, err) << c.name;
        EXPECT_FALSE(fileThere(h.dir + "/ran")) << c.name;
        EXPECT_EQ(r.inspected, "") << c.name;
        EXPECT_EQ(r.tmpAfter, "") << c.name;
        EXPECT_EQ(r.shmAfter, "") << c.name;
    }
}

} // namespace
