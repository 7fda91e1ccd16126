// Paths, the file system, descriptors and the environment on Linux.
#include "osspecific.h"

#include "textbuf.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

int isAbsolutePath(const char *path)
{
    return path[0] == FILE_SEPARATOR ? 1 : 0;
}

int getSignatureSize(const char *)
{
    return 0;
}

void getTempDir(char *buffer)
{
    std::memcpy(buffer, "/tmp", 5);
}

void getCurrentDir(char *buffer, int size)
{
    if (size <= 0)
        return;
    if (getcwd(buffer, size_t(size)) == nullptr)
        buffer[0] = '\0';
}

int changeDir(const char *path)
{
    return chdir(path) == 0 ? 0 : -1;
}

int fileExists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode) ? 1 : 0;
}

int dirExists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int makeFileReadable(const char *path)
{
    return chmod(path, 0777) == 0 ? 0 : -1;
}

int makeFileExecutable(const char *path)
{
    return chmod(path, 0777) == 0 ? 0 : -1;
}

int makePrivateDir(const char *path)
{
    return makePrivateDirAt(AT_FDCWD, path);
}

int makePrivateDirAt(int dirFd, const char *name)
{
    if (mkdirat(dirFd, name, 0700) == 0)
        return 0;
    return errno == EEXIST ? 1 : -1;
}

int changeDirAt(int dirFd, const char *name)
{
    int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fchdir(fd);
    close(fd);
    return rc;
}

int64_t fd_freeSpace(int fd)
{
    struct statvfs fs;
    return fstatvfs(fd, &fs) == 0 ? int64_t(fs.f_bavail) * int64_t(fs.f_frsize) : -1;
}

int64_t freeSpace(const char *path)
{
    struct statvfs fs;
    return statvfs(path, &fs) == 0 ? int64_t(fs.f_bavail) * int64_t(fs.f_frsize) : -1;
}

int isNoExecFileSystem(const char *path)
{
    struct statvfs fs;
    return statvfs(path, &fs) == 0 && (fs.f_flag & ST_NOEXEC) ? 1 : 0;
}

int fd_isNoExecFileSystem(int fd)
{
    struct statvfs fs;
    return fstatvfs(fd, &fs) == 0 && (fs.f_flag & ST_NOEXEC) ? 1 : 0;
}

int fd_create(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0200);
}

int fd_open(const char *path)
{
    return open(path, O_RDONLY | O_CLOEXEC);
}

int fd_read(int fd, void *buffer, int size)
{
    if (size < 0)
        return -1;
    return int(read(fd, buffer, size_t(size)));
}

int fd_write(int fd, const void *data, int count)
{
    if (count < 0)
        return -1;
    return int(write(fd, data, size_t(count)));
}

int fd_seek(int fd, int32_t offset, int whence)
{
    off_t pos = lseek(fd, off_t(offset), whence);
    if (pos < 0 || pos > INT32_MAX)
        return -1;
    return int(pos);
}

void fd_close(int fd)
{
    close(fd);
}

uint32_t fd_copy(int in, int out, uint32_t count)
{
    uint32_t copied = 0;
    while (copied < count) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, count - copied, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        copied += uint32_t(n);
    }
    while (copied < count) {
        ssize_t n = sendfile(out, in, nullptr, count - copied);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        copied += uint32_t(n);
    }
    return copied;
}

void setInheritedEnv(const char *name, const char *value)
{
    setenv(name, value, 1);
}

int getPid(void)
{
    return int(getpid());
}

void sleepSec(int seconds)
{
    if (seconds > 0)
        sleep(unsigned(seconds));
}
