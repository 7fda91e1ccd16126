#include "launch_settings.h"

#include "digest_record.h"
#include "osspecific.h"
#include "package_reader.h"

#include <cstdio>
#include <unistd.h>

PackageSettings launchSettings;
bool launchHasSettings = false;

int readLaunchSettings(int fd)
{
    // A file without the end marker carries no package: whatever its last
    // bytes hold, they are no settings, and the launch says what is wrong.
    int end = fd_seek(fd, 0, SEEK_END);
    unsigned char raw[PKG_DIRECTORY_SIZE + 1];
    if (end < int(sizeof raw) || pread(fd, raw, sizeof raw, off_t(end) - off_t(sizeof raw)) != int(sizeof raw) ||
        raw[PKG_DIRECTORY_SIZE] != PKG_END_MARKER)
        return 0;
    DigestRecord record;
    switch (decodePackageRecord(raw + PKG_VARIANT_FIELD_OFFSET[0], raw + PKG_VARIANT_FIELD_OFFSET[1], &record)) {
    case PACKAGE_RECORD_NONE: return 0;
    case PACKAGE_RECORD_DAMAGED:
        std::fputs("Package settings are damaged or newer than this launcher\n", stderr);
        return 1;
    case PACKAGE_RECORD_VALID: break;
    }
    if (record.algorithm == DIGEST_SHA256_V2) {
        launchSettings = record.settings;
        launchHasSettings = true;
    }
    return 0;
}

int readOwnLaunchSettings(int argc, char **argv)
{
    int fd = openOwnFileQuietly(argc, argv);
    if (fd < 0)
        return 0;
    int result = readLaunchSettings(fd);
    fd_close(fd);
    return result;
}
