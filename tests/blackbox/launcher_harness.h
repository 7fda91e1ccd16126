// A package of the real launcher in a scratch directory, and the ways the
// black-box tests run it.
#ifndef TESTS_LAUNCHER_HARNESS_H
#define TESTS_LAUNCHER_HARNESS_H

#include "package_fixture.h"
#include "sandbox.h"
#include "zip_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

// A zip image holding one executable shell script, tool.sh.
inline std::string toolImage(const std::string &script, std::vector<ZipEntrySpec> more = {})
{
    std::string path = scratchDir() + "/.image.zip";
    more.insert(more.begin(), ZipEntrySpec{"tool.sh", "#!/bin/sh\n" + script + "\n", 0755});
    writeZip(path, more);
    std::string bytes = readFile(path);
    unlink(path.c_str());
    return bytes;
}

inline bool fileThere(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

struct LauncherHarness {
    std::string dir = scratchDir();
    std::string package = dir + "/pkg.run";

    void writePackage(const std::string &image, const std::string &command = "./tool.sh")
    {
        writePackage(standardPackage(image, command));
    }

    void writePackage(const PackageSpec &layout) { writeFile(package, buildPackage(layout), 0755); }

    // Runs the package from the scratch directory. The platform check is
    // skipped unless a test clears the environment.
    SandboxRun sandboxRun(std::vector<std::string> args, std::vector<std::string> env = {})
    {
        SandboxRun run;
        run.argv = {package};
        run.argv.insert(run.argv.end(), args.begin(), args.end());
        run.env = {"VESK_PORTABLE_INTERACTIVE="};
        run.env.insert(run.env.end(), env.begin(), env.end());
        run.cwd = dir;
        return run;
    }

    // A run whose whole process group gets `sig` once `trigger` (a file of
    // the scratch directory that the package's script touches) exists. The
    // shell that touches it catches SIGINT and would carry on into its next
    // command, so the signal waits until the script has had time to exec
    // the program that waits.
    SandboxRun interruptedRun(const std::string &trigger, int sig)
    {
        SandboxRun run = sandboxRun({});
        run.signal = sig;
        run.toGroup = true;
        run.triggerFile = dir + "/" + trigger;
        run.delayMs = 200;
        return run;
    }

    SandboxResult run(std::vector<std::string> args = {}, std::vector<std::string> env = {})
    {
        return runSandboxed(dir, sandboxRun(std::move(args), std::move(env)));
    }
};

#endif
