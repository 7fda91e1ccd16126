// The launcher's handler in a process of its own, where a test can tell a
// signal the process raised for itself from one another process sent: only
// there can a fault be raised without taking the test program down.
#include "cleanup.h"
#include "program.h"
#include "run_state.h"
#include "working_directory.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Sends sig to this process from a process of its own and waits for it.
void sentFromOutside(int sig)
{
    pid_t self = getpid();
    if (fork() == 0) {
        kill(self, sig);
        _exit(0);
    }
    for (int i = 0; i < 500 && !interrupted; ++i)
        usleep(10000);
}

TEST(LauncherSignals, FaultsRaisedHereKeepTheirDefaultSentOnesCleanUp)
{
    struct Case {
        const char *name;
        int sig;
        bool outside;      // sent by another process, else raised here
        bool childRunning; // the handler only records
        int status;        // of the process: 128 + signal when it was killed
        bool treeLeft;
    } cases[] = {
        {"SIGSEGV raised here", SIGSEGV, false, false, 128 + SIGSEGV, true},
        {"SIGTRAP raised here", SIGTRAP, false, false, 128 + SIGTRAP, true},
        {"abort()", SIGABRT, false, false, 128 + SIGABRT, true},
        {"SIGSEGV sent", SIGSEGV, true, false, 1, false},
        {"SIGSYS sent", SIGSYS, true, false, 1, false},
        {"SIGRTMAX sent", SIGRTMAX, true, false, 1, false},
        {"SIGSEGV sent while a child runs", SIGSEGV, true, true, 42, true},
    };
    for (const auto &c : cases) {
        std::string dir = scratchDir();
        ChildResult r = runInChild([&](int) {
            struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            setenv("TMPDIR", dir.c_str(), 1);
            installHandlers();
            if (enterNewWorkingDirectory() != 0)
                return 120;
            ignoreInterrupt = c.childRunning ? 1 : 0;
            if (c.outside)
                sentFromOutside(c.sig);
            else if (c.sig == SIGABRT)
                abort();
            else
                raise(c.sig);
            return interrupted ? 42 : 0;
        });
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(access((dir + "/portable_install_00000000").c_str(), F_OK) == 0, c.treeLeft) << c.name;
    }
}

} // namespace
