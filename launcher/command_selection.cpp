// Choosing the command record, and the image variant, made for this machine.
#include "command_selection.h"

#include "launch_settings.h"
#include "osspecific.h"
#include "package_reader.h"
#include "platform_table.h"
#include "record_text.h"
#include "run_state.h"
#include "terminal_text.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Seconds to give the operator to read the mismatch warning before going on.
constexpr int MISMATCH_PAUSE_SECONDS = 5;

bool isSet(const char *name)
{
    return getenv(name) != nullptr;
}

void printMismatchWarning(const PlatformInfo &pfm, bool strict)
{
    std::fputs("WARNING! This package doesn't appear to match your system.\n", stderr);
    if (!strict)
        std::fputs("         It is likely that it will not properly execute.\n", stderr);
    std::fputs("         The following information was determined for your system:\n", stderr);
    std::fputs("\n", stderr);
    std::fprintf(stderr, "           distribution = %s\n", distributionLabel(pfm.distribution));
    std::fprintf(stderr, "           release = %d\n", int(pfm.release));
    std::fprintf(stderr, "           processor architecture = %s\n", architectureLabel(pfm.architecture));
    std::fputs("\n", stderr);
}

// "NAME VERSION" of a package with settings, escaped: the start of the one
// line that says what the package does about a mismatch.
std::string packageTitle()
{
    std::string title = terminalText(launchSettings.name);
    if (launchSettings.version[0] != '\0')
        title += (title.empty() ? "" : " ") + terminalText(launchSettings.version);
    return title.empty() ? "This package" : title;
}

// After the warning, for a package with settings: what happens now, and for
// a refusal which platforms the package is made for.
void printMismatchOutcome(const PackageDirectory *dir, int fd, const GlobalInfo &info, bool strict)
{
    if (!launchHasSettings)
        return;
    if (!strict) {
        std::fprintf(stderr, "%s: going on with the first record in %d seconds\n", packageTitle().c_str(),
                     MISMATCH_PAUSE_SECONDS);
        return;
    }
    std::string platforms;
    uint32_t count = info.commandCount < 0 ? 0 : uint32_t(info.commandCount);
    for (uint32_t i = 0; i < count && i < dir->elementSize[PKG_COMMANDS] / COMMAND_RECORD_SIZE; ++i) {
        CommandRecord rec;
        if (readCommandRecord(dir, fd, i, &rec) != 0)
            break;
        platforms += (platforms.empty() ? "" : "; ") + platformText(rec);
    }
    std::fprintf(stderr, "%s: refused; made for: %s\n", packageTitle().c_str(), platforms.c_str());
}

} // namespace

bool recordMatches(const CommandRecord &rec, const PlatformInfo &pfm)
{
    // An undetermined value (0, or -1 for the release) is matched only by
    // "any": a record that holds 0 never matches.
    auto fieldMatches = [](int32_t wanted, int32_t found, int32_t undetermined) {
        return wanted == PFM_ANY || (found != undetermined && wanted == found);
    };
    return fieldMatches(rec.distribution, pfm.distribution, PFM_DIST_NONE) &&
           fieldMatches(rec.release, pfm.release, -1) &&
           fieldMatches(rec.architecture, pfm.architecture, PFM_ARCH_NONE);
}

int readGlobalInfo(const PackageDirectory *dir, int fd, GlobalInfo *info)
{
    unsigned char rawInfo[GLOBAL_INFO_SIZE];
    int infoSize = extractPkgElement(PKG_GLOBAL_INFO, dir, fd, rawInfo, GLOBAL_INFO_SIZE);
    if (infoSize < 0) {
        std::fputs("Failed extracting global info\n", stderr);
        return -1;
    }
    decodeGlobalInfo(rawInfo, uint32_t(infoSize), info);
    // The table must lie inside the file, but only the records that take
    // part are read, one at a time: however large the table claims to be,
    // memory stays the same.
    if (!elementWithinFile(PKG_COMMANDS, dir, fd)) {
        std::fputs("Failed extracting command\n", stderr);
        return -1;
    }
    return 0;
}

int findMatchingRecord(const PackageDirectory *dir, int fd, const GlobalInfo &info, const PlatformInfo &pfm,
                       CommandRecord *match)
{
    uint32_t wholeRecords = dir->elementSize[PKG_COMMANDS] / COMMAND_RECORD_SIZE;
    uint32_t scan = info.commandCount < 0                        ? 0
                    : uint32_t(info.commandCount) < wholeRecords ? uint32_t(info.commandCount)
                                                                 : wholeRecords;
    for (uint32_t i = 0; i < scan; ++i) {
        if (readCommandRecord(dir, fd, i, match) != 0) {
            std::fputs("Failed extracting command\n", stderr);
            return -2;
        }
        if (recordMatches(*match, pfm))
            return int(i);
    }
    return -1;
}

int selectCommandRecord(const PackageDirectory *dir, int fd, CommandRecord *selected)
{
    GlobalInfo info;
    if (readGlobalInfo(dir, fd, &info) != 0)
        return 1;

    if (!isSet("VESK_PORTABLE_INTERACTIVE")) {
        PlatformInfo pfm;
        const char *failure = getPfmInfo(&pfm);
        if (!failure && info.commandCount < 0)
            return 1;
        // Where identification failed, the values it did determine still
        // select a record whose other fields are "any".
        int found = findMatchingRecord(dir, fd, info, pfm, selected);
        if (found >= 0)
            return 0;
        if (found == -2)
            return 1;
        if (failure && isSet("VESK_PORTABLE_DEBUG"))
            std::fprintf(stderr, "Failed determining platform information: %s\n", failure);
        bool strict = info.strictPlatformMatch != 0;
        printMismatchWarning(pfm, strict);
        printMismatchOutcome(dir, fd, info, strict);
        if (strict)
            return 1;
        sleepSec(MISMATCH_PAUSE_SECONDS);
    }

    // Record 0 is the fallback whatever commandCount says.
    if (dir->elementSize[PKG_COMMANDS] < uint32_t(COMMAND_RECORD_SIZE))
        return 1;
    if (readCommandRecord(dir, fd, 0, selected) != 0) {
        std::fputs("Failed extracting command\n", stderr);
        return 1;
    }
    return 0;
}

int chooseImageVariant(PackageDirectory *dir)
{
    uint64_t both = uint64_t(dir->imageSize[0]) + dir->imageSize[1];
    if (dir->imageSize[0] == 0 || dir->imageSize[1] == 0 || both != dir->elementSize[PKG_IMAGE])
        return 0;
    PlatformInfo pfm;
    getPfmInfo(&pfm);
    switch (pfm.architecture) {
    case PFM_ARCH_INTEL32:
        whichImg = 0;
        dir->elementSize[PKG_IMAGE] = dir->imageSize[0];
        return 0;
    case PFM_ARCH_INTEL64:
        whichImg = 1;
        dir->elementSize[PKG_IMAGE] = dir->imageSize[1];
        return 0;
    default:
        std::fputs("Failed determining platform architecture!\n", stderr);
        std::fputs("Failed extracting portable image\n", stderr);
        return 1;
    }
}
