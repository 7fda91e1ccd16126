#include "program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace fs = std::filesystem;

const char *const SANDBOX_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

namespace {

void check(bool ok, const char *call)
{
    if (!ok)
        throw std::runtime_error(std::string("startProgram: ") + call + ": " + std::strerror(errno));
}

// An anonymous file that a child writes and the parent reads afterwards:
// no pipe to drain while waiting, nothing left in any folder.
int anonymousFile(const char *name)
{
    int fd = memfd_create(name, MFD_CLOEXEC);
    check(fd >= 0, "memfd_create");
    return fd;
}

std::string readAll(int fd)
{
    std::string text;
    char buf[65536];
    off_t at = 0;
    for (ssize_t n; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
        text.append(buf, size_t(n));
    return text;
}

std::string nameOf(const std::string &assignment)
{
    return assignment.substr(0, assignment.find('='));
}

std::vector<std::string> environmentFor(const ProgramRun &run)
{
    std::vector<std::string> env;
    if (run.inheritEnvironment) {
        for (char **e = environ; *e != nullptr; ++e) {
            std::string name = nameOf(*e);
            bool replaced = std::any_of(run.env.begin(), run.env.end(),
                                        [&](const std::string &mine) { return nameOf(mine) == name; });
            if (name != "SOURCE_DATE_EPOCH" && !replaced)
                env.emplace_back(*e);
        }
    } else if (std::none_of(run.env.begin(), run.env.end(), [](const std::string &e) { return nameOf(e) == "PATH"; })) {
        env.push_back("PATH=" + std::string(SANDBOX_PATH));
    }
    env.insert(env.end(), run.env.begin(), run.env.end());
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> p;
    for (std::string &t : texts)
        p.push_back(t.data());
    p.push_back(nullptr);
    return p;
}

// In the child: only calls that are safe after fork, then exec.
[[noreturn]] void execChild(const ProgramRun &run, int in, int out, int err, int terminal, char *const argv[],
                            char *const envp[])
{
    if (terminal >= 0) {
        if (setsid() < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0)
            _exit(125);
        in = out = err = terminal;
    } else {
        setpgid(0, 0);
    }
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(125);
    if (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0)
        _exit(125);
    if (run.umask)
        umask(*run.umask);
    if (run.fileSizeLimit != RLIM_INFINITY) {
        struct rlimit limit = {run.fileSizeLimit, run.fileSizeLimit};
        signal(SIGXFSZ, SIG_IGN); // stays ignored across exec
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (run.openFilesLimit != RLIM_INFINITY) {
        struct rlimit limit = {run.openFilesLimit, run.openFilesLimit};
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    execve(run.argv[0].c_str(), argv, envp);
    _exit(errno == ENOEXEC ? 126 : 127);
}

void readTerminal(StartedProgram &p, int waitMs)
{
    struct pollfd fd = {p.terminal, POLLIN, 0};
    char buf[4096];
    while (poll(&fd, 1, waitMs) > 0) {
        ssize_t n = read(p.terminal, buf, sizeof buf);
        if (n <= 0)
            return; // EIO once every writer has gone
        p.shown.append(buf, size_t(n));
        waitMs = 0;
    }
}

} // namespace

StartedProgram startProgram(const ProgramRun &run)
{
    StartedProgram p;
    p.run = run;
    std::vector<std::string> args = run.argv, env = environmentFor(run);
    if (!run.argv0.empty())
        args[0] = run.argv0;
    std::vector<char *> argv = pointers(args), envp = pointers(env);

    int childIn = -1, childTerminal = -1;
    if (run.terminal) {
        check(openpty(&p.terminal, &childTerminal, nullptr, nullptr, nullptr) == 0, "openpty");
        fcntl(p.terminal, F_SETFD, FD_CLOEXEC);
        fcntl(childTerminal, F_SETFD, FD_CLOEXEC);
    } else if (run.stdinText) {
        childIn = anonymousFile("stdin");
        check(pwrite(childIn, run.stdinText->data(), run.stdinText->size(), 0) == ssize_t(run.stdinText->size()),
              "pwrite");
    } else {
        int ends[2];
        check(pipe2(ends, O_CLOEXEC) == 0, "pipe2");
        childIn = ends[0];
        p.input = ends[1];
    }
    p.out = anonymousFile("stdout");
    p.err = anonymousFile("stderr");
    fflush(nullptr);
    p.start = std::chrono::steady_clock::now();
    p.pid = fork();
    check(p.pid >= 0, "fork");
    if (p.pid == 0)
        execChild(run, childIn, p.out, p.err, childTerminal, argv.data(), envp.data());
    if (!run.terminal)
        setpgid(p.pid, p.pid);
    close(childIn);
    close(childTerminal);
    return p;
}

ProgramResult finishProgram(StartedProgram &p)
{
    const ProgramRun &run = p.run;
    auto deadline = p.start + std::chrono::seconds(run.timeoutSeconds);
    std::optional<std::chrono::steady_clock::time_point> signalAt;
    if (run.signal && run.triggerFile.empty())
        signalAt = p.start + std::chrono::milliseconds(run.delayMs);
    int status = 0;
    struct rusage usage {};
    ProgramResult r;
    for (;;) {
        pid_t done = wait4(p.pid, &status, WNOHANG, &usage);
        if (done == p.pid)
            break;
        if (done < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (now > deadline) {
            kill(-p.pid, SIGKILL);
            wait4(p.pid, &status, 0, &usage);
            status = -1;
            r.err = "\n[killed after " + std::to_string(run.timeoutSeconds) + " s; waiting for input?]";
            break;
        }
        if (run.signal && !signalAt && access(run.triggerFile.c_str(), F_OK) == 0)
            signalAt = now + std::chrono::milliseconds(run.delayMs);
        if (signalAt && now >= *signalAt) {
            kill(run.toGroup ? -p.pid : p.pid, run.signal);
            signalAt = std::chrono::steady_clock::time_point::max();
        }
        if (p.terminal >= 0)
            readTerminal(p, 2);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - p.start).count();
    // Whatever the program left running in its group goes too.
    kill(-p.pid, SIGKILL);
    if (status != -1)
        r.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    r.maxRssKiB = usage.ru_maxrss;
    if (p.terminal >= 0) {
        readTerminal(p, 0);
        r.out = p.shown;
        close(p.terminal);
    } else {
        r.out = readAll(p.out);
    }
    r.err = readAll(p.err) + r.err;
    for (int fd : {p.out, p.err, p.input})
        close(fd);
    p.pid = -1;
    return r;
}

ProgramResult runProgram(const ProgramRun &run)
{
    StartedProgram p = startProgram(run);
    return finishProgram(p);
}

StartedProgram startProgram(const std::vector<std::string> &argv, const std::string &cwd,
                            const std::vector<std::string> &env)
{
    ProgramRun run;
    run.argv = argv;
    run.cwd = cwd;
    run.env = env;
    run.timeoutSeconds = 280;
    return startProgram(run);
}

ProgramResult runProgram(const std::vector<std::string> &argv, const std::string &cwd,
                         const std::vector<std::string> &env)
{
    StartedProgram p = startProgram(argv, cwd, env);
    return finishProgram(p);
}

std::string outputSoFar(const StartedProgram &program)
{
    return readAll(program.out);
}

ChildResult runInChild(const std::function<int(int report)> &body)
{
    int report = anonymousFile("report");
    fflush(nullptr);
    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        int code = 121;
        try {
            code = body(report);
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ChildResult r;
    r.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    r.output = readAll(report);
    close(report);
    return r;
}

std::string scratchDir()
{
    static std::string test;
    static int calls = 0;
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    if (name != test) {
        test = name;
        calls = 0;
    }
    if (++calls > 1)
        name += "." + std::to_string(calls);
    fs::path dir = fs::path(TEST_WORK_ROOT) / program_invocation_short_name / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}
