#include "zip_region.h"

#include "pack_error.h"

#include <cstdio>
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mkportable {

namespace {

using Source = ZipRegion::Source;

voidpf ZCALLBACK openRegion(voidpf opaque, const void *, int)
{
    return opaque;
}

uLong ZCALLBACK readRegion(voidpf, voidpf stream, void *buf, uLong size)
{
    auto *s = static_cast<Source *>(stream);
    if (s->pos >= s->size)
        return 0;
    const std::uint64_t want = std::min<std::uint64_t>(size, s->size - s->pos);
    const ssize_t got = pread(s->fd, buf, std::size_t(want), off_t(s->base + s->pos));
    if (got <= 0)
        return 0;
    s->pos += std::uint64_t(got);
    return uLong(got);
}

ZPOS64_T ZCALLBACK tellRegion(voidpf, voidpf stream)
{
    return static_cast<Source *>(stream)->pos;
}

long ZCALLBACK seekRegion(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto *s = static_cast<Source *>(stream);
    std::uint64_t from = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        from = s->pos;
    else if (origin == ZLIB_FILEFUNC_SEEK_END)
        from = s->size;
    else if (origin != ZLIB_FILEFUNC_SEEK_SET)
        return -1;
    if (offset > s->size || from + offset > s->size)
        return -1;
    s->pos = from + offset;
    return 0;
}

int ZCALLBACK closeRegion(voidpf, voidpf) { return 0; }
int ZCALLBACK errorRegion(voidpf, voidpf) { return 0; }

std::string unzError(int rc)
{
    switch (rc) {
    case UNZ_CRCERROR:
        return "CRC mismatch: the data is not what was stored";
    case UNZ_BADZIPFILE:
        return "local header does not match the central directory";
    case Z_DATA_ERROR:
        return "damaged compressed data";
    case UNZ_ERRNO:
        return "read error";
    default:
        return "minizip error " + std::to_string(rc);
    }
}

} // namespace

ZipRegion::ZipRegion(int fd, std::uint64_t offset, std::uint64_t size, std::string name)
    : source_{fd, offset, size}, name_(std::move(name))
{
    zlib_filefunc64_def funcs{};
    funcs.zopen64_file = openRegion;
    funcs.zread_file = readRegion;
    funcs.ztell64_file = tellRegion;
    funcs.zseek64_file = seekRegion;
    funcs.zclose_file = closeRegion;
    funcs.zerror_file = errorRegion;
    funcs.opaque = &source_;
    zip_ = unzOpen2_64(name_.c_str(), &funcs);
    if (zip_ == nullptr)
        throw PackError(name_ + " is not a zip archive");
}

ZipRegion::~ZipRegion()
{
    unzClose(zip_);
}

std::vector<ImageEntry> ZipRegion::entries(std::vector<std::string> &problems)
{
    std::vector<ImageEntry> list;
    unz_global_info64 global{};
    unzGetGlobalInfo64(zip_, &global);
    int rc = unzGoToFirstFile(zip_);
    for (; rc == UNZ_OK; rc = unzGoToNextFile(zip_)) {
        unz_file_info64 info{};
        char name[65536];
        rc = unzGetCurrentFileInfo64(zip_, &info, name, sizeof name, nullptr, 0, nullptr, 0);
        if (rc != UNZ_OK)
            break;
        ImageEntry entry;
        entry.name.assign(name, std::min<std::size_t>(info.size_filename, sizeof name - 1));
        entry.size = info.uncompressed_size;
        entry.compressedSize = info.compressed_size;
        entry.dosDateTime = std::uint32_t(info.dosDate);
        entry.hasUnixMode = (info.version >> 8) == 3;
        entry.mode = entry.hasUnixMode ? mode_t(info.external_fa >> 16) : 0;
        list.push_back(std::move(entry));
    }
    if (rc != UNZ_END_OF_LIST_OF_FILE)
        problems.push_back(name_ + ": damaged central directory after " +
                           std::to_string(list.size()) + " entries (" + unzError(rc) + ")");
    else if (global.number_entry != list.size())
        problems.push_back(name_ + ": the end record counts " +
                           std::to_string(global.number_entry) + " entries, the directory holds " +
                           std::to_string(list.size()));
    return list;
}

std::size_t ZipRegion::checkData(std::vector<std::string> &problems)
{
    std::size_t count = 0;
    std::vector<char> buffer(1 << 16);
    for (int rc = unzGoToFirstFile(zip_); rc == UNZ_OK; rc = unzGoToNextFile(zip_)) {
        char name[65536];
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(zip_, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
            UNZ_OK)
            break;
        ++count;
        int result = unzOpenCurrentFile(zip_);
        std::uint64_t read = 0;
        if (result == UNZ_OK) {
            int n;
            while ((n = unzReadCurrentFile(zip_, buffer.data(), unsigned(buffer.size()))) > 0)
                read += std::uint64_t(n);
            result = n;
            const int closed = unzCloseCurrentFile(zip_);
            if (result == UNZ_OK)
                result = closed;
        }
        if (result != UNZ_OK)
            problems.push_back(name_ + ": entry " + name + ": " + unzError(result));
        else if (read != info.uncompressed_size)
            problems.push_back(name_ + ": entry " + name + ": holds " + std::to_string(read) +
                               " bytes, the directory records " +
                               std::to_string(info.uncompressed_size));
    }
    return count;
}

std::string escapeReason(const std::string &name, const std::vector<std::string> &links)
{
    if (name.empty())
        return "an empty name";
    if (name[0] == '/')
        return "an absolute path";
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0)
            return "a \"..\" component";
        if (end < name.size()) {
            const std::string parent = name.substr(0, end);
            for (const std::string &link : links)
                if (link == parent)
                    return "a path through the symbolic link " + link;
        }
        start = end + 1;
    }
    return {};
}

std::string modeText(mode_t mode)
{
    std::string text = S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : S_ISREG(mode) ? "-" : "?";
    const char *letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        text += (mode & (0400u >> bit)) ? letters[bit] : '-';
    if (mode & S_ISUID)
        text[3] = (mode & S_IXUSR) ? 's' : 'S';
    if (mode & S_ISGID)
        text[6] = (mode & S_IXGRP) ? 's' : 'S';
    if (mode & S_ISVTX)
        text[9] = (mode & S_IXOTH) ? 't' : 'T';
    return text;
}

std::string dosTimeText(std::uint32_t dosDateTime)
{
    const unsigned date = dosDateTime >> 16, time = dosDateTime & 0xffff;
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9),
                  (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return text;
}

} // namespace mkportable
