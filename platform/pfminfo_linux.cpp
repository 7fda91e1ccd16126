// Platform identification: distribution, release and processor architecture.
#include "pfminfo_internal.h"
#include "textbuf.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <sys/stat.h>

namespace {

constexpr int TEXT_BUFFER_SIZE = 2048;
constexpr int MESSAGE_BUFFER_SIZE = 128;

// Messages about an unrecognised platform name are made per call and stay
// valid to the end of the process: callers keep them without freeing them.
std::deque<std::string> &madeMessages()
{
    static std::deque<std::string> messages;
    return messages;
}

const char *unknownArchitectureMessage(const char *name)
{
    char message[MESSAGE_BUFFER_SIZE];
    // A longer name is shortened so that the message fits its buffer.
    textFormat(message, sizeof message, "Unknown processor architecture (%.94s)", name);
    return madeMessages().emplace_back(message).c_str();
}

// Runs a uname command and cuts the platform name out of what it printed.
// Null on success, else the failure message.
const char *readPlatformName(const char *command, char name[TEXT_BUFFER_SIZE])
{
    int length = 0;
    if (captureShellOutput(command, name, TEXT_BUFFER_SIZE, &length) != 0)
        return "Failed executing uname.";
    if (length <= 0)
        return "Failed reading uname output.";
    cutPlatformName(name);
    return nullptr;
}

// Determines info->architecture: null, or the failure message.
const char *identifyArchitecture(PlatformInfo *info, const PfmSources &sources)
{
    char name[TEXT_BUFFER_SIZE];
    if (const char *failure = readPlatformName(sources.unameHardware, name))
        return failure;
    if (std::strcmp(name, "unknown") != 0) {
        info->architecture = classifyHardwareName(name);
        return info->architecture ? nullptr : unknownArchitectureMessage(name);
    }
    // Many distributions no longer know the hardware platform; the machine
    // name tells the same for the architectures we build for.
    char machine[TEXT_BUFFER_SIZE];
    if (readPlatformName(sources.unameMachine, machine) != nullptr)
        return unknownArchitectureMessage(name);
    info->architecture = classifyMachineName(machine);
    return info->architecture ? nullptr : unknownArchitectureMessage(machine);
}

// Reads at most the first 2047 bytes of path as text: the byte count, 0 when
// nothing could be read, -1 when the file cannot be opened or is no regular
// file. A FIFO, socket or device in the place of a release file would block
// the launch or feed it without end: it is refused before it is opened, and
// in case it took the file's place in between, opened without waiting
// (O_NONBLOCK) and refused again before anything is read.
int readReleaseText(const char *path, char text[TEXT_BUFFER_SIZE])
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fd_close(fd);
        return -1;
    }
    int n = fd_read(fd, text, TEXT_BUFFER_SIZE - 1);
    fd_close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    return n;
}

int32_t clampToInt32(long value)
{
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return int32_t(value);
}

// The value of `key` at the start of a line of an os-release text, quotes
// removed, into value (empty when absent).
void osReleaseValue(const char *text, const char *key, char *value, std::size_t cap)
{
    value[0] = '\0';
    std::size_t keyLen = std::strlen(key);
    for (const char *line = text; *line;) {
        const char *end = std::strchr(line, '\n');
        std::size_t len = end ? std::size_t(end - line) : std::strlen(line);
        if (len > keyLen && std::strncmp(line, key, keyLen) == 0 && line[keyLen] == '=') {
            const char *v = line + keyLen + 1;
            std::size_t vlen = len - keyLen - 1;
            if (vlen >= 2 && (v[0] == '"' || v[0] == '\'') && v[vlen - 1] == v[0]) {
                ++v;
                vlen -= 2;
            }
            if (vlen < cap) {
                std::memcpy(value, v, vlen);
                value[vlen] = '\0';
            }
            return;
        }
        if (!end)
            break;
        line = end + 1;
    }
}

bool isOneOf(const char *value, std::initializer_list<const char *> names)
{
    for (const char *n : names)
        if (std::strcmp(value, n) == 0)
            return true;
    return false;
}

// 64-bit ARM, which both uname names call "aarch64", for the ARM build
// alone: an Intel build never runs there natively, and one that an
// emulator shows the name keeps the answer it always gave.
int32_t ownArmName(const char *name)
{
#if defined(__aarch64__)
    if (std::strcmp(name, "aarch64") == 0)
        return PFM_ARCH_ARM64;
#else
    (void)name;
#endif
    return PFM_ARCH_NONE;
}

} // namespace

const PfmSources &systemPfmSources()
{
    static const PfmSources sources = {"uname -i", "uname -m", "/etc/redhat-release", "/etc/SuSE-release",
                                       "/etc/os-release"};
    return sources;
}

int32_t classifyHardwareName(const char *name)
{
    if (std::strcmp(name, "i386") == 0)
        return PFM_ARCH_INTEL32;
    if (std::strcmp(name, "x86_64") == 0 || std::strcmp(name, "X86_64") == 0)
        return PFM_ARCH_INTEL64;
    if (std::strstr(name, "ppc"))
        return PFM_ARCH_PPC32;
    return ownArmName(name);
}

