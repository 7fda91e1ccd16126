#include "tree_listing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

} // namespace

bool directoryNames(int dirFd, std::vector<std::string> *names)
{
    int copy = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        return false;
    DIR *d = fdopendir(copy);
    if (d == nullptr) {
        close(copy);
        return false;
    }
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names->push_back(std::move(name));
    }
    closedir(d);
    std::sort(names->begin(), names->end());
    return true;
}

namespace {

bool listBelow(int dirFd, const std::string &prefix, bool stripWrite, std::string *listing, uint64_t *bytes)
{
    std::vector<std::string> names;
    if (!directoryNames(dirFd, &names))
        return false;
    for (const std::string &name : names) {
        struct stat st;
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        std::string path = prefix + name;
        bool isDir = S_ISDIR(st.st_mode);
        if (isDir) {
            // A directory its owner may not enter (mode 000 in an image) is
            // opened for the owner before its write bits go.
            int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0 && stripWrite && fchmodat(dirFd, name.c_str(), (st.st_mode | S_IRWXU) & 07777, 0) == 0)
                sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0)
                return false;
            bool ok = listBelow(sub, path + "/", stripWrite, listing, bytes);
            close(sub);
            if (!ok)
                return false;
        }
        if (stripWrite && !S_ISLNK(st.st_mode)) {
            st.st_mode &= ~mode_t(0222);
            if (fchmodat(dirFd, name.c_str(), st.st_mode & 07777, 0) != 0)
                return false;
        }
        if (S_ISREG(st.st_mode))
            *bytes += uint64_t(st.st_size);
        char head[128];
        std::snprintf(head, sizeof head, "%o %" PRIu64 " %lld.%09ld %zu:", unsigned(st.st_mode), uint64_t(st.st_size),
                      (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec, path.size());
        *listing += head;
        *listing += path;
        *listing += '\n';
    }
    return true;
}

} // namespace

bool listTree(int dirFd, bool stripWrite, std::string *listing, uint64_t *bytes)
{
    listing->clear();
    *bytes = 0;
    return listBelow(dirFd, "", stripWrite, listing, bytes);
}
