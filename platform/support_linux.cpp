// Support utilities for the maker's tools: the removable medium at
// "/mnt/key", the newest log file of a directory, a device word, and the OEM
// marker that picks the default support output directory.
#include "osspecific.h"

#include "textbuf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// The one mount point of the removable medium; it must exist beforehand.
constexpr char MOUNT_POINT[] = "/mnt/key";

// Mount and umount commands are formed in this many bytes, terminator included.
constexpr std::size_t MEDIA_COMMAND_SIZE = 256;

// The newest-file search forms candidate paths and keeps the best name in
// buffers of these sizes; an entry that does not fit is passed over.
constexpr std::size_t CANDIDATE_PATH_SIZE = 512;
constexpr std::size_t BEST_NAME_SIZE = 128;

// A device word is read from at most this many bytes.
constexpr int DEVICE_READ_SIZE = 32;

// The OEM check lists the embedded documents into a check file and looks
// for the marker in that listing.
constexpr char OEM_LISTING_COMMAND[] = "ls /tmp/embed/docs > /vesk/oemCheck";
constexpr char OEM_CHECK_FILE[] = "/vesk/oemCheck";
constexpr char OEM_MARKER[] = "oem";

constexpr char OEM_OUTPUT_DIR[] = "/var/log/OEM_Support/";
constexpr char QUARN_OUTPUT_DIR[] = "/var/log/QUARN_Support/";

bool endsWith(const char *name, const char *suffix)
{
    std::size_t nameLen = std::strlen(name);
    std::size_t suffixLen = std::strlen(suffix);
    return nameLen >= suffixLen && std::memcmp(name + nameLen - suffixLen, suffix, suffixLen) == 0;
}

bool containsMarker(const char *data, std::size_t size)
{
    constexpr std::size_t markerLen = sizeof OEM_MARKER - 1;
    for (std::size_t i = 0; i + markerLen <= size; ++i)
        if (std::memcmp(data + i, OEM_MARKER, markerLen) == 0)
            return true;
    return false;
}

} // namespace

// The device path reaches the shell verbatim, like every shell-based
// operation of the platform layer. A device path too long for the command
// text is not mounted and fails like any other mount.
int mountRemovableMedia(const char *device, char *mountPoint)
{
    char command[MEDIA_COMMAND_SIZE];
    bool fits = device && mountPoint &&
                textFormat(command, sizeof command, "mount %s %s >%s 2>&1", device, MOUNT_POINT, DEV_NULL);
    if (!fits || runShellCommand(command) != 0) {
        std::fputs("Failed mounting removable media!\n", stderr);
        return 1;
    }
    std::memcpy(mountPoint, MOUNT_POINT, sizeof MOUNT_POINT);
    return 0;
}

// Only the mount point that mountRemovableMedia hands out is released; the
// device goes to umount. A device path too long to have been mounted here
// is not unmounted either.
void unmountRemovableMedia(const char *device, const char *mountPoint)
{
    if (!device || !mountPoint || std::strcmp(mountPoint, MOUNT_POINT) != 0)
        return;
    char command[MEDIA_COMMAND_SIZE];
    if (textFormat(command, sizeof command, "umount %s", device))
        runShellCommand(command);
}

// Entries are taken in the order the directory stream yields them, so a tie
// goes to the first; a time of 0 or earlier never counts. Candidate paths
// are dir and name joined without a separator.
char *findLatestFile(const char *dir, const char *suffix)
{
    if (!dir || !suffix || !dirExists(dir))
        return nullptr;
    DIR *stream = opendir(dir);
    if (!stream)
        return nullptr;

    char bestName[BEST_NAME_SIZE] = "";
    time_t bestTime = 0;
    while (const dirent *entry = readdir(stream)) {
        if (!endsWith(entry->d_name, suffix) || std::strlen(entry->d_name) >= sizeof bestName)
            continue;
        char candidate[CANDIDATE_PATH_SIZE];
        if (!textFormat(candidate, sizeof candidate, "%s%s", dir, entry->d_name))
            continue;
        struct stat st;
        if (stat(candidate, &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        if (st.st_mtime > bestTime) {
            textCopy(bestName, sizeof bestName, entry->d_name);
            bestTime = st.st_mtime;
        }
    }
    closedir(stream);

    if (bestTime == 0)
        return nullptr;
    std::size_t dirLen = std::strlen(dir);
    std::size_t nameLen = std::strlen(bestName);
    char *result = static_cast<char *>(std::malloc(dirLen + nameLen + 1));
    if (!result)
        return nullptr;
    std::memcpy(result, dir, dirLen);
    std::memcpy(result + dirLen, bestName, nameLen + 1);
    return result;
}

// Descriptor 0 is a file like any other (it is handed out when standard
// input is closed), so only a negative descriptor is a failure. When the
// bytes read hold no blank or tab, the text ends behind them, or on the
// last of them when all 32 were read, so that it stays within 32 bytes.
int readDevice(char *buffer, const char *path)
{
    if (!buffer || !path)
        return 0;
    int fd = fd_open(path);
    if (fd < 0)
        return 0;
    int got = fd_read(fd, buffer, DEVICE_READ_SIZE);
    if (got > 0) {
        int end = got < DEVICE_READ_SIZE ? got : DEVICE_READ_SIZE - 1;
        for (int i = 0; i < got; ++i) {
            if (buffer[i] == ' ' || buffer[i] == '\t') {
                end = i;
                break;
            }
        }
        buffer[end] = '\0';
    }
    fd_close(fd);
    return got > 0 ? 1 : 0;
}

// The listing's own exit status does not matter (a missing documents
// directory simply leaves the check file empty), but when no shell could be
// started the check file still holds an earlier listing, which must not
// decide this check.
int checkForOEM(void)
{
    if (runShellCommand(OEM_LISTING_COMMAND) == -1)
        return 1;
    FILE *file = std::fopen(OEM_CHECK_FILE, "r");
    if (!file)
        return 1;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    std::rewind(file);
    if (size <= 0) {
        std::fclose(file);
        return 1;
    }
    char *data = static_cast<char *>(std::malloc(std::size_t(size)));
    if (!data) {
        std::fclose(file);
        return 1;
    }
    std::size_t got = std::fread(data, 1, std::size_t(size), file);
    bool found = containsMarker(data, got);
    std::fclose(file);
    std::free(data);
    return found ? 0 : 1;
}

const char *getDefaultOutputDir(void)
{
    return checkForOEM() == 1 ? QUARN_OUTPUT_DIR : OEM_OUTPUT_DIR;
}
