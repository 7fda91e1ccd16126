#include "launch_settings.h"

#include "digest_record.h"
#include "osspecific.h"
#include "package_reader.h"
#include "record_text.h"
#include "terminal_text.h"

#include <cstdio>
#include <unistd.h>

PackageSettings launchSettings;
bool launchHasSettings = false;
bool launchSettingsDamaged = false;

void readLaunchSettings(int fd)
{
    // A file without the end marker carries no package: whatever its last
    // bytes hold, they are no settings, and the launch says what is wrong.
    int end = fd_seek(fd, 0, SEEK_END);
    unsigned char raw[PKG_DIRECTORY_SIZE + 1];
    if (end < int(sizeof raw) || pread(fd, raw, sizeof raw, off_t(end) - off_t(sizeof raw)) != int(sizeof raw) ||
        raw[PKG_DIRECTORY_SIZE] != PKG_END_MARKER)
        return;
    DigestRecord record;
    switch (decodePackageRecord(raw + PKG_VARIANT_FIELD_OFFSET[0], raw + PKG_VARIANT_FIELD_OFFSET[1], &record)) {
    case PACKAGE_RECORD_NONE: return;
    case PACKAGE_RECORD_DAMAGED: launchSettingsDamaged = true; return;
    case PACKAGE_RECORD_VALID: break;
    }
    if (record.algorithm == DIGEST_SHA256_V2) {
        launchSettings = record.settings;
        launchHasSettings = true;
    }
}

void readOwnLaunchSettings(int argc, char **argv)
{
    int fd = openOwnFileQuietly(argc, argv);
    if (fd < 0)
        return;
    readLaunchSettings(fd);
    fd_close(fd);
}

void printLaunchSettings()
{
    if (launchSettingsDamaged) {
        std::fputs("Settings: damaged or newer than this launcher\n", stdout);
        return;
    }
    if (!launchHasSettings)
        return;
    const PackageSettings &s = launchSettings;
    std::printf("Name: %s\nVersion: %s\nSummary: %s\n", terminalText(s.name).c_str(), terminalText(s.version).c_str(),
                terminalText(s.summary).c_str());
    std::printf("Settings: guard %s, progress %s, working directory %s, signals %s, cache %s\n", guardWord(s.guard),
                progressWord(s.progress), workingDirectoryWord(s.workingDirectory), signalsWord(s.signals),
                s.cache ? "on" : "off");
}
