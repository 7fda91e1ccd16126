// Child processes and the shell-based file operations on Linux.
#include "osspecific.h"

#include "textbuf.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Every shell command of the platform layer is formatted into this many bytes.
constexpr std::size_t COMMAND_BUFFER_SIZE = 512;

// Starts "/bin/sh -c command" with clean signal state and the given file
// actions (may be null), then closes closeAfterSpawn (the parent's copy of a
// pipe end) when it is not -1. The child's pid, or -1.
int spawnProgram(const char *path, char *const argv[], const posix_spawn_file_actions_t *actions, int closeAfterSpawn)
{
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return -1;
    // The child starts clean: every signal at its default disposition (the
    // caller may handle or ignore any of them) and nothing blocked.
    sigset_t defaults;
    sigfillset(&defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid;
    int rc = posix_spawn(&pid, path, actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (closeAfterSpawn >= 0)
        close(closeAfterSpawn);
    if (rc != 0)
        return -1;
    return pid;
}

int spawnShell(const char *command, const posix_spawn_file_actions_t *actions, int closeAfterSpawn)
{
    char sh[] = "sh";
    char dashC[] = "-c";
    char *argv[] = {sh, dashC, const_cast<char *>(command), nullptr};
    return spawnProgram("/bin/sh", argv, actions, closeAfterSpawn);
}

int waitForChild(pid_t pid)
{
    // The caller's handlers stay armed: an interrupt runs them and the wait
    // simply goes on until the child has ended.
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// The shell-based operations format their command into one fixed buffer
// and do not run a command that does not fit: -1 then, else the raw status.
__attribute__((format(printf, 1, 2))) int runFormatted(const char *fmt, ...)
{
    char command[COMMAND_BUFFER_SIZE];
    va_list ap;
    va_start(ap, fmt);
    bool fits = textFormatV(command, sizeof command, fmt, ap);
    va_end(ap);
    return fits ? runShellCommand(command) : -1;
}

} // namespace

int runShellCommand(const char *command)
{
    int pid = spawnShell(command, nullptr, -1);
    return pid < 0 ? -1 : waitForChild(pid);
}

int captureShellOutput(const char *command, char *buffer, int size, int *length)
{
    *length = 0;
    if (size > 0)
        buffer[0] = '\0';
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    int pid = spawnShell(command, &actions, fds[1]);
    posix_spawn_file_actions_destroy(&actions);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    // Read to the end, so that a talkative command never blocks on a full
    // pipe; what does not fit is dropped.
    int kept = 0;
    char sink[512];
    for (;;) {
        char *dst = kept < size - 1 ? buffer + kept : sink;
        std::size_t room = kept < size - 1 ? std::size_t(size - 1 - kept) : sizeof sink;
        ssize_t n = read(fds[0], dst, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (dst != sink)
            kept += int(n);
    }
    close(fds[0]);
    if (size > 0)
        buffer[kept] = '\0';
    *length = kept;
    return waitForChild(pid);
}

int executeProcess(const char *command)
{
    return waitProcess(startProcess(command));
}

int runProgramQuietly(const char *path, char *const argv[])
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    int pid = spawnProgram(path, argv, &actions, -1);
    posix_spawn_file_actions_destroy(&actions);
    return pid < 0 ? -1 : waitForChild(pid);
}

int makeDirs(const char *path)
{
    // Each parent is made in turn, as "mkdir -p" does, with the umask's mode.
    char partial[4096];
    std::size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof partial)
        return 0;
    std::memcpy(partial, path, length + 1);
    for (std::size_t i = 1; i <= length; ++i) {
        if (partial[i] != '/' && partial[i] != '\0')
            continue;
        char kept = partial[i];
        partial[i] = '\0';
        struct stat st;
        if (mkdir(partial, 0777) != 0 && (errno != EEXIST || stat(partial, &st) != 0 || !S_ISDIR(st.st_mode))) {
            // A name taken by something else than a directory.
            if (errno == EEXIST)
                errno = ENOTDIR;
            return 0;
        }
        partial[i] = kept;
    }
    return 1;
}

int startProcess(const char *command)
{
    return spawnShell(command, nullptr, -1);
}

int waitProcess(int pid)
{
    int status = pid < 0 ? -1 : waitForChild(pid);
    if (status == -1)
        return 255;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int makeDir(const char *path)
{
    return runFormatted("mkdir -p %s", path) == 0 ? 1 : 0;
}

void deleteTree(const char *path)
{
    runFormatted("rm -rf %s", path);
}

int copyFile(const char *source, const char *destination)
{
    return runFormatted("cp %s %s", source, destination) == 0 ? 1 : 0;
}

int copyTree(const char *source, const char *destination)
{
    return runFormatted("cp -r %s %s", source, destination) == 0 ? 1 : 0;
}

int launchTextEditor(const char *path)
{
    return runFormatted("vi %s", path);
}
