// The launcher's entry point and the launch sequence that unpacks and runs
// the tool: the chief file, which calls every role.
#include "installer.h"

#include "cleanup.h"
#include "command_runner.h"
#include "command_selection.h"
#include "instance_guard.h"
#include "launch_settings.h"
#include "options.h"
#include "osspecific.h"
#include "package_cache.h"
#include "package_reader.h"
#include "progress.h"
#include "run_state.h"
#include "self_help.h"
#include "signal_forward.h"
#include "signature_policy.h"
#include "terminal_text.h"
#include "textbuf.h"
#include "working_directory.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const char *const IMAGE_FILE = "image.zip";

// Runs a child with the handler only recording signals: the launcher decides
// what an interrupt means once the child has ended.
int runChild(const char *command)
{
    ignoreInterrupt = 1;
    int status = runShellCommand(command);
    ignoreInterrupt = 0;
    return status;
}

// The unzip command as a shell would read it, for the failure message.
void unzipCommandText(char *command, std::size_t size)
{
    if (extract)
        textFormat(command, size, ".%cminiunz%s -o %s -d %s > %s", FILE_SEPARATOR, EXE_EXT, IMAGE_FILE, extractFolder,
                   DEV_NULL);
    else
        textFormat(command, size, ".%cminiunz%s %s > %s", FILE_SEPARATOR, EXE_EXT, IMAGE_FILE, DEV_NULL);
}

} // namespace

int startGUI()
{
    if (access("./disk1/skylet.sh", F_OK) != 0) {
        std::puts("\nSkylet not supported, please use pakrel command line instead.");
        return -1;
    }
    std::puts("\nStarting Skylet...");
    runShellCommand("chmod +x disk1/skylet.sh");
    int status = runShellCommand("./disk1/skylet.sh");
    sleepSec(2);
    return status;
}

