// Runs a real program of this build in a private mount namespace, with a
// fresh tmpfs on /tmp and on /dev/shm, so that tests can look at everything
// the program leaves there and never touch the machine's own.
#ifndef TESTS_SANDBOX_H
#define TESTS_SANDBOX_H

#include "program.h"

#include <map>
#include <string>

// A run in the sandbox: the program gets exactly the environment that `env`
// names (see ProgramRun::inheritEnvironment), and runs in the scratch
// directory unless `cwd` says otherwise.
struct SandboxRun : ProgramRun {
    std::string setup;   // shell commands run in the namespace before the program
    std::string inspect; // shell commands run after it; their output is `inspected`
};

struct SandboxResult : ProgramResult {
    std::string tmpAfter; // names in /tmp afterwards, one a line, sorted
    std::string shmAfter; // names in /dev/shm afterwards
    std::string inspected;
};

SandboxResult runSandboxed(const std::string &scratch, const SandboxRun &run);

// A machine that a test makes up inside the namespace: a doctored copy of
// /etc, and a fake `uname` first on PATH.
struct FakeMachine {
    std::string hardware = "x86_64"; // what "uname -i" prints; empty: uname is the real one
    std::string machine = "x86_64";  // what "uname -m" prints
    std::map<std::string, std::string> etc = {{"SuSE-release", "SUSE Linux Enterprise Server 11\nVERSION = 11\n"}};
};
// Prepares `run`, whose scratch directory is `dir`, to see the made-up machine.
void onMachine(SandboxRun &run, const std::string &dir, const FakeMachine &m);

// A shell command for the sandbox that lists the names in `dirs` as
// `ls -A dirs` does, but without the folder that holds the build when the
// checkout lives under /tmp: that folder is bound into the sandbox's /tmp so
// that the programs are reachable, and is no program's doing.
std::string listingCommand(const std::string &dirs);

#endif
