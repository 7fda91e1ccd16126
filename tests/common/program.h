// Runs the programs that tests drive: arguments, standard input, environment,
// working directory and limits in; standard output, standard error and how
// the program ended out. The namespace sandbox and the runs on a terminal are
// this runner with one setting more. Also the scratch folder of a test and a
// fork for code that must run in a process of its own.
#ifndef TESTS_PROGRAM_H
#define TESTS_PROGRAM_H

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// The PATH of a program that does not inherit the test's environment.
extern const char *const SANDBOX_PATH;

struct ProgramRun {
    std::vector<std::string> argv{}; // program and arguments; argv[0] is also the path run
    std::string argv0{};             // when set, the name the program sees as argv[0]
    // "NAME=value". Inheriting, the program gets the test's environment less
    // SOURCE_DATE_EPOCH with these put over it; otherwise these only, and
    // SANDBOX_PATH as PATH unless they name one.
    std::vector<std::string> env{};
    bool inheritEnvironment = true;
    std::string cwd{}; // default: the test's own
    // Standard input holds this text; unset, it is a pipe that stays open and
    // never delivers, so that a prompt waits until the time runs out.
    std::optional<std::string> stdinText = "";
    // All three standard streams on a pseudo-terminal; `out` is what it showed.
    bool terminal = false;
    std::optional<mode_t> umask{};         // default: the test's
    rlim_t fileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE, with SIGXFSZ ignored: writes fail with EFBIG
    rlim_t openFilesLimit = RLIM_INFINITY; // RLIMIT_NOFILE
    // An interrupt: `signal` is sent once `triggerFile` exists (or at once
    // when empty) and `delayMs` more have passed, to the program alone or to
    // its whole process group.
    int signal = 0;
    bool toGroup = false;
    std::string triggerFile{};
    int delayMs = 0;
    int timeoutSeconds = 60; // then the program's group is killed
};

struct ProgramResult {
    int status = -1; // exit status, 128 + signal when killed, -1 when out of time
    std::string out;
    std::string err;    // ends with a note when the time ran out
    double seconds = 0; // how long the program ran
    long maxRssKiB = 0; // its peak resident memory
};

// A program started and not yet waited for. It leads a process group of
// its own (a session, on a terminal).
struct StartedProgram {
    pid_t pid = -1;
    ProgramRun run;
    int out = -1, err = -1, input = -1, terminal = -1;
    std::string shown; // what the terminal showed so far
    std::chrono::steady_clock::time_point start;
};

// Throws std::runtime_error naming the failing call when the program cannot
// be started; a program that cannot be executed ends with status 126 (not
// an executable format) or 127.
StartedProgram startProgram(const ProgramRun &run);
// Waits for the program (sending the interrupt that its run asks for), kills
// whatever it left running in its group, and collects its output.
ProgramResult finishProgram(StartedProgram &program);
ProgramResult runProgram(const ProgramRun &run);
// Shorthands: argv run in `cwd` with the test's environment and `env` over it.
StartedProgram startProgram(const std::vector<std::string> &argv, const std::string &cwd,
                            const std::vector<std::string> &env = {});
ProgramResult runProgram(const std::vector<std::string> &argv, const std::string &cwd,
                         const std::vector<std::string> &env = {});
// What a started program has written to standard output so far.
std::string outputSoFar(const StartedProgram &program);

struct ChildResult {
    int status = -1;    // exit status, or 128 + signal
    std::string output; // what the child wrote to the descriptor it was given
};
// Runs `body` in a forked child that exits with body's result (121 when it
// throws); `body` gets a descriptor to report on.
ChildResult runInChild(const std::function<int(int report)> &body);

// A fresh, empty folder under the build's test work folder (never under
// /tmp), named for the test program and the running test. Every call makes
// a new one: the second call of a test gets "NAME.2", and so on, and no call
// removes a folder that an earlier call of the same test handed out.
std::string scratchDir();

#endif
