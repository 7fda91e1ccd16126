// Runs a real program of this build in a private mount namespace, with a
// fresh tmpfs on /tmp and on /dev/shm, so that tests can look at everything
// the program leaves there and never touch the machine's own.
#ifndef TESTS_SANDBOX_H
#define TESTS_SANDBOX_H

#include <string>
#include <vector>

struct SandboxRun {
    std::vector<std::string> argv;  // program and arguments; argv[0] is also the path run
    std::string argv0;              // when set, the name the program sees as argv[0]
    std::vector<std::string> env;   // "NAME=value"; the program gets these only, and SANDBOX_PATH
                                    // as PATH unless they name one
    std::string cwd;                // default: the scratch directory
    std::string stdinText;
    std::string setup;              // shell commands run in the namespace before the program
    std::string inspect;            // shell commands run after it; their output is `inspected`
    // An interrupt: `signal` is sent once `triggerFile` exists (or at once
    // when empty) and `delayMs` more have passed, to the program alone or to
    // its whole process group.
    int signal = 0;
    bool toGroup = false;
    std::string triggerFile;
    int delayMs = 0;
    int timeoutSeconds = 60;
};

extern const char *const SANDBOX_PATH;

struct SandboxResult {
    int status = -1;        // exit status, or 128 + signal when killed
    std::string out;
    std::string err;
    std::string tmpAfter;   // names in /tmp afterwards, one a line, sorted
    std::string shmAfter;   // names in /dev/shm afterwards
    std::string inspected;
    double seconds = 0;     // how long the program ran
};

SandboxResult runSandboxed(const std::string &scratch, const SandboxRun &run);

// A shell command for the sandbox that lists the names in `dirs` as
// `ls -A dirs` does, but without the folder that holds the build when the
// checkout lives under /tmp: that folder is bound into the sandbox's /tmp so
// that the programs are reachable, and is no program's doing.
std::string listingCommand(const std::string &dirs);

// A fresh, empty scratch directory for the current test under the build's
// test work folder (never under /tmp).
std::string scratchDir();

#endif
