#include "zip_region.h"

#include "entry_rules.h"
#include "pack_error.h"

#include <cstdio>
#include <sys/stat.h>
#include <zlib.h>

namespace mkportable {

namespace {

constexpr std::size_t kChunk = 1 << 16;

std::vector<ZipEntry> readDirectory(const ZipSource &source, const ZipArchive &archive,
                                    const std::string &name, std::vector<std::string> &problems)
{
    std::vector<ZipEntry> list;
    ZipDirectoryReader reader(source, archive);
    ZipEntry entry;
    std::string why;
    while (reader.next(entry, why))
        list.push_back(std::move(entry));
    if (!why.empty())
        problems.push_back(name + ": damaged central directory after " +
                           std::to_string(list.size()) + " entries (" + why + ")");
    else if (archive.entries != list.size())
        problems.push_back(name + ": the end record counts " + std::to_string(archive.entries) +
                           " entries, the directory holds " + std::to_string(list.size()));
    return list;
}

} // namespace

ZipRegion::ZipRegion(int fd, std::uint64_t offset, std::uint64_t size, std::string name)
    : source_{fd, offset, size}, name_(std::move(name))
{
    std::string why;
    if (!readZipArchive(source_, archive_, why))
        throw PackError(name_ + " is not a zip archive (" + why + ")");
}

std::vector<ImageEntry> ZipRegion::entries(std::vector<std::string> &problems)
{
    std::vector<ImageEntry> list;
    for (const ZipEntry &zip : readDirectory(source_, archive_, name_, problems)) {
        ImageEntry entry;
        entry.name = zip.name;
        entry.size = zip.size;
        entry.compressedSize = zip.compressedSize;
        entry.dosDateTime = zip.dosDateTime;
        entry.hasUnixMode = (zip.versionMadeBy >> 8) == kHostUnix;
        entry.mode = entry.hasUnixMode ? mode_t(zip.externalAttrs >> 16) : 0;
        list.push_back(std::move(entry));
    }
    return list;
}

std::size_t ZipRegion::checkData(std::vector<std::string> &problems)
{
    std::vector<std::string> ignored; // entries() reported the directory's faults
    const std::vector<ZipEntry> list = readDirectory(source_, archive_, name_, ignored);
    std::vector<ZipDataRange> ranges;
    std::vector<std::size_t> owners;
    for (std::size_t i = 0; i < list.size(); ++i) {
        ZipDataRange range;
        std::string why;
        if (!locateZipData(source_, archive_, list[i], range, why)) {
            problems.push_back(name_ + ": entry " + list[i].name + ": " + why);
            continue;
        }
        ranges.push_back(range);
        owners.push_back(i);
        why = checkEntryData(list[i], range);
        if (!why.empty())
            problems.push_back(name_ + ": entry " + list[i].name + ": " + why);
    }
    const auto [first, second] = findZipOverlap(ranges);
    if (first != SIZE_MAX)
        problems.push_back(name_ + ": the entries " + list[owners[first]].name + " and " +
                           list[owners[second]].name + " overlap in the archive");
    return list.size();
}

std::string ZipRegion::checkEntryData(const ZipEntry &entry, const ZipDataRange &range)
{
    if (entry.method != kMethodStored && entry.method != kMethodDeflated)
        return "unsupported compression " + methodName(entry.method);
    const bool deflated = entry.method == kMethodDeflated;
    if (!deflated && entry.compressedSize < entry.size)
        return "holds " + std::to_string(entry.compressedSize) +
               " bytes, the directory records " + std::to_string(entry.size);
    z_stream zs{};
    if (deflated && inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        return "inflateInit2 failed";
    std::vector<unsigned char> in(kChunk), out(kChunk);
    std::uint64_t offset = range.dataOffset;
    std::uint64_t left = deflated ? entry.compressedSize : entry.size, produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    int rc = Z_OK;
    std::string why;
    while (why.empty() && rc != Z_STREAM_END) {
        if (!deflated && left == 0)
            break;
        if (zs.avail_in == 0 && left > 0) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(left, kChunk));
            if (!source_.read(offset, in.data(), n)) {
                why = "read error";
                break;
            }
            offset += n;
            left -= n;
            if (!deflated) {
                crc = crc32(crc, in.data(), uInt(n));
                produced += n;
                continue;
            }
            zs.next_in = in.data();
            zs.avail_in = uInt(n);
        }
        zs.next_out = out.data();
        zs.avail_out = uInt(out.size());
        rc = inflate(&zs, Z_NO_FLUSH);
        const std::size_t got = out.size() - zs.avail_out;
        crc = crc32(crc, out.data(), uInt(got));
        produced += got;
        if (rc == Z_BUF_ERROR && zs.avail_in == 0 && left == 0)
            why = "the compressed data ends early";
        else if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
            why = "damaged compressed data";
    }
    if (deflated)
        inflateEnd(&zs);
    if (!why.empty())
        return why;
    if (produced != entry.size)
        return "holds " + std::to_string(produced) + " bytes, the directory records " +
               std::to_string(entry.size);
    if (crc != entry.crc)
        return "CRC mismatch: the data is not what was stored";
    return {};
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
