// Damaged and hostile packages: every one ends with a message and status 1,
// never with a crash, a hang or anything left in /tmp.
#include "launcher_harness.h"

#include <map>
#include <sstream>

namespace {

// A small package behind the real launcher whose elements hold no 0xFF
// byte, so that a file cut anywhere in them has no end marker at its new
// end.
PackageSpec smallPackage()
{
    PackageSpec layout;
    layout.launcher = readFile(LAUNCHER_BIN);
    layout.unzip = "#!/bin/sh\nexit 0\n";
    layout.globalInfo = globalInfoBytes(1, 0);
    layout.commands = commandRecordBytes(2, 11, 2, "./tool.sh");
    layout.image = std::string(700, 'I');
    return layout;
}

// Starts every cut file once, all in one namespace: the launcher reads the
// file that runs, whatever it is told.
std::map<std::string, std::vector<std::size_t>> runCuts(const std::string &dir, const std::string &full,
                                                        const std::vector<std::size_t> &lengths)
{
    writeFile(dir + "/full", full);
    std::ostringstream list;
    for (std::size_t n : lengths)
        list << n << "\n";
    writeFile(dir + "/lengths", list.str());
    SandboxRun run;
    run.argv = {"/bin/bash", "-c",
                "while read n; do head -c \"$n\" full > cut; chmod 755 cut; "
                "./cut > out 2> err; rc=$?; "
                "e=$(<err); printf '%s %s %s|\\n' \"$n\" \"$rc\" \"${e//$'\\n'/|}\" >> results; "
                "done < lengths; " +
                    listingCommand("/tmp") + " > left"};
    run.cwd = dir;
    run.timeoutSeconds = 240;
    SandboxResult r = runSandboxed(dir, run);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(dir + "/left"), "") << "the launcher left something in /tmp";
    std::map<std::string, std::vector<std::size_t>> outcomes; // "status message" -> lengths
    std::istringstream in(readFile(dir + "/results"));
    std::string line;
    while (std::getline(in, line)) {
        std::size_t n = std::stoul(line);
        outcomes[line.substr(line.find(' ') + 1)].push_back(n);
    }
    return outcomes;
}

TEST(HostilePackage, EveryCutEndsWithAMessageAndStatusOne)
{
    std::string dir = scratchDir();
    PackageSpec layout = smallPackage();
    std::string full = buildPackage(layout);
    std::vector<std::size_t> boundaries;
    std::size_t at = 0;
    for (const std::string *element :
         {&layout.launcher, &layout.unzip, &layout.globalInfo, &layout.commands, &layout.image})
        boundaries.push_back(at += element->size());
    boundaries.push_back(full.size() - 1);
    // Every length behind the launcher (a file cut inside it does not run at
    // all; files shorter than the directory are the reader's unit tests); a
    // sanitized launcher starts too slowly for that, so it gets every
    // seventh and every length near an element boundary.
#if defined(__SANITIZE_ADDRESS__)
    const std::size_t step = 7;
#else
    const std::size_t step = 1;
#endif
    std::vector<std::size_t> lengths;
    for (std::size_t n = layout.launcher.size(); n < full.size(); ++n) {
        bool nearBoundary = false;
        for (std::size_t b : boundaries)
            nearBoundary = nearBoundary || (n + 3 >= b && n <= b + 3);
        if (n % step == 0 || nearBoundary)
            lengths.push_back(n);
    }
    auto outcomes = runCuts(dir, full, lengths);
    // A cut whose last byte happens to be 0xFF (inside a size field) is read
    // as a directory of garbage: it fails later, still with a message. Each
    // ends with what to do, but for the launcher alone, which never was a
    // package.
    const std::string bare = "1 Failed reading package directory|";
    const std::string advice = "./cut is not a whole package (cut short?); copy it again.|";
    std::size_t endsInMarker = 0;
    for (std::size_t n : lengths)
        endsInMarker += full[n - 1] == '\xff';
    EXPECT_EQ(outcomes[bare], std::vector<std::size_t>{layout.launcher.size()});
    EXPECT_EQ(outcomes[bare + advice].size(), lengths.size() - endsInMarker - 1);
    for (const auto &[outcome, ns] : outcomes) {
        EXPECT_EQ(outcome.rfind("1 Failed ", 0), 0u) << outcome << " at length " << ns.front();
        EXPECT_TRUE(outcome == bare || outcome.ends_with("|" + advice)) << outcome << " at length " << ns.front();
    }
}

TEST(HostilePackage, TextFieldsThatFillTheirWidthEndThere)
{
    LauncherHarness h;
    // 128 bytes of command and 256 of arguments, neither with a NUL.
    std::string command = "./tool.sh" + std::string(128 - 9, ' ');
    std::string arguments = std::string(255, ' ') + "z";
    PackageSpec layout = standardPackage(toolImage("printf '<%s>' \"$@\" > \"$QUARN_PORTABLE_EXEC_DIR/args\""), command,
                                         arguments);
    h.writePackage(layout);
    SandboxResult r = h.run();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(h.dir + "/args"), "<z>");
}

TEST(HostilePackage, ALastByteOtherThanTheMarkerIsRefused)
{
    for (unsigned char marker : {0x00, 0xFE, 0x7F}) {
        LauncherHarness h;
        PackageSpec layout = standardPackage(toolImage("exit 0"), "./tool.sh");
        layout.endMarker = marker;
        h.writePackage(layout);
        SandboxResult r = h.run();
        EXPECT_EQ(r.status, 1);
        // More than the launcher, but no package: it may have been one.
        EXPECT_EQ(r.err, "Failed reading package directory\n" + h.package +
                             " is not a whole package (cut short?); copy it again.\n");
        EXPECT_EQ(r.tmpAfter, "");
    }
}

TEST(HostilePackage, NoProgramCarriesARunPathOfTheCurrentDirectory)
{
    // The programs that a package carries have no dynamic section at all:
    // they run on machines with other C libraries.
    for (const char *program : {LAUNCHER_BIN, MINIUNZ_BIN}) {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "sanitized programs are linked dynamically";
#endif
        ProgramResult r = runProgram({"/usr/bin/readelf", "-d", program}, ".");
        EXPECT_NE((r.out + r.err).find("no dynamic section"), std::string::npos) << program;
    }
    for (const char *program : {LAUNCHER_BIN, MINIUNZ_BIN, MKPORTABLE_BIN}) {
        ProgramResult r = runProgram({"/usr/bin/readelf", "-d", program}, ".");
        ASSERT_EQ(r.status, 0) << r.err;
        std::istringstream in(r.out);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("RPATH") != std::string::npos || line.find("RUNPATH") != std::string::npos) {
                EXPECT_EQ(line.find("[.]"), std::string::npos) << program << ": " << line;
            }
        }
    }
}

} // namespace
