#include "sandbox.h"

#include "package_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

const char *const SANDBOX_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

namespace {

std::string buildHolderInTmp();

// Names in a directory, sorted, one a line; the build's own folder is not
// the program's doing and is left out.
std::string listDirectory(const char *path)
{
    std::string holder = buildHolderInTmp();
    std::vector<std::string> names;
    if (DIR *d = opendir(path)) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != ".." && std::string(path) + "/" + n != holder)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const auto &n : names)
        out += n + "\n";
    return out;
}

[[noreturn]] void fail(const char *what)
{
    perror(what);
    _exit(120);
}

// When the build itself lives under /tmp (a checkout in a temporary folder),
// the folder that holds it: it must stay visible on the fresh /tmp.
std::string buildHolderInTmp()
{
    std::string root = TEST_WORK_ROOT;
    if (root.rfind("/tmp/", 0) != 0)
        return "";
    return root.substr(0, root.find('/', 5));
}

void privateTmp()
{
    if (unshare(CLONE_NEWNS) != 0)
        fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("mount private");
    std::string holder = buildHolderInTmp();
    int holderFd = holder.empty() ? -1 : open(holder.c_str(), O_PATH | O_DIRECTORY);
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        fail("mount /tmp");
    if (holderFd >= 0) {
        std::string from = "/proc/self/fd/" + std::to_string(holderFd);
        if (mkdir(holder.c_str(), 0755) != 0 || mount(from.c_str(), holder.c_str(), nullptr, MS_BIND, nullptr) != 0)
            fail("bind build folder");
        close(holderFd);
    }
    if (mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0)
        fail("mount /dev/shm");
}

[[noreturn]] void execProgram(const std::string &scratch, const SandboxRun &run)
{
    setpgid(0, 0);
    if (chdir(run.cwd.empty() ? scratch.c_str() : run.cwd.c_str()) != 0)
        fail("chdir");
    int in = open((scratch + "/.stdin").c_str(), O_RDONLY);
    int out = open((scratch + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((scratch + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0)
        fail("open");
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<std::string> env = run.env;
    bool hasPath = std::any_of(env.begin(), env.end(), [](const std::string &e) { return e.rfind("PATH=", 0) == 0; });
    if (!hasPath)
        env.push_back("PATH=" + std::string(SANDBOX_PATH));
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = run.argv;
    if (!run.argv0.empty())
        args[0] = run.argv0;
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execve(run.argv[0].c_str(), argv.data(), envp.data());
    fail("execve");
}

// Runs in the forked child: owns the namespace for as long as the program
// and the inspection run, and leaves its findings in files of the scratch
// directory.
[[noreturn]] void supervise(const std::string &scratch, const SandboxRun &run)
{
    privateTmp();
    if (!run.setup.empty() && system(("cd '" + scratch + "' && { " + run.setup + "\n}").c_str()) != 0)
        fail("setup");
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::seconds(run.timeoutSeconds);
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0)
        execProgram(scratch, run);
    setpgid(pid, pid);

    int status = 0;
    bool done = false;
    auto poll = [&] {
        if (!done && waitpid(pid, &status, WNOHANG) == pid)
            done = true;
        return done;
    };
    if (run.signal) {
        while (!run.triggerFile.empty() && access(run.triggerFile.c_str(), F_OK) != 0 && !poll() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(run.delayMs));
        if (!done)
            kill(run.toGroup ? -pid : pid, run.signal);
    }
    while (!poll()) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            status = -1;
            done = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Whatever the program left running in its group goes too.
    kill(-pid, SIGKILL);

    int code = status == -1 ? -1 : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    writeFile(scratch + "/.status", std::to_string(code) + " " + std::to_string(seconds));
    writeFile(scratch + "/.tmp", listDirectory("/tmp"));
    writeFile(scratch + "/.shm", listDirectory("/dev/shm"));
    if (!run.inspect.empty())
        system(("cd '" + scratch + "' && { " + run.inspect + " ; } > .inspected 2>&1").c_str());
    _exit(0);
}

} // namespace

std::string listingCommand(const std::string &dirs)
{
    std::string holder = buildHolderInTmp();
    if (holder.empty())
        return "ls -A " + dirs;
    return "ls -A " + dirs + " | awk -v holder='" + holder.substr(5) + "' '$0 != holder'";
}

SandboxResult runSandboxed(const std::string &scratch, const SandboxRun &run)
{
    writeFile(scratch + "/.stdin", run.stdinText);
    for (const char *f : {"/.status", "/.inspected"})
        unlink((scratch + f).c_str());
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0)
        supervise(scratch, run);
    int status = 0;
    waitpid(child, &status, 0);
    SandboxResult r;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "sandbox failed to run " << run.argv[0] << ", status " << status;
        return r;
    }
    std::string st = readFile(scratch + "/.status");
    r.status = std::stoi(st);
    r.seconds = std::stod(st.substr(st.find(' ') + 1));
    r.out = readFile(scratch + "/.stdout");
    r.err = readFile(scratch + "/.stderr");
    r.tmpAfter = readFile(scratch + "/.tmp");
    r.shmAfter = readFile(scratch + "/.shm");
    if (!run.inspect.empty())
        r.inspected = readFile(scratch + "/.inspected");
    return r;
}

std::string scratchDir()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    fs::path dir = fs::path(TEST_WORK_ROOT) / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}
