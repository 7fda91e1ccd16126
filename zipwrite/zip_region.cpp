#include "zip_region.h"

#include "entry_rules.h"
#include "pack_error.h"

#include <algorithm>
#include <bzlib.h>
#include <climits>
#include <cstdio>
#include <sys/stat.h>
#include <zlib.h>

namespace mkportable {

namespace {

constexpr std::size_t kChunk = 1 << 16;

std::vector<ZipEntry> readDirectory(const ZipSource &source, const ZipArchive &archive, const std::string &name,
                                    std::vector<std::string> &problems)
{
    std::vector<ZipEntry> list;
    ZipDirectoryReader reader(source, archive);
    ZipEntry entry;
    std::string why;
    while (reader.next(entry, why))
        list.push_back(std::move(entry));
    if (!why.empty())
        problems.push_back(name + ": damaged central directory after " + std::to_string(list.size()) + " entries (" +
                           why + ")");
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

std::size_t ZipRegion::check(std::vector<std::string> &problems, bool readData)
{
    std::vector<std::string> ignored; // entries() reported the directory's faults
    const std::vector<ZipEntry> list = readDirectory(source_, archive_, name_, ignored);
    std::vector<ZipDataRange> ranges;
    std::vector<std::size_t> owners;
    std::vector<std::string> links;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const ZipEntry &entry = list[i];
        CheckedEntry checked;
        std::string why = checkEntry(entry, checked);
        ZipDataRange range;
        if (why.empty())
            why = throughLink(entry.name, links);
        std::string located;
        const bool isDirectory = checked.mode.kind == EntryKind::Directory;
        if (locateZipData(source_, archive_, entry, range, located)) {
            ranges.push_back(range);
            owners.push_back(i);
        } else if (why.empty() && !isDirectory) {
            why = located; // miniunz reads no data of a directory
        }
        const bool link = why.empty() && checked.mode.kind == EntryKind::Symlink;
        if (why.empty() && readData && !isDirectory) {
            std::string target;
            why = checkEntryData(entry, range, link ? PATH_MAX : 0, target);
            if (why.empty() && link) {
                if (target.size() >= PATH_MAX)
                    why = "the link target is longer than PATH_MAX";
                else if (const char *bad = checkLinkTarget(target, checked.path.parts.size() - 1))
                    why = std::string(bad) + " (" + target + ")";
            }
        }
        if (!why.empty())
            problems.push_back(name_ + ": entry " + entry.name + ": " + why);
        else if (link)
            links.push_back(entry.name);
    }
    const auto [first, second] = findZipOverlap(ranges);
    if (first != SIZE_MAX)
        problems.push_back(name_ + ": the entries " + list[owners[first]].name + " and " + list[owners[second]].name +
                           " overlap in the archive");
    return list.size();
}

std::string ZipRegion::commentNote() const
{
    if (!archive_.commentCut)
        return {};
    return name_ + ": the archive comment is cut short (its end record declares more bytes than follow it); "
                   "the entries and the directory are whole and are read as they are";
}

std::string ZipRegion::checkEntryData(const ZipEntry &entry, const ZipDataRange &range, std::size_t keep,
                                      std::string &kept)
{
    const bool stored = entry.method == kMethodStored;
    if (stored && entry.compressedSize < entry.size)
        return "holds " + std::to_string(entry.compressedSize) + " bytes, the directory records " +
               std::to_string(entry.size);
    // One decoder for each method that miniunz reads: `decode` turns the
    // bytes in `in` into `out` and says whether the stream ended.
    z_stream zs{};
    bz_stream bz{};
    if (entry.method == kMethodDeflated && inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        return "inflateInit2 failed";
    if (entry.method == kMethodBzip2 && BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
        return "BZ2_bzDecompressInit failed";
    std::vector<unsigned char> in(kChunk), out(kChunk);
    std::uint64_t offset = range.dataOffset;
    std::uint64_t left = stored ? entry.size : entry.compressedSize, produced = 0;
    std::size_t avail = 0, used = 0;
    uLong crc = crc32(0, nullptr, 0);
    std::string why;
    for (bool ended = false; !ended && why.empty();) {
        if (used == avail && left > 0) {
            avail = std::size_t(std::min<std::uint64_t>(left, kChunk));
            used = 0;
            if (!source_.read(offset, in.data(), avail)) {
                why = "read error";
                break;
            }
            offset += avail;
            left -= avail;
        }
        std::size_t got = 0;
        bool stuck = false;
        if (stored) {
            std::copy(in.begin(), in.begin() + avail, out.begin());
            got = avail;
            used = avail;
            ended = left == 0;
        } else if (entry.method == kMethodDeflated) {
            zs.next_in = in.data() + used;
            zs.avail_in = uInt(avail - used);
            zs.next_out = out.data();
            zs.avail_out = uInt(out.size());
            const int rc = inflate(&zs, Z_NO_FLUSH);
            used = avail - zs.avail_in;
            got = out.size() - zs.avail_out;
            ended = rc == Z_STREAM_END;
            stuck = rc == Z_BUF_ERROR;
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                why = "damaged compressed data";
        } else {
            bz.next_in = reinterpret_cast<char *>(in.data() + used);
            bz.avail_in = unsigned(avail - used);
            bz.next_out = reinterpret_cast<char *>(out.data());
            bz.avail_out = unsigned(out.size());
            const int rc = BZ2_bzDecompress(&bz);
            used = avail - bz.avail_in;
            got = out.size() - bz.avail_out;
            ended = rc == BZ_STREAM_END;
            stuck = got == 0 && used == avail;
            if (rc != BZ_OK && rc != BZ_STREAM_END)
                why = "damaged compressed data";
        }
        crc = crc32(crc, out.data(), uInt(got));
        kept.append(reinterpret_cast<const char *>(out.data()), std::min(got, keep - std::min(keep, kept.size())));
        produced += got;
        if (why.empty() && !ended && stuck && used == avail && left == 0)
            why = "the compressed data ends early";
    }
    if (entry.method == kMethodDeflated)
        inflateEnd(&zs);
    if (entry.method == kMethodBzip2)
        BZ2_bzDecompressEnd(&bz);
    if (!why.empty())
        return why;
    // A deflated size recorded in 32 bits may have wrapped: miniunz then
    // unpacks the entry with a warning.
    const bool wrapped = entry.method == kMethodDeflated && !entry.zip64Size && produced > entry.size &&
                         std::uint32_t(produced) == entry.size;
    if (produced != entry.size && !wrapped)
        return "holds " + std::to_string(produced) + " bytes, the directory records " + std::to_string(entry.size);
    if (crc != entry.crc)
        return "CRC mismatch: the data is not what was stored";
    return {};
}

std::string throughLink(const std::string &name, const std::vector<std::string> &links)
{
    for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        const std::string parent = name.substr(0, slash);
        for (const std::string &link : links)
            if (link == parent)
                return "a path through the symbolic link " + link + ", which is not followed";
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
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                  time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return text;
}

} // namespace mkportable
