// The launcher's options, its instance guard and the failure shell.
#include "launcher_harness.h"

#include <csignal>
#include <cstring>
#include <optional>
#include <regex>

namespace {

const char *const GUARD_REFUSED = "Two program instances cannot be run at the same time.\n"
                                  "You can use \"<program> -semdestroy\" to release the existing semaphore.\n"
                                  "Exiting from the current instance.\n";

const char *const ARGS_TOOL = "for a in \"$@\"; do printf '<%s>' \"$a\"; done > \"$QUARN_PORTABLE_EXEC_DIR/args\"";

// Shell text that runs the package again inside the same namespace.
std::string again(const LauncherHarness &h, const std::string &args = "")
{
    return "env VESK_PORTABLE_INTERACTIVE= '" + h.package + "' " + args + "; echo \"rc=$?\"";
}

// A tool that says it started, then waits until the test releases it and
// ends with status 5.
const char *const WAITING_TOOL = "touch \"$QUARN_PORTABLE_EXEC_DIR/started\"\n"
                                 "i=0; while [ ! -e \"$QUARN_PORTABLE_EXEC_DIR/release\" ] && [ $i -lt 400 ]; do\n"
                                 "  sleep 0.05; i=$((i+1)); done\nexit 5";

// A run that starts h's package (WAITING_TOOL) in the background first and
// waits until its tool runs; afterwards `whileFirstRuns` looks around, the
// first is released, and its last line and what is left are listed.
SandboxRun besideAFirstLaunch(LauncherHarness &h, const std::string &whileFirstRuns)
{
    SandboxRun run = h.sandboxRun({});
    run.setup = "( " + again(h) +
                " ) > first.out 2>&1 & "
                "i=0; while [ ! -e started ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done";
    run.inspect = whileFirstRuns +
                  "touch release; "
                  "i=0; while ! grep -q rc= first.out && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; "
                  "tail -n 1 first.out; " +
                  listingCommand("/tmp /dev/shm");
    return run;
}

TEST(Options, GuardMessageIsExact)
{
    EXPECT_EQ(std::string(GUARD_REFUSED).size(), 160u);
}

TEST(Options, SemdestroyWithoutAGuardReleasesNothingAndSaysSo)
{
    LauncherHarness h;
    h.writePackage(toolImage("touch \"$QUARN_PORTABLE_EXEC_DIR/ran\""));
    SandboxRun run = h.sandboxRun({"-semdestroy"});
    run.inspect = again(h);
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Existing Semaphore released.\n");
    EXPECT_EQ(r.shmAfter, "");
    EXPECT_NE(r.inspected.find("rc=0"), std::string::npos) << r.inspected;
    EXPECT_TRUE(fileThere(h.dir + "/ran"));
}

TEST(Options, AGuardLeftByAKilledLauncherIsRefusedUntilReleased)
{
    LauncherHarness h;
    h.writePackage(toolImage("touch \"$QUARN_PORTABLE_EXEC_DIR/started\"; exec sleep 30"));
    SandboxRun run = h.interruptedRun("started", SIGKILL);
    run.inspect = "rm -f started; " + again(h) + "; " + again(h, "-semdestroy") + "; ls /dev/shm; echo --";
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_EQ(r.shmAfter, "sem.QUARNTELV\n");
    EXPECT_EQ(r.inspected, std::string(GUARD_REFUSED) + "rc=1\nExisting Semaphore released.\nrc=0\n--\n");
}

// A package with settings leaves a mark that dies with its launcher: the
// next launch takes the guard over and says so, instead of refusing every
// launch until root releases it.
TEST(Options, AGuardWhoseHolderIsGoneIsTakenOver)
{
    LauncherHarness h;
    PackageSpec layout = standardPackage(
        toolImage("[ -e \"$QUARN_PORTABLE_EXEC_DIR/started\" ] && exit 3; touch \"$QUARN_PORTABLE_EXEC_DIR/started\"; "
                  "exec sleep 30"),
        "./tool.sh");
    layout.settings = PackageSettings{};
    layout.settings->guard = GUARD_PACKAGE;
    std::strcpy(layout.settings->name, "alpha");
    h.writePackage(layout);
    SandboxRun run = h.interruptedRun("started", SIGKILL);
    run.inspect = "ls /dev/shm; " + again(h) + " 2>&1; ls /dev/shm; echo --";
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_EQ(std::regex_replace(r.inspected, std::regex("process [0-9]+"), "process N"),
              "QUARNTELV.8ed3f6ad685b959e.lock\nsem.QUARNTELV.8ed3f6ad685b959e\n"
              "Taking over the instance guard QUARNTELV.8ed3f6ad685b959e: the launcher that held it "
              "(process N) is gone.\nExtracting...\nExecuting...\n\n\nrc=3\n--\n");
}

TEST(Options, SemdestroyThatCannotReleaseTheGuardSaysSo)
{
    // root's guard, and an operator who may not remove it.
    LauncherHarness h;
    h.writePackage(toolImage("exit 0"));
    SandboxRun run = h.sandboxRun({});
    run.argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", h.package, "-semdestroy"};
    run.setup = "touch /dev/shm/sem.QUARNTELV && chmod 644 /dev/shm/sem.QUARNTELV";
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed releasing the existing semaphore QUARNTELV: Permission denied\n");
    EXPECT_EQ(r.shmAfter, "sem.QUARNTELV\n");
}

TEST(Options, ASecondInstanceIsRefusedAndTheFirstGoesOn)
{
    LauncherHarness h;
    h.writePackage(toolImage(WAITING_TOOL));
    SandboxResult r = runSandboxed(h.dir, besideAFirstLaunch(h, "ls /tmp | grep -c portable_install; "));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, GUARD_REFUSED);
    EXPECT_EQ(r.shmAfter, "sem.QUARNTELV\n") << "the first instance keeps its guard";
    EXPECT_EQ(r.inspected, "1\nrc=5\n/dev/shm:\n\n/tmp:\n");
}