int32_t classifyMachineName(const char *name)
{
    if (isOneOf(name, {"i386", "i486", "i586", "i686"}))
        return PFM_ARCH_INTEL32;
    if (std::strcmp(name, "x86_64") == 0)
        return PFM_ARCH_INTEL64;
    if (std::strstr(name, "ppc"))
        return PFM_ARCH_PPC32;
    return ownArmName(name);
}

void cutPlatformName(char *text)
{
    for (char *p = text; *p; ++p) {
        if (static_cast<signed char>(*p) <= 32) {
            *p = '\0';
            return;
        }
    }
}

bool parseReleaseNumber(const char *text, const char *token, int32_t *release)
{
    const char *start = std::strstr(text, token);
    if (!start)
        return false;
    start += std::strlen(token);
    // The number text ends before the first blank that follows the token.
    char number[TEXT_BUFFER_SIZE];
    std::size_t len = std::strcspn(start, " ");
    if (len >= sizeof number)
        len = sizeof number - 1;
    std::memcpy(number, start, len);
    number[len] = '\0';
    *release = clampToInt32(std::strtol(number, nullptr, 10));
    return true;
}

namespace {

// The distribution that an os-release ID names, or PFM_DIST_NONE.
int32_t distributionOfId(const char *id)
{
    if (isOneOf(id, {"sles", "sled", "opensuse-leap"}))
        return PFM_DIST_SUSE;
    if (isOneOf(id, {"rhel", "centos", "rocky", "almalinux", "fedora"}))
        return PFM_DIST_REDHAT;
    if (std::strcmp(id, "debian") == 0)
        return PFM_DIST_DEBIAN;
    if (std::strcmp(id, "ubuntu") == 0)
        return PFM_DIST_UBUNTU;
    return PFM_DIST_NONE;
}

// The family that one word of ID_LIKE names, or PFM_DIST_NONE.
int32_t distributionOfLikeWord(const char *word)
{
    if (isOneOf(word, {"suse", "opensuse"}))
        return PFM_DIST_SUSE;
    if (isOneOf(word, {"rhel", "fedora", "centos"}))
        return PFM_DIST_REDHAT;
    if (std::strcmp(word, "ubuntu") == 0)
        return PFM_DIST_UBUNTU;
    if (std::strcmp(word, "debian") == 0)
        return PFM_DIST_DEBIAN;
    return PFM_DIST_NONE;
}

} // namespace

bool parseOsRelease(const char *text, int32_t *distribution, int32_t *release)
{
    char id[64];
    char like[256];
    char version[64];
    osReleaseValue(text, "ID", id, sizeof id);
    osReleaseValue(text, "ID_LIKE", like, sizeof like);
    osReleaseValue(text, "VERSION_ID", version, sizeof version);
    int32_t dist = distributionOfId(id);
    // A derivative (Oracle Linux, Linux Mint, openSUSE Tumbleweed) names its
    // families in ID_LIKE, closest first.
    char *rest = nullptr;
    for (char *word = strtok_r(like, " \t", &rest); dist == PFM_DIST_NONE && word;
         word = strtok_r(nullptr, " \t", &rest))
        dist = distributionOfLikeWord(word);
    if (dist == PFM_DIST_NONE)
        return false;
    *distribution = dist;
    // Always the machine's own release: Linux Mint 21.2 is 21, not the
    // release of the Ubuntu it is made from.
    char *end = nullptr;
    long major = std::strtol(version, &end, 10);
    *release = end != version ? clampToInt32(major) : -1;
    return true;
}

const char *getPfmInfoFrom(PlatformInfo *info, const PfmSources &sources)
{
    info->distribution = PFM_DIST_NONE;
    info->release = -1;
    info->architecture = PFM_ARCH_NONE;

    const char *archFailure = identifyArchitecture(info, sources);

    char text[TEXT_BUFFER_SIZE];
    const char *releaseFile;
    if (fileExists(sources.redhatRelease)) {
        info->distribution = PFM_DIST_REDHAT;
        releaseFile = sources.redhatRelease;
    } else if (fileExists(sources.suseRelease)) {
        info->distribution = PFM_DIST_SUSE;
        releaseFile = sources.suseRelease;
    } else {
        // Current releases carry only os-release; the legacy files, where
        // present, take precedence.
        int32_t dist = PFM_DIST_NONE;
        int32_t release = -1;
        if (!fileExists(sources.osRelease))
            return "Unknown distribution.";
        // Like a legacy file that cannot be read, but naming no distribution.
        int n = readReleaseText(sources.osRelease, text);
        if (n < 0)
            return "Failed opening release file.";
        if (n == 0 || !parseOsRelease(text, &dist, &release))
            return "Unknown distribution.";
        info->distribution = dist;
        if (release == -1)
            return "Failed locating release token.";
        info->release = release;
        return archFailure;
    }

    int n = readReleaseText(releaseFile, text);
    if (n < 0)
        return "Failed opening release file.";
    if (n == 0)
        return "Failed reading release file.";
    if (info->distribution == PFM_DIST_SUSE && std::strncmp(text, "Novell", 6) == 0)
        info->distribution = PFM_DIST_NOVELL;
    const char *token = info->distribution == PFM_DIST_REDHAT ? "release " : "VERSION = ";
    if (!parseReleaseNumber(text, token, &info->release))
        return "Failed locating release token.";
    return archFailure;
}

const char *getPfmInfo(PlatformInfo *info)
{
    return getPfmInfoFrom(info, systemPfmSources());
}
