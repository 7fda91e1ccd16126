// Finding the directory in which a launcher makes its working directory:
// TMPDIR, walked one name at a time without trusting a link that somebody
// else could re-point, else /tmp.
#include "osspecific.h"

#include "textbuf.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Links followed on the way, in all, as the kernel allows.
constexpr int MAX_LINKS = 40;

// A descriptor that closes itself.
struct Held {
    int fd = -1;
    Held() = default;
    explicit Held(int f) : fd(f) {}
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() { reset(-1); }
    void reset(int f)
    {
        if (fd >= 0)
            close(fd);
        fd = f;
    }
};

bool ownedByRootOrMe(const struct stat &st)
{
    return st.st_uid == 0 || st.st_uid == geteuid();
}

// Walks `value` from "/" one name at a time: every name is opened without
// following a link, and a link is followed only when root or the effective
// user owns it (so nobody else can re-point it), also inside a link's target,
// at most MAX_LINKS in all. The directory reached must belong to root or the
// effective user and may be open to others' writing only when it is sticky.
// Its descriptor (readable), or -1 with the reason in *why.
int resolveSafely(const char *value, std::string *why)
{
    if (value[0] != '/') {
        *why = "it is not an absolute path";
        return -1;
    }
    Held at(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (at.fd < 0) {
        *why = std::string("/ cannot be opened: ") + std::strerror(errno);
        return -1;
    }
    std::string rest = value; // what is still to walk
    std::string walked;       // where `at` is, as a path
    int links = 0;
    while (!rest.empty()) {
        std::size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos)
            break;
        std::size_t end = rest.find('/', start);
        std::string name = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        rest.erase(0, end == std::string::npos ? rest.size() : end);
        if (name == ".")
            continue;
        std::string here = walked + "/" + name;
        Held next(openat(at.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (next.fd < 0 || fstat(next.fd, &st) != 0) {
            *why = here + (errno == ENOENT ? " does not exist" : std::string(": ") + std::strerror(errno));
            return -1;
        }
        if (S_ISLNK(st.st_mode)) {
            if (!ownedByRootOrMe(st)) {
                *why = "the link " + here + " belongs to another user";
                return -1;
            }
            if (++links > MAX_LINKS) {
                *why = "more than " + std::to_string(MAX_LINKS) + " links on the way";
                return -1;
            }
            char target[4096];
            ssize_t n = readlinkat(next.fd, "", target, sizeof target);
            if (n <= 0 || std::size_t(n) >= sizeof target) {
                *why = "the link " + here + " cannot be read";
                return -1;
            }
            rest = std::string(target, std::size_t(n)) + "/" + rest;
            if (target[0] == '/') {
                at.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                walked.clear();
            }
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            *why = here + " is not a directory";
            return -1;
        }
        at.reset(next.fd);
        next.fd = -1;
        if (name == "..")
            walked.erase(walked.empty() ? 0 : walked.rfind('/'));
        else
            walked = here;
    }
    struct stat st;
    if (fstat(at.fd, &st) != 0) {
        *why = std::strerror(errno);
        return -1;
    }
    // Root often runs with another user's environment (su without "-"):
    // that user's directory, or one anybody may change, would let somebody
    // else swap the tool under root's feet.
    if (!ownedByRootOrMe(st)) {
        *why = "it belongs to another user";
        return -1;
    }
    if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX)) {
        *why = "others may write to it and it is not sticky";
        return -1;
    }
    int fd = openat(at.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        *why = std::string("it cannot be opened: ") + std::strerror(errno);
    return fd;
}

} // namespace

int openWorkParent(char *path, int size, char *refused, int refusedSize)
{
    if (refusedSize > 0)
        refused[0] = '\0';
    const char *tmpdir = std::getenv("TMPDIR");
    if (tmpdir && tmpdir[0] != '\0') {
        std::string why;
        int fd = -1;
        if (std::strlen(tmpdir) > WORK_PARENT_MAX || int(std::strlen(tmpdir)) >= size)
            why = "it is longer than " + std::to_string(WORK_PARENT_MAX) + " bytes";
        else
            fd = resolveSafely(tmpdir, &why);
        if (fd >= 0) {
            textCopy(path, std::size_t(size), tmpdir);
            return fd;
        }
        if (refusedSize > 0 && !textCopy(refused, std::size_t(refusedSize), why.c_str()))
            textCopy(refused, std::size_t(refusedSize), "it cannot be used");
    }
    getTempDir(path);
    return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int openCheckedDirectory(const char *path, char *refused, int refusedSize)
{
    std::string why;
    int fd = resolveSafely(path, &why);
    if (fd < 0 && refusedSize > 0 && !textCopy(refused, std::size_t(refusedSize), why.c_str()))
        textCopy(refused, std::size_t(refusedSize), "it cannot be used");
    return fd;
}