TEST(Options, ExtractUnpacksIntoTheNamedDirectoryAndRunsNothing)
{
    struct Case {
        const char *name;
        std::string dir;  // as given on the command line, relative to the scratch dir
        std::string made; // where the files must land, relative to the scratch dir
    } cases[] = {
        {"relative with parents", "out/deeper", "out/deeper"},
        {"absolute", "@/abs/x", "abs/x"},
        {"blank", "a b", "a b"},
        {"quote and command", "x\";touch INJECTED;\"", "x\";touch INJECTED;\""},
        {"dollar", "$(touch INJECTED)", "$(touch INJECTED)"},
        {"backquote", "`touch INJECTED`", "`touch INJECTED`"},
        {"semicolon", "d;touch INJECTED", "d;touch INJECTED"},
        {"existing directory", ".", "."},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        h.writePackage(toolImage("touch \"$QUARN_PORTABLE_EXEC_DIR/ran\"", {{"sub/data.txt", "payload", 0640}}));
        std::string dir = c.dir[0] == '@' ? h.dir + c.dir.substr(1) : c.dir;
        SandboxResult r = h.run({"--extract", dir});
        EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
        EXPECT_EQ(r.out, "Extracting...\n") << c.name;
        EXPECT_EQ(readFile(h.dir + "/" + c.made + "/sub/data.txt"), "payload") << c.name;
        EXPECT_TRUE(fileThere(h.dir + "/" + c.made + "/tool.sh")) << c.name;
        EXPECT_FALSE(fileThere(h.dir + "/ran")) << c.name;
        EXPECT_FALSE(fileThere(h.dir + "/INJECTED")) << c.name;
        EXPECT_EQ(r.tmpAfter, "") << c.name;
        EXPECT_EQ(r.shmAfter, "") << c.name;
    }
}

TEST(Options, ExtractDirectoryThatCannotBeMadeIsRefused)
{
    LauncherHarness h;
    h.writePackage(toolImage("exit 0"));
    writeFile(h.dir + "/plain", "a file");
    // extractFolder holds the quoted absolute path and its NUL in 262 bytes.
    std::string fits = h.dir + "/";
    fits += std::string(259 - fits.size(), 'f');
    std::string tooLong = fits + "g";
    // The reason is the launcher's own line: no mkdir speaks.
    struct Case {
        std::string dir;
        int status;
        std::string err;
    } cases[] = {
        {"plain/below", 255, "plain/below cannot be made: Not a directory\n"},
        {"/proc/x", 255, "/proc/x cannot be made: No such file or directory\n"},
        {tooLong, 255, tooLong + " cannot be made: its absolute path, quoted, is longer than 259 characters\n"},
        {fits, 0, ""},
    };
    for (const auto &c : cases) {
        SandboxRun run = h.sandboxRun({"--extract", c.dir});
        run.inspect = again(h);
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, c.status) << c.dir;
        if (c.status == 255) {
            EXPECT_EQ(r.out, "Failed to create directory: " + c.dir +
                                 "\nPlease check if you specify a correct path to extract.\n");
            EXPECT_EQ(r.err, c.err);
            EXPECT_FALSE(fileThere(tooLong));
        }
        EXPECT_EQ(r.shmAfter, "") << "the guard is released";
        EXPECT_NE(r.inspected.find("rc=0"), std::string::npos) << "the next run is not refused";
    }
}

