// Interrupts at random moments over many runs: before unpacking, while
// unpacking, while the tool runs and after it. Whatever the moment, nothing
// stays behind and the exit status is one the launcher documents.
#include "launcher_harness.h"

#include <csignal>
#include <set>
#include <sstream>

namespace {

struct Outcome {
    int sig;
    std::string target;
    int delayMs;
    int status;
    std::string left;
};

std::vector<Outcome> stress(const std::string &dir, const std::string &package, int runs, int maxDelayMs,
                            const std::string &env)
{
    // Each launcher runs in a session of its own, so that a signal to its
    // group reaches it and its children but not the driving shell. A shell
    // starts a background command with SIGINT and SIGQUIT ignored, and one
    // that came before the launcher armed its handler would be lost; each
    // launcher starts with them at their defaults, as from a terminal.
    std::string script =
        "RANDOM=4242; sigs=(INT TERM QUIT HUP STKFLT RTMIN RTMAX); nums=(2 15 3 1 " + std::to_string(SIGSTKFLT) + " " +
        std::to_string(SIGRTMIN) + " " + std::to_string(SIGRTMAX) +
        ")\n"
        "for i in $(seq " +
        std::to_string(runs) +
        "); do\n"
        "  k=$((RANDOM % 7)); whom=$((RANDOM % 2)); d=$((RANDOM % " +
        std::to_string(maxDelayMs + 1) +
        "))\n"
        "  env --default-signal=INT,QUIT " +
        env + " setsid '" + package +
        "' > /dev/null 2>&1 & pid=$!\n"
        // The delay counts from the launcher's own session: a signal to a
        // group that setsid has not made yet would reach nobody.
        "  for w in $(seq 500); do kill -0 -- -$pid 2>/dev/null && break; sleep 0.001; done\n"
        "  sleep $(printf '0.%03d' $d)\n"
        "  if [ $whom = 0 ]; then kill -${sigs[$k]} $pid; t=alone; else kill -${sigs[$k]} -- -$pid; t=group; fi\n"
        "  wait $pid; rc=$?\n"
        "  left=$(" +
        listingCommand("/tmp /dev/shm") +
        " | grep -v -e '^/' -e '^$' | tr '\\n' ' ')\n"
        "  echo \"${nums[$k]} $t $d $rc $left\" >> results\n"
        // Only what a launcher makes goes: the build's own folder may be
        // visible in /tmp too.
        "  rm -rf /tmp/portable_install_* /dev/shm/sem.*\n"
        "done\n";
    writeFile(dir + "/stress.sh", script);
    SandboxRun run;
    run.argv = {"/bin/bash", dir + "/stress.sh"};
    run.cwd = dir;
    run.timeoutSeconds = 280;
    SandboxResult r = runSandboxed(dir, run);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<Outcome> outcomes;
    std::istringstream in(readFile(dir + "/results"));
    Outcome o;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        fields >> o.sig >> o.target >> o.delayMs >> o.status;
        std::getline(fields, o.left);
        o.left.erase(0, o.left.find_first_not_of(' '));
        o.left.erase(o.left.find_last_not_of(' ') + 1);
        outcomes.push_back(o);
    }
    return outcomes;
}

void expectClean(const std::vector<Outcome> &outcomes, std::size_t runs)
{
    EXPECT_EQ(outcomes.size(), runs);
    std::set<int> seen;
    for (const auto &o : outcomes) {
        std::string what = "signal " + std::to_string(o.sig) + " to " + o.target + " after " +
                           std::to_string(o.delayMs) + " ms";
        EXPECT_EQ(o.left, "") << what << " left something behind";
        // 0: the tool ended normally first; 1: the launcher was interrupted
        // outside the tool; 128 + signal: the tool (or a launcher that had
        // not yet armed its handler) was ended by the signal.
        std::set<int> allowed = {0, 1, 128 + o.sig};
        EXPECT_TRUE(allowed.count(o.status)) << what << ": status " << o.status;
        seen.insert(o.status);
    }
    EXPECT_GE(seen.size(), 2u) << "the delays should hit more than one moment";
}

TEST(InterruptStress, RandomMomentsWhileUnpackingAndRunning)
{
    LauncherHarness h;
    // A few hundred kilobytes to unpack, and a tool that runs briefly.
    std::vector<ZipEntrySpec> payload;
    for (int i = 0; i < 40; ++i)
        payload.push_back({"data/f" + std::to_string(i), std::string(8000 + i, char('a' + i % 26)), 0644});
    h.writePackage(toolImage("sleep 0.05", payload));
    constexpr int runs = 200;
    expectClean(stress(h.dir, h.package, runs, 120, "VESK_PORTABLE_INTERACTIVE="), runs);
}

TEST(InterruptStress, RandomMomentsDuringTheMismatchPause)
{
    LauncherHarness h;
    PackageSpec layout = standardPackage(toolImage("exit 0"), "./tool.sh");
    layout.commands = commandRecordBytes(4, 99, 3, "./tool.sh");
    h.writePackage(layout);
    constexpr int runs = 12;
    auto outcomes = stress(h.dir, h.package, runs, 900, "-u VESK_PORTABLE_INTERACTIVE");
    EXPECT_EQ(outcomes.size(), std::size_t(runs));
    for (const auto &o : outcomes) {
        EXPECT_EQ(o.left, "");
        EXPECT_TRUE(o.status == 1 || o.status == 128 + o.sig)
            << "signal " << o.sig << " to " << o.target << " after " << o.delayMs << " ms: status " << o.status;
    }
}

} // namespace
