#include "sandbox.h"

#include "package_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Fields of the report that the namespace's owner hands back: each one its
// length, a newline and its bytes.
void putField(std::string &report, const std::string &field)
{
    report += std::to_string(field.size()) + "\n" + field;
}

std::string takeField(const std::string &report, size_t &at)
{
    size_t end = report.find('\n', at);
    if (end == std::string::npos)
        return "";
    size_t size = std::stoul(report.substr(at, end - at));
    at = end + 1 + size;
    return report.substr(end + 1, size);
}

// Runs in the forked child: owns the namespace for as long as the program
// and the inspection run.
int supervise(const std::string &scratch, SandboxRun run, int report)
{
    privateTmp();
    if (!run.setup.empty() && system(("cd '" + scratch + "' && { " + run.setup + "\n}").c_str()) != 0)
        fail("setup");
    run.inheritEnvironment = false;
    if (run.cwd.empty())
        run.cwd = scratch;
    ProgramResult r = runProgram(run);
    std::string text;
    for (const std::string &field :
         {std::to_string(r.status), std::to_string(r.seconds), r.out, r.err, listDirectory("/tmp"),
          listDirectory("/dev/shm"),
          run.inspect.empty() ? "" : runProgram({"/bin/sh", "-c", "{ " + run.inspect + "\n} 2>&1"}, scratch).out})
        putField(text, field);
    return write(report, text.data(), text.size()) == ssize_t(text.size()) ? 0 : 122;
}

} // namespace

void onMachine(SandboxRun &run, const std::string &dir, const FakeMachine &m)
{
    // The copy lives on a tmpfs of the namespace: it vanishes with it.
    std::string setup = "mkdir -p etc && mount -t tmpfs tmpfs etc && cp -a /etc/. etc/ && "
                        "rm -f etc/os-release etc/redhat-release etc/SuSE-release";
    for (const auto &[name, text] : m.etc)
        setup += " && printf '%s' '" + text + "' > etc/" + name;
    setup += " && mount --bind \"$PWD/etc\" /etc";
    if (!m.hardware.empty()) {
        setup += " && mkdir -p bin && printf '#!/bin/sh\\ncase \"$1\" in -i) echo " + m.hardware + ";; -m) echo " +
                 m.machine + ";; *) exec /bin/uname \"$@\";; esac\\n' > bin/uname && chmod +x bin/uname";
        run.env.push_back("PATH=" + dir + "/bin:" + SANDBOX_PATH);
    }
    run.setup = run.setup.empty() ? setup : setup + " && " + run.setup;
}

std::string listingCommand(const std::string &dirs)
{
    std::string holder = buildHolderInTmp();
    if (holder.empty())
        return "ls -A " + dirs;
    return "ls -A " + dirs + " | awk -v holder='" + holder.substr(5) + "' '$0 != holder'";
}

SandboxResult runSandboxed(const std::string &scratch, const SandboxRun &run)
{
    ChildResult child = runInChild([&](int report) { return supervise(scratch, run, report); });
    SandboxResult r;
    if (child.status != 0) {
        ADD_FAILURE() << "sandbox failed to run " << run.argv[0] << ", status " << child.status;
        return r;
    }
    size_t at = 0;
    r.status = std::stoi(takeField(child.output, at));
    r.seconds = std::stod(takeField(child.output, at));
    r.out = takeField(child.output, at);
    r.err = takeField(child.output, at);
    r.tmpAfter = takeField(child.output, at);
    r.shmAfter = takeField(child.output, at);
    r.inspected = takeField(child.output, at);
    return r;
}
