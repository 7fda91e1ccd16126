#include "try_command.h"

#include "mkportable/bundle/elf_dynamic.h"
#include "mkportable/support/terminal_text.h"
#include "pack_error.h"
#include "unique_fd.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace mkportable {

namespace {

// The child's first report byte: which kind of failure follows.
constexpr char NO_NAMESPACES = 'U';
constexpr char SETUP_FAILED = 'S';
// Where the new root is built, on a tmpfs that only the child's mount
// namespace sees, and where the machine's root is while it is built.
constexpr const char *NEW_ROOT = "/tmp";
constexpr const char *OLD_ROOT = "/oldroot";

// Everything the child needs, made before the fork: after it, the child
// only makes system calls.
struct RootPlan {
    std::string packageSource; // the package's absolute path below /oldroot
    std::string packagePath;   // "/<leaf>", where it is bound
    dev_t packageDevice = 0;   // the opened package's file
    ino_t packageInode = 0;
    std::string busyboxSource;
    std::string devNullSource;
    std::vector<std::string> appletLinks;
    std::vector<std::string> arguments; // argv, "/<leaf>" first
    std::vector<std::string> environment;
    uid_t uid = 0;
    gid_t gid = 0;
};

[[noreturn]] void childFail(int report, char kind, const char *what, int error)
{
    char text[512];
    const int n = std::snprintf(text, sizeof text, "%c%s: %s", kind, what, std::strerror(error));
    if (n > 0 && write(report, text, std::size_t(n) < sizeof text ? std::size_t(n) : sizeof text - 1) < 0)
        _exit(TRY_SETUP_FAILED);
    _exit(TRY_SETUP_FAILED);
}

bool writeText(const char *path, const char *text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const std::size_t length = std::strlen(text);
    const bool ok = write(fd, text, length) == ssize_t(length);
    close(fd);
    return ok;
}

// An empty file at `path` with `source` bound over it.
bool bindFile(const char *source, const char *path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (fd < 0)
        return false;
    close(fd);
    return mount(source, path, nullptr, MS_BIND, nullptr) == 0;
}

[[noreturn]] void runChild(const RootPlan &plan, int report)
{
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
        childFail(report, NO_NAMESPACES, "unshare", errno);
    char map[64];
    if (!writeText("/proc/self/setgroups", "deny") && errno != ENOENT)
        childFail(report, NO_NAMESPACES, "/proc/self/setgroups", errno);
    std::snprintf(map, sizeof map, "0 %u 1", unsigned(plan.uid));
    if (!writeText("/proc/self/uid_map", map))
        childFail(report, NO_NAMESPACES, "/proc/self/uid_map", errno);
    std::snprintf(map, sizeof map, "0 %u 1", unsigned(plan.gid));
    if (!writeText("/proc/self/gid_map", map))
        childFail(report, NO_NAMESPACES, "/proc/self/gid_map", errno);

    // Nothing done from here on reaches the caller's mounts. The new root
    // is a tmpfs; pivoted to it, the machine's tree stays reachable below
    // OLD_ROOT (its /tmp uncovered again) until what the root takes from it
    // is bound in, and is then detached.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        childFail(report, SETUP_FAILED, "making the mounts private", errno);
    if (mount("tmpfs", NEW_ROOT, "tmpfs", MS_NOSUID, "mode=0755") != 0)
        childFail(report, SETUP_FAILED, "mounting the new root", errno);
    if (chdir(NEW_ROOT) != 0 || mkdir(OLD_ROOT + 1, 0700) != 0 || syscall(SYS_pivot_root, ".", OLD_ROOT + 1) != 0 ||
        chdir("/") != 0)
        childFail(report, SETUP_FAILED, "changing to the new root", errno);
    for (const char *dir : {"/bin", "/tmp", "/dev"})
        if (mkdir(dir, 0755) != 0)
            childFail(report, SETUP_FAILED, dir, errno);
    if (!bindFile(plan.busyboxSource.c_str(), "/bin/busybox"))
        childFail(report, SETUP_FAILED, TRY_BUSYBOX, errno);
    for (const std::string &link : plan.appletLinks)
        if (symlink("busybox", link.c_str()) != 0 && errno != EEXIST)
            childFail(report, SETUP_FAILED, link.c_str(), errno);
    if (!bindFile(plan.devNullSource.c_str(), "/dev/null"))
        childFail(report, SETUP_FAILED, "/dev/null", errno);
    if (!bindFile(plan.packageSource.c_str(), plan.packagePath.c_str()))
        childFail(report, SETUP_FAILED, "binding the package into the root", errno);
    // The file bound is the one that was opened, not one put in its place
    // since.
    struct stat bound;
    if (stat(plan.packagePath.c_str(), &bound) != 0 || bound.st_dev != plan.packageDevice ||
        bound.st_ino != plan.packageInode)
        childFail(report, SETUP_FAILED, "binding the package into the root", ESTALE);
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID, "mode=1777") != 0)
        childFail(report, SETUP_FAILED, "mounting /tmp", errno);
    if (umount2(OLD_ROOT, MNT_DETACH) != 0 || rmdir(OLD_ROOT) != 0 || chdir("/tmp") != 0)
        childFail(report, SETUP_FAILED, "detaching the machine's tree", errno);

    std::vector<char *> argv, envp;
    for (const std::string &arg : plan.arguments)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    for (const std::string &var : plan.environment)
        envp.push_back(const_cast<char *>(var.c_str()));
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    childFail(report, SETUP_FAILED, "starting the package", errno);
}

