#include "package_cache_place.h"

#include "launch_settings.h"
#include "osspecific.h"
#include "terminal_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool cacheWanted()
{
    const char *off = std::getenv(CACHE_VARIABLE);
    return launchHasSettings && launchSettings.cache && !(off != nullptr && std::strcmp(off, "0") == 0);
}

namespace {

std::string cacheParent(std::string *why)
{
    if (geteuid() == 0)
        return ROOT_CACHE_PARENT;
    const char *xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return xdg;
    const char *home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        *why = "HOME is not set to an absolute path";
        return "";
    }
    return std::string(home) + "/.cache";
}

} // namespace

std::string cachePath(std::string *why)
{
    std::string parent = cacheParent(why);
    return parent.empty() ? "" : parent + "/" + CACHE_DIRECTORY_NAME;
}

int openCacheDirectory(bool make, std::string *path, std::string *why)
{
    std::string parent = cacheParent(why);
    if (parent.empty())
        return -1;
    *path = parent + "/" + CACHE_DIRECTORY_NAME;
    char refused[1024];
    int parentFd = openCheckedDirectory(parent.c_str(), refused, sizeof refused);
    // A user's cache parent (~/.cache) is made when missing, as any program
    // that caches would; root's /var/cache belongs to the system.
    if (parentFd < 0 && make && geteuid() != 0 && !dirExists(parent.c_str()) && makeDirs(parent.c_str()))
        parentFd = openCheckedDirectory(parent.c_str(), refused, sizeof refused);
    if (parentFd < 0) {
        *why = refused;
        return -1;
    }
    if (make && mkdirat(parentFd, CACHE_DIRECTORY_NAME, 0700) != 0 && errno != EEXIST) {
        *why = std::string("it cannot be made: ") + std::strerror(errno);
        close(parentFd);
        return -1;
    }
    int fd = openat(parentFd, CACHE_DIRECTORY_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int openError = errno;
    struct stat st;
    if (fd < 0 && (openError == ENOTDIR || openError == ELOOP) &&
        fstatat(parentFd, CACHE_DIRECTORY_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        // Wherever it points, a link would put the cache where its maker
        // chose.
        *why = "it is a symbolic link";
        close(parentFd);
        return -1;
    }
    close(parentFd);
    if (fd < 0 || fstat(fd, &st) != 0) {
        *why = std::string("it cannot be opened: ") + std::strerror(openError);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    // Whoever may write here may put a tree of their choice under the
    // user's tool, or under root's.
    if (st.st_uid != geteuid())
        *why = "it belongs to another user";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        *why = "others may write to it";
    if (!why->empty()) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string entryStem(const unsigned char sha256[DIGEST_SHA256_SIZE])
{
    char hex[DIGEST_HEX_TEXT_SIZE];
    digestHexText(sha256, hex);
    return std::string(ENTRY_PREFIX) + hex + "-";
}

std::string entryName(const unsigned char sha256[DIGEST_SHA256_SIZE], int variant)
{
    return entryStem(sha256) + "v" + std::to_string(variant + 1);
}

bool parseCacheSize(const char *text, uint64_t *bytes)
{
    uint64_t value = 0;
    const char *p = text;
    if (*p < '0' || *p > '9')
        return false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value > (UINT64_MAX - uint64_t(*p - '0')) / 10)
            return false;
        value = value * 10 + uint64_t(*p - '0');
    }
    int shift = 0;
    switch (*p) {
    case '\0': break;
    case 'K': shift = 10; break;
    case 'M': shift = 20; break;
    case 'G': shift = 30; break;
    default: return false;
    }
    if (shift != 0 && *++p != '\0')
        return false;
    if (value > (UINT64_MAX >> shift))
        return false;
    *bytes = value << shift;
    return true;
}

uint64_t cacheSizeLimit()
{
    const char *text = std::getenv(CACHE_LIMIT_VARIABLE);
    uint64_t limit = DEFAULT_CACHE_LIMIT;
    if (text != nullptr && !parseCacheSize(text, &limit)) {
        std::fprintf(stderr, "%s %s is not a size (bytes, or a number with K, M or G); the limit is 1G\n",
                     CACHE_LIMIT_VARIABLE, terminalText(text).c_str());
        limit = DEFAULT_CACHE_LIMIT;
    }
    return limit;
}