TEST(Options, NearMissesAreOrdinaryRunsWithTheirArguments)
{
    struct Case {
        std::vector<std::string> args;
        std::string seen;
    } cases[] = {
        {{"-semdestroy", "x"}, "<-semdestroy><x>"},
        {{"--extract"}, "<--extract>"},
        {{"--extract", "a", "b"}, "<--extract><a><b>"},
        {{"-SEMDESTROY"}, "<-SEMDESTROY>"},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        h.writePackage(toolImage(ARGS_TOOL));
        SandboxResult r = h.run(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(h.dir + "/args"), c.seen);
        EXPECT_EQ(r.err, "");
    }
}

TEST(Options, FailureShellOpensInTheWorkingDirectoryBeforeCleanUp)
{
    LauncherHarness h;
    h.writePackage(toolImage("exit 3"));
    SandboxRun run = h.sandboxRun({}, {"QUARN_PORTABLE_ERR_SH="});
    run.stdinText = "echo \"shell in $(pwd)\"; ls; exit 9\n";
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Extracting...\nExecuting...\n\n\n"
                     "shell in /tmp/portable_install_00000000\nimage.zip\nminiunz\ntool.sh\n");
    EXPECT_EQ(r.tmpAfter, "");

    LauncherHarness ok;
    ok.writePackage(toolImage("exit 0"));
    SandboxRun quiet = ok.sandboxRun({}, {"QUARN_PORTABLE_ERR_SH=1"});
    quiet.stdinText = "echo shell opened\n";
    SandboxResult r2 = runSandboxed(ok.dir, quiet);
    EXPECT_EQ(r2.status, 0);
    EXPECT_EQ(r2.out.find("shell opened"), std::string::npos) << "no shell after a success";
}

} // namespace

namespace {

PackageSettings settingsWith(void (*change)(PackageSettings &))
{
    PackageSettings settings;
    std::strcpy(settings.name, "show");
    std::strcpy(settings.version, "1.0");
    change(settings);
    return settings;
}

} // namespace

// Each setting against a package without settings, which keeps the
// launcher's behaviour of old in every row: where progress goes, where the
// tool starts, what -semdestroy releases, and a record this launcher does
// not know.
TEST(Options, PackageSettingsDecideWhereTheLauncherSpeaksAndTheToolStarts)
{
    const std::string PROGRESS = "Extracting...\nExecuting...\n\n\n";
    const std::string TOOL = "tool\nhello\n";
    const std::string NO_FILE = "tool\nno in.txt\n";
    std::string damaged(260, '\0');
    damaged.replace(0, 26, std::string("portable-digest\0sha256-v2", 26));
    damaged[64] = 'S';
    damaged[65] = 2; // a settings version this launcher does not know
    struct Row {
        const char *what;
        std::optional<PackageSettings> settings;
        std::optional<std::string> field;
        std::vector<std::string> args;
        int status;
        std::string out; // the whole output; for --portable-help its first lines
        std::string err;
    };
    const Row rows[] = {
        {"no settings", std::nullopt, std::nullopt, {"in.txt"}, 0, PROGRESS + NO_FILE, ""},
        {"help without settings goes to the tool",
         std::nullopt,
         std::nullopt,
         {"--portable-help"},
         0,
         PROGRESS + "tool\nno --portable-help\n",
         ""},
        {"help",
         settingsWith([](PackageSettings &s) { std::strcpy(s.summary, "shows \x1b[2J"); }),
         std::nullopt,
         {"--portable-help"},
         0,
         "show 1.0\nshows \\x1b[2J\n\nSelf-help",
         ""},
        {"progress stdout",
         settingsWith([](PackageSettings &) {}),
         std::nullopt,
         {"in.txt"},
         0,
         PROGRESS + NO_FILE,
         ""},
        {"progress stderr",
         settingsWith([](PackageSettings &s) { s.progress = PROGRESS_STDERR; }),
         std::nullopt,
         {"in.txt"},
         0,
         NO_FILE,
         PROGRESS},
        {"progress none",
         settingsWith([](PackageSettings &s) { s.progress = PROGRESS_NONE; }),
         std::nullopt,
         {"in.txt"},
         0,
         NO_FILE,
         ""},
        {"the caller's directory",
         settingsWith([](PackageSettings &s) {
             s.progress = PROGRESS_NONE;
             s.workingDirectory = WORKDIR_CALLER;
         }),
         std::nullopt,
         {"in.txt"},
         0,
         TOOL,
         ""},
        {"semdestroy without a guard",
         settingsWith([](PackageSettings &s) { s.guard = GUARD_NONE; }),
         std::nullopt,
         {"-semdestroy"},
         0,
         "",
         "This package uses no instance guard: there is no semaphore to release.\n"},
        {"a settings version this launcher does not know",
         std::nullopt,
         damaged,
         {"in.txt"},
         1,
         "",
         "Package settings are damaged or newer than this launcher\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        LauncherHarness h;
        PackageSpec layout = standardPackage(toolImage("echo tool; cat \"$1\" 2>/dev/null || echo \"no $1\""),
                                             "./tool.sh");
        layout.settings = row.settings;
        layout.variantField = row.field;
        h.writePackage(layout);
        writeFile(h.dir + "/in.txt", "hello\n");
        SandboxResult r = h.run(row.args);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(row.args[0] == "--portable-help" && row.settings ? r.out.substr(0, row.out.size()) : r.out, row.out);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.tmpAfter, "");
        EXPECT_EQ(r.shmAfter, "");
    }
}

