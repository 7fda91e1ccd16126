#include "zip_directory.h"

#include "common/little_endian.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <numeric>
#include <unistd.h>

namespace {

using portable::readLe16;
using portable::readLe32;
using portable::readLe64;

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kLocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kMaxComment = 0xffff;
constexpr size_t kLocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kUnicodePathId = 0x7075;
// The directory is read through a window of at least this size: one read
// covers many entries.
constexpr size_t kWindow = 64 * 1024;

// CRC-32 (the zip polynomial) of `size` bytes at `data`; names are short.
uint32_t crc32Of(const unsigned char *data, size_t size)
{
    uint32_t crc = 0xffffffff;
    for (size_t i = 0; i < size; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xedb88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

std::string entryLabel(uint64_t index)
{
    return "entry " + std::to_string(index + 1) + " of the central directory";
}

// Reads the Zip64 end record that the locator just before `locatorAt` points
// to. Writers that put bytes in front of the archive leave the recorded
// offset unshifted, so the place right before the locator counts too.
bool readZip64End(const ZipSource &src, uint64_t locatorAt, uint64_t &recordAt, unsigned char (&record)[kZip64EndSize])
{
    unsigned char locator[kLocatorSize];
    if (!src.read(locatorAt, locator, sizeof locator) || readLe32(locator) != kLocatorSignature)
        return false;
    uint64_t candidates[] = {readLe64(locator + 8), locatorAt - kZip64EndSize};
    for (uint64_t at : candidates) {
        if (at <= locatorAt - kZip64EndSize && src.read(at, record, sizeof record) &&
            readLe32(record) == kZip64EndSignature) {
            recordAt = at;
            return true;
        }
    }
    return false;
}

} // namespace

bool ZipSource::read(uint64_t offset, void *into, size_t count) const
{
    errno = 0;
    if (offset > size || count > size - offset || base > (uint64_t)INT64_MAX - size)
        return false;
    auto *to = static_cast<unsigned char *>(into);
    while (count > 0) {
        // pread64: offsets past 2 GiB in 32-bit builds too.
        ssize_t n = pread64(fd, to, std::min<size_t>(count, SSIZE_MAX), (off64_t)(base + offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        to += n;
        count -= (size_t)n;
        offset += (uint64_t)n;
    }
    return true;
}

namespace {

// The archive that the end record at `endAt` describes. Returns false with
// `why` set when its records contradict the region.
bool archiveAt(const ZipSource &src, uint64_t endAt, const unsigned char *end, ZipArchive &out, std::string &why)
{
    ZipArchive a;
    a.entries = readLe16(end + 10);
    a.directorySize = readLe32(end + 12);
    uint64_t recordedOffset = readLe32(end + 16);
    bool spanned = readLe16(end + 4) != 0 || readLe16(end + 6) != 0;
    a.endOffset = endAt;
    unsigned char z64[kZip64EndSize];
    uint64_t z64At = 0;
    // A Zip64 end record, when present, holds the true values: the classic
    // record may keep placeholders.
    if (endAt >= kLocatorSize + kZip64EndSize && readZip64End(src, endAt - kLocatorSize, z64At, z64)) {
        a.zip64 = true;
        a.entries = readLe64(z64 + 32);
        a.directorySize = readLe64(z64 + 40);
        recordedOffset = readLe64(z64 + 48);
        spanned = readLe32(z64 + 16) != 0 || readLe32(z64 + 20) != 0;
        a.endOffset = z64At;
    }
    if (spanned) {
        why = "the archive spans several disks, which is not supported";
        return false;
    }
    if (recordedOffset > a.endOffset || a.directorySize > a.endOffset - recordedOffset) {
        why = "the end record places the central directory beyond itself: the archive is damaged";
        return false;
    }
    a.skew = a.endOffset - recordedOffset - a.directorySize;
    a.directoryOffset = recordedOffset + a.skew;
    out = a;
    return true;
}

// True when the central directory of `a` starts with an entry, or is empty.
bool directoryStarts(const ZipSource &src, const ZipArchive &a)
{
    unsigned char sig[4];
    return a.directorySize == 0 || (src.read(a.directoryOffset, sig, sizeof sig) && readLe32(sig) == kCentralSignature);
}

} // namespace

bool readZipArchive(const ZipSource &src, ZipArchive &out, std::string &why)
{
    why = "no complete end record at the end of the file: the archive is cut short or is not a "
          "zip archive";
    if (src.size < kEndSize)
        return false;
    size_t tail = (size_t)std::min<uint64_t>(src.size, kEndSize + kMaxComment);
    std::vector<unsigned char> buf(tail);
    uint64_t tailAt = src.size - tail;
    if (!src.read(tailAt, buf.data(), tail)) {
        if (errno != 0)
            why = std::string("cannot read the end record: ") + strerror(errno);
        return false;
    }
    // The record that ends exactly at the end, nearest the end, wins: a
    // comment may itself hold "PK\5\6".
    for (size_t at = tail - kEndSize + 1; at-- > 0;) {
        const unsigned char *r = buf.data() + at;
        if (readLe32(r) == kEndSignature && at + kEndSize + readLe16(r + 20) == tail) {
            if (!archiveAt(src, tailAt + at, r, out, why))
                return false;
            why.clear();
            return true;
        }
    }
    // Else bytes follow the record (an archive padded to a block size, or with
    // data appended), as the usual unpackers accept: the nearest record whose
    // comment fits and whose central directory starts where it says counts.
    // Last, the comment may run past the end (cut short, or its length
    // written wrong): the usual unpackers read the entries all the same.
    for (bool commentCut : {false, true}) {
        for (size_t at = tail - kEndSize + 1; at-- > 0;) {
            const unsigned char *r = buf.data() + at;
            ZipArchive a;
            std::string ignored;
            if (readLe32(r) == kEndSignature && (at + kEndSize + readLe16(r + 20) > tail) == commentCut &&
                archiveAt(src, tailAt + at, r, a, ignored) && directoryStarts(src, a)) {
                a.commentCut = commentCut;
                out = a;
                why.clear();
                return true;
            }
        }
    }
    return false;
}

ZipDirectoryReader::ZipDirectoryReader(const ZipSource &src, const ZipArchive &archive)
    : src_(src), pos_(archive.directoryOffset), end_(archive.directoryOffset + archive.directorySize),
      skew_(archive.skew)
{
}

const unsigned char *ZipDirectoryReader::fetch(uint64_t offset, size_t size)
{
    if (offset >= windowStart_ && offset - windowStart_ <= windowSize_ && size <= windowSize_ - (offset - windowStart_))
        return window_.data() + (offset - windowStart_);
    size_t want = (size_t)std::min<uint64_t>(std::max(size, kWindow), end_ - offset);
    window_.resize(std::max(window_.size(), want));
    windowSize_ = 0;
    if (!src_.read(offset, window_.data(), want))
        return nullptr;
    windowStart_ = offset;
    windowSize_ = want;
    return window_.data();
}

bool ZipDirectoryReader::next(ZipEntry &e, std::string &why)
{
    why.clear();
    if (pos_ >= end_)
        return false;
    const unsigned char *h = end_ - pos_ >= kCentralSize ? fetch(pos_, kCentralSize) : nullptr;
    if (!h || readLe32(h) != kCentralSignature) {
        why = entryLabel(count_) + (h ? " has no header signature" : " is cut short");
        return false;
    }
    size_t nameLen = readLe16(h + 28), extraLen = readLe16(h + 30), commentLen = readLe16(h + 32);
    size_t whole = kCentralSize + nameLen + extraLen + commentLen;
    if (end_ - pos_ < whole || !(h = fetch(pos_, kCentralSize + nameLen + extraLen))) {
        why = entryLabel(count_) + " is cut short";
        return false;
    }
    e.versionMadeBy = readLe16(h + 4);
    e.flags = readLe16(h + 8);
    e.method = readLe16(h + 10);
    e.dosDateTime = (uint32_t)readLe16(h + 14) << 16 | readLe16(h + 12);
    e.crc = readLe32(h + 16);
    e.compressedSize = readLe32(h + 20);
    e.size = readLe32(h + 24);
    e.externalAttrs = readLe32(h + 38);
    e.localOffset = readLe32(h + 42);
    e.name.assign(reinterpret_cast<const char *>(h + kCentralSize), nameLen);
    e.recordedNameSize = (uint16_t)nameLen;
    e.zip64Size = false;
    // Zip64 extra field: the 64-bit values of the fields that hold all ones,
    // in this order.
    uint64_t *wide[] = {&e.size, &e.compressedSize, &e.localOffset};
    uint32_t narrow[] = {0xffffffff, 0xffffffff, 0xffffffff};
    const unsigned char *x = h + kCentralSize + nameLen, *xEnd = x + extraLen;
    while (xEnd - x >= 4) {
        size_t id = readLe16(x), len = readLe16(x + 2);
        const unsigned char *data = x + 4;
        if ((size_t)(xEnd - data) < len)
            break; // a cut last field: the peers ignore it too
        if (id == kZip64ExtraId) {
            const unsigned char *v = data;
            for (size_t i = 0; i < 3; i++) {
                if (*wide[i] != narrow[i])
                    continue;
                if (data + len - v < 8) {
                    why = entryLabel(count_) + " lacks a size or offset in its Zip64 extra field";
                    return false;
                }
                *wide[i] = readLe64(v);
                v += 8;
                e.zip64Size |= i == 0;
            }
        } else if (id == kUnicodePathId && len >= 5 && data[0] == 1 &&
                   readLe32(data + 1) == crc32Of(h + kCentralSize, nameLen)) {
            // The UTF-8 name of an entry whose recorded name is in a legacy code
            // page; it counts only while it belongs to that very name.
            e.name.assign(reinterpret_cast<const char *>(data + 5), len - 5);
        }
        x = data + len;
    }
    if (e.localOffset > UINT64_MAX - skew_) {
        why = entryLabel(count_) + " places its local header beyond any file";
        return false;
    }
    e.localOffset += skew_;
    pos_ += whole;
    count_++;
    return true;
}

bool locateZipData(const ZipSource &src, const ZipArchive &archive, const ZipEntry &entry, ZipDataRange &out,
                   std::string &why)
{
    unsigned char h[kLocalSize];
    uint64_t limit = archive.directoryOffset;
    if (entry.localOffset > limit || limit - entry.localOffset < kLocalSize ||
        !src.read(entry.localOffset, h, sizeof h)) {
        why = "the local header lies outside the archive's entries";
        return false;
    }
    if (readLe32(h) != kLocalSignature) {
        why = "no local header where the central directory places it";
        return false;
    }
    if (readLe16(h + 8) != entry.method || readLe16(h + 26) != entry.recordedNameSize) {
        why = "the local header does not match the central directory";
        return false;
    }
    uint64_t dataOffset = entry.localOffset + kLocalSize + readLe16(h + 26) + readLe16(h + 28);
    if (dataOffset > limit || entry.compressedSize > limit - dataOffset) {
        why = "the entry's data runs into the central directory";
        return false;
    }
    out = {entry.localOffset, dataOffset, dataOffset + entry.compressedSize};
    return true;
}

std::pair<size_t, size_t> findZipOverlap(const std::vector<ZipDataRange> &ranges)
{
    std::vector<size_t> order(ranges.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return ranges[a].start < ranges[b].start; });
    constexpr size_t npos = SIZE_MAX;
    size_t reach = npos; // the range that reaches furthest so far
    for (size_t i : order) {
        if (reach != npos && ranges[i].start < ranges[reach].end)
            return {std::min(reach, i), std::max(reach, i)};
        if (reach == npos || ranges[i].end > ranges[reach].end)
            reach = i;
    }
    return {npos, npos};
}