int extractAndExecute(int argc, char **argv)
{
    char launchDir[LAUNCH_DIR_SIZE];
    getCurrentDir(launchDir, sizeof launchDir);
    setInheritedEnv("QUARN_PORTABLE_EXEC_DIR", launchDir);
    // Held from here: the operator's directory is found again by its
    // descriptor, not by its name.
    int callerDirFd = extract ? -1 : openCallerDirectory();

    PackageDirectory dir;
    int fd = openPackage(argc, argv, &dir);
    if (fd < 0)
        return 1;

    // A package cut short can still end in the marker byte (an accident of
    // where it was cut): its directory is read, and whatever then fails is
    // followed by what to do.
    bool cutShort = ownFileCutShort(fd, &dir);
    auto fail = [&] {
        if (cutShort && !interrupted)
            reportCutShort(argc, argv);
        return 1;
    };

    CommandRecord rec;
    if (selectCommandRecord(&dir, fd, &rec) != 0)
        return fail();

    // The tool's line is complete before anything is unpacked: one that
    // would lose characters (a trailing argument, a closing quote) runs
    // something else than the operator asked for.
    char line[COMMAND_LINE_SIZE];
    std::size_t recordEnd = 0;
    if (!extract && !assembleCommandLine(&rec, argc, argv, line, &recordEnd)) {
        std::fprintf(stderr, "The command line for the tool would exceed %d characters; nothing was run.\n",
                     COMMAND_LINE_SIZE - 1);
        return fail();
    }

    int cached = 0;
    if (!extract && launchFromCache(&dir, fd, line, recordEnd, callerDirFd, &cached))
        return cached;

    if (FILE *progress = progressStream())
        std::fputs("Extracting...\n", progress);
    std::fflush(stdout);

    char parent[WRK_DIR_SIZE];
    int parentFd = openTempDirectory(parent);
    if (parentFd < 0)
        return fail();
    const char *extractTarget = extract ? extractRequested(argc, argv) : nullptr;
    if (chooseImageVariant(&dir) != 0 || !enoughRoom(&dir, fd, parentFd, parent, extractTarget)) {
        fd_close(parentFd);
        return fail();
    }
    // Where programs may not run, nothing is written and the unzip utility
    // is not started: the reason comes first, and no shell or loader speaks
    // before it.
    if (!tempDirectoryRunsPrograms(parentFd, parent)) {
        fd_close(parentFd);
        char command[COMMAND_LINE_SIZE];
        unzipCommandText(command, sizeof command);
        std::fprintf(stderr, "\nFailed executing <%s>\n", terminalText(command).c_str());
        return 1;
    }
    if (makeWorkingDirectory(parentFd, parent) != 0)
        return fail();
    if (extractPkgElementFile(PKG_IMAGE, IMAGE_FILE, &dir, fd) != 0) {
        std::fputs("Failed extracting portable image\n", stderr);
        return fail();
    }
    if (makeFileReadable(IMAGE_FILE) != 0) {
        std::fputs("Failed making image.zip readable\n", stderr);
        return fail();
    }

    char command[COMMAND_LINE_SIZE];
    textFormat(command, sizeof command, "miniunz%s", EXE_EXT);
    if (extractPkgElementFile(PKG_UNZIP, command, &dir, fd) != 0) {
        std::fputs("Failed extracting unzip\n", stderr);
        return fail();
    }
    if (makeFileExecutable(command) != 0)
        std::fputs("Failed making unzip utility executable\n", stderr);

    unzipCommandText(command, sizeof command);
    // The unzip utility runs through no shell: the target is one argument,
    // whatever it holds.
    char unzip[] = "./miniunz", overwrite[] = "-o", image[] = "image.zip", into[] = "-d";
    char *extractArgs[] = {unzip, overwrite, image, into, extractPath, nullptr};
    char *unpackArgs[] = {unzip, image, nullptr};
    ignoreInterrupt = 1;
    int status = runProgramQuietly(unzip, extract ? extractArgs : unpackArgs);
    ignoreInterrupt = 0;
    if (status != 0) {
        if (interrupted)
            return 1;
        std::fprintf(stderr, "\nFailed executing <%s>\n", terminalText(command).c_str());
        return fail();
    }
    // An operator who interrupted the unpacking does not want the tool to
    // start once it has finished.
    if (interrupted)
        return 1;
    if (extract)
        return 0;
    return runSelectedCommand(line, recordEnd, fd, callerDirFd);
}

int installerMain(int argc, char **argv)
{
    installHandlers();
    setInheritedEnv("SkyletLocale", "en");

    // The maker's settings decide which guard to take (or release) and
    // where the launcher speaks: they are read before anything else.
    readOwnLaunchSettings(argc, argv);

    // Self-help reads the package and needs no guard: it runs beside a
    // launch, and as any user, and it shows damaged settings rather than
    // stopping at them.
    int selfHelp = runSelfHelp(argc, argv);
    if (selfHelp < 0)
        selfHelp = runCacheRequest(argc, argv);
    if (selfHelp >= 0)
        return selfHelp;

    // A machine that runs only signed packages refuses the others before
    // the guard is taken or anything is made. Releasing a guard runs
    // nothing of the package and stays possible.
    if (!semDestroyRequested(argc, argv) && enforceSignaturePolicyForLaunch(argc, argv) != 0)
        return 1;

    if (launchSettingsDamaged) {
        std::fputs(SETTINGS_DAMAGED_MESSAGE, stderr);
        return 1;
    }
    chooseInstanceGuard();

    if (semDestroyRequested(argc, argv))
        return semDestroy();

    if (takeInstanceGuard(argc > 0 && argv[0] ? argv[0] : "") != 0)
        return 1;

    const char *extractDir = extractRequested(argc, argv);
    if (extractDir && prepareExtract(extractDir) != 0)
        return -1;

    int result = extractAndExecute(argc, argv);

    // A tool that ended on a signal passed on to it has answered; its
    // status is no failure of the launch.
    if (result != 0 && getenv("QUARN_PORTABLE_ERR_SH") && !signalForwarded())
        runChild("sh");

    cleanup();
    return result;
}