// Everything `fd` yields until its end (or a read error).
std::string readAll(int fd)
{
    std::string text;
    char chunk[4096];
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        text.append(chunk, std::size_t(got));
    }
    return text;
}

// The commands that busybox provides, as it lists them.
std::vector<std::string> busyboxApplets()
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throwSystemError("pipe", errno);
    UniqueFd readEnd(out[0]), writeEnd(out[1]);
    const pid_t pid = fork();
    if (pid < 0)
        throwSystemError("fork", errno);
    if (pid == 0) {
        dup2(writeEnd.get(), STDOUT_FILENO);
        const char *argv[] = {TRY_BUSYBOX, "--list", nullptr};
        execv(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    writeEnd = UniqueFd();
    const std::string text = readAll(readEnd.get());
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::vector<std::string> applets;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string name = text.substr(start, end - start);
        if (!name.empty() && name != "." && name != ".." && name != "busybox" && name.find('/') == std::string::npos)
            applets.push_back(name);
        start = end + 1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || applets.empty())
        throw PackError(std::string(TRY_BUSYBOX) + " --list names no commands");
    return applets;
}

RootPlan planRoot(const TryOptions &options, const struct stat &package)
{
    RootPlan plan;
    const std::string leaf = options.package.filename().string();
    plan.packageSource = OLD_ROOT + std::filesystem::canonical(options.package).string();
    plan.devNullSource = OLD_ROOT + std::string("/dev/null");
    plan.packagePath = "/" + leaf;
    plan.packageDevice = package.st_dev;
    plan.packageInode = package.st_ino;
    plan.busyboxSource = OLD_ROOT + std::filesystem::canonical(TRY_BUSYBOX).string();
    for (const std::string &applet : busyboxApplets())
        plan.appletLinks.push_back("/bin/" + applet);
    plan.arguments.push_back("/" + leaf);
    plan.arguments.insert(plan.arguments.end(), options.arguments.begin(), options.arguments.end());
    plan.environment = {"PATH=/bin", "HOME=/tmp"};
    for (char **var = environ; *var != nullptr; ++var)
        if (std::strncmp(*var, "QUARN_PORTABLE_", 15) == 0 || std::strncmp(*var, "VESK_PORTABLE_", 14) == 0)
            plan.environment.push_back(*var);
    plan.uid = getuid();
    plan.gid = getgid();
    return plan;
}

} // namespace

CLI::App *addTryCommand(CLI::App &app, TryOptions &options)
{
    CLI::App *cmd = app.add_subcommand("try", "Run a package in an empty root, to see what it lacks");
    cmd->footer("Example:\n  mkportable try app.run --version\n"
                "The root holds only a static busybox (/bin/busybox, Debian's busybox-static), /tmp, /dev/null and "
                "the package, in private user, mount and network namespaces. The exit status is the package's; 2 "
                "when the machine has no user namespaces.\n");
    cmd->add_option("package", options.package, "Package file; the arguments after it go to the package")
        ->type_name("PACKAGE [ARGS...]")
        ->required();
    return cmd;
}

int runTry(const TryOptions &options, std::ostream &err)
{
    UniqueFd package(open(options.package.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!package.valid() || fstat(package.get(), &st) != 0)
        throwSystemError("cannot open the package " + terminalText(options.package.string()), errno);
    if (!S_ISREG(st.st_mode))
        throw PackError(terminalText(options.package.string()) + " is not a regular file");
    struct stat bb;
    if (stat(TRY_BUSYBOX, &bb) != 0 || !S_ISREG(bb.st_mode) || !readElfDynamic(TRY_BUSYBOX).interpreter.empty()) {
        err << "mkportable try: needs a statically linked busybox at " << TRY_BUSYBOX << " (Debian's busybox-static)\n";
        return TRY_NO_NAMESPACES;
    }
    const RootPlan plan = planRoot(options, st);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        throwSystemError("pipe", errno);
    UniqueFd reportRead(report[0]), reportWrite(report[1]);
    // The terminal's interrupt reaches the package; try waits for its
    // status, as system() does.
    struct sigaction ignore {
    }, oldInt{}, oldQuit{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &oldInt);
    sigaction(SIGQUIT, &ignore, &oldQuit);
    const pid_t pid = fork();
    if (pid == 0) {
        sigaction(SIGINT, &oldInt, nullptr);
        sigaction(SIGQUIT, &oldQuit, nullptr);
        runChild(plan, reportWrite.get());
    }
    const int forkError = errno;
    reportWrite = UniqueFd();
    const std::string text = pid > 0 ? readAll(reportRead.get()) : std::string();
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    if (pid < 0)
        throwSystemError("fork", forkError);
    if (!text.empty() && text[0] == NO_NAMESPACES) {
        err << "mkportable try: try needs user namespaces: " << terminalText(text.substr(1)) << "\n";
        return TRY_NO_NAMESPACES;
    }
    if (!text.empty()) {
        err << "mkportable try: cannot make the root: " << terminalText(text.substr(1)) << "\n";
        return TRY_SETUP_FAILED;
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

} // namespace mkportable