// The pipeline that one machine-wide guard broke: the same package twice,
// each reading what the other writes, with progress out of the way.
TEST(Options, APipelineOfTheSamePackageRunsWithoutAGuard)
{
    LauncherHarness h;
    PackageSpec layout = standardPackage(toolImage("sleep 0.3; tr a-z A-Z; echo \"$1\""), "./tool.sh");
    layout.settings = PackageSettings{};
    layout.settings->guard = GUARD_NONE;
    layout.settings->progress = PROGRESS_STDERR;
    h.writePackage(layout);
    SandboxRun run = h.sandboxRun({"first"});
    run.argv = {"/bin/sh", "-c", "echo abc | '" + h.package + "' first 2>/dev/null | '" + h.package + "' second"};
    SandboxResult r = runSandboxed(h.dir, run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ABC\nFIRST\nsecond\n");
    EXPECT_EQ(r.err, "Extracting...\nExecuting...\n\n\n");
    EXPECT_EQ(r.tmpAfter, "");
    EXPECT_EQ(r.shmAfter, "");
}

// Two launches at once: which of them the guard lets run, as each package's
// settings say. The first waits for the second to be over; it always ends
// with its own status and its own working directory removed.
TEST(Options, GuardsLetLaunchesRunSideBySideAsTheirSettingsSay)
{
    auto guarded = [](GuardSetting guard, const char *name) {
        PackageSettings s;
        s.guard = guard;
        std::strcpy(s.name, name);
        return std::optional<PackageSettings>(s);
    };
    const std::string REFUSED_WITH_NAME = std::string(GUARD_REFUSED) + "The program is @/second.run.\n";
    struct Row {
        const char *what;
        std::optional<PackageSettings> first, second;
        int status;
        std::string err;
        std::string shm; // while the first still runs
    };
    const Row rows[] = {
        {"no guard, the same package twice", guarded(GUARD_NONE, "jq"), guarded(GUARD_NONE, "jq"), 7, "", ""},
        {"two packages, each with its own guard", guarded(GUARD_PACKAGE, "alpha"), guarded(GUARD_PACKAGE, "beta"), 7,
         "", "QUARNTELV.8ed3f6ad685b959e.lock\nsem.QUARNTELV.8ed3f6ad685b959e\n"},
        {"one package with its own guard, twice", guarded(GUARD_PACKAGE, "alpha"), guarded(GUARD_PACKAGE, "alpha"), 1,
         REFUSED_WITH_NAME, "QUARNTELV.8ed3f6ad685b959e.lock\nsem.QUARNTELV.8ed3f6ad685b959e\n"},
        {"the machine's guard, held by a package without settings", std::nullopt, guarded(GUARD_MACHINE, "jq"), 1,
         REFUSED_WITH_NAME, "sem.QUARNTELV\n"},
        {"no guard beside the machine's", std::nullopt, guarded(GUARD_NONE, "jq"), 7, "", "sem.QUARNTELV\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        LauncherHarness h;
        PackageSpec first = standardPackage(toolImage(WAITING_TOOL), "./tool.sh");
        first.settings = row.first;
        h.writePackage(first);
        PackageSpec second = standardPackage(toolImage("exit 7"), "./tool.sh");
        second.settings = row.second;
        writeFile(h.dir + "/second.run", buildPackage(second), 0755);
        SandboxRun run = besideAFirstLaunch(h, "ls /dev/shm; ");
        run.argv = {h.dir + "/second.run"};
        SandboxResult r = runSandboxed(h.dir, run);
        std::string err = row.err;
        if (auto at = err.find('@'); at != std::string::npos)
            err.replace(at, 1, h.dir);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.inspected, row.shm + "rc=5\n/dev/shm:\n\n/tmp:\n");
    }
}
