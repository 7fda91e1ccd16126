#include "entry_data.h"

#include "diag.h"

#include <algorithm>
#include <bzlib.h>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <semaphore>
#include <unistd.h>

namespace {

constexpr size_t kBzip2Chunk = 256 * 1024;

// Bounds the bzip2 streams open at once, across all readers.
std::counting_semaphore<kMaxBzip2Streams> bzip2Slots(kMaxBzip2Streams);

} // namespace

EntryReader::EntryReader(int archiveFd, size_t bufferSize)
    : fd_(archiveFd), bufferSize_(std::max<size_t>(bufferSize, 1))
{
}

EntryReader::~EntryReader()
{
    if (streamReady_)
        inflateEnd(&stream_);
}

// Not zero-filled: only the pages that entries use become resident.
char *EntryReader::inBuffer()
{
    if (!in_)
        in_.reset(new char[bufferSize_]);
    return in_.get();
}

char *EntryReader::outBuffer()
{
    if (!out_)
        out_.reset(new char[bufferSize_]);
    return out_.get();
}

bool EntryReader::readArchive(uint64_t offset, char *into, size_t size, const std::string &shown)
{
    while (size > 0) {
        // pread64: offsets past 2 GiB in 32-bit builds too.
        ssize_t n = pread64(fd_, into, std::min<size_t>(size, SSIZE_MAX), (off64_t)offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            complain("%s: pread64: %s", shown.c_str(), strerror(errno));
            return false;
        }
        if (n == 0) {
            complain("%s: the archive ends inside the entry's data", shown.c_str());
            return false;
        }
        into += n;
        size -= (size_t)n;
        offset += (uint64_t)n;
    }
    return true;
}

bool EntryReader::checkCrc(uint32_t crc, const EntryData &entry, const std::string &shown)
{
    if (crc == entry.crc)
        return true;
    complain("%s: CRC mismatch: the data is damaged", shown.c_str());
    return false;
}

bool EntryReader::read(const EntryData &entry, const std::string &shown, const ChunkSink &sink)
{
    if (entry.offset > (uint64_t)INT64_MAX - entry.compressedSize) {
        complain("%s: the entry's data lies beyond any file", shown.c_str());
        return false;
    }
    if (entry.bzip2)
        return readBzip2(entry, shown, sink);
    if (!entry.deflated) {
        // A stored entry yields its first `size` bytes; more data is ignored,
        // as other unzip programs do.
        if (entry.compressedSize < entry.size) {
            complain("%s: data ends after %" PRIu64 " of the %" PRIu64 " bytes the archive records", shown.c_str(),
                     entry.compressedSize, entry.size);
            return false;
        }
        return entry.size <= bufferSize_ ? readWhole(entry, shown, sink) : readStored(entry, shown, sink);
    }
    if (entry.size <= bufferSize_ && entry.compressedSize <= bufferSize_)
        return readWhole(entry, shown, sink);
    return readDeflated(entry, shown, sink);
}

bool EntryReader::readWhole(const EntryData &entry, const std::string &shown, const ChunkSink &sink)
{
    char *out = outBuffer();
    size_t size = (size_t)entry.size;
    if (!entry.deflated) {
        if (!readArchive(entry.offset, out, size, shown))
            return false;
    } else {
        char *in = inBuffer();
        if (!readArchive(entry.offset, in, (size_t)entry.compressedSize, shown))
            return false;
        size_t produced = 0;
        switch (whole_.inflate(in, (size_t)entry.compressedSize, out, size, produced)) {
        case InflateResult::Ok: break;
        case InflateResult::TooLong:
            if (entry.sizeMayWrap)
                return readDeflated(entry, shown, sink);
            complain("%s: more data than the %zu bytes the archive records", shown.c_str(), size);
            return false;
        case InflateResult::Short:
            complain("%s: data ends after %zu of the %zu bytes the archive records", shown.c_str(), produced, size);
            return false;
        case InflateResult::BadData: complain("%s: inflate: damaged compressed data", shown.c_str()); return false;
        }
    }
    return checkCrc(crc32Update(0, out, size), entry, shown) && sink(out, size);
}

bool EntryReader::readStored(const EntryData &entry, const std::string &shown, const ChunkSink &sink)
{
    char *buf = outBuffer();
    uint64_t left = entry.size, offset = entry.offset;
    uint32_t crc = 0;
    while (left > 0) {
        size_t n = (size_t)std::min<uint64_t>(left, bufferSize_);
        if (!readArchive(offset, buf, n, shown))
            return false;
        crc = crc32Update(crc, buf, n);
        if (!sink(buf, n))
            return false;
        offset += n;
        left -= n;
    }
    return checkCrc(crc, entry, shown);
}

bool EntryReader::readDeflated(const EntryData &entry, const std::string &shown, const ChunkSink &sink)
{
    if (!streamReady_) {
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) {
            complain("%s: inflateInit2: out of memory", shown.c_str());
            return false;
        }
        streamReady_ = true;
    } else {
        inflateReset(&stream_);
    }
    char *in = inBuffer(), *out = outBuffer();
    // Chunks stay below 4 GiB, which is all that zlib counts in one call.
    size_t chunk = std::min<size_t>(bufferSize_, UINT_MAX);
    uint64_t inLeft = entry.compressedSize, offset = entry.offset, total = 0;
    uint32_t crc = 0;
    stream_.avail_in = 0;
    for (;;) {
        if (stream_.avail_in == 0 && inLeft > 0) {
            size_t n = (size_t)std::min<uint64_t>(inLeft, chunk);
            if (!readArchive(offset, in, n, shown))
                return false;
            offset += n;
            inLeft -= n;
            stream_.next_in = (Bytef *)in;
            stream_.avail_in = (uInt)n;
        }
        stream_.next_out = (Bytef *)out;
        stream_.avail_out = (uInt)chunk;
        int rc = inflate(&stream_, Z_NO_FLUSH);
        size_t produced = chunk - stream_.avail_out;
        if (produced > 0) {
            total += produced;
            if (total > entry.size && !entry.sizeMayWrap) {
                complain("%s: more data than the %" PRIu64 " bytes the archive records", shown.c_str(), entry.size);
                return false;
            }
            crc = crc32Update(crc, out, produced);
            if (!sink(out, produced))
                return false;
        }
        if (rc == Z_STREAM_END)
            break;
        if (rc == Z_BUF_ERROR && stream_.avail_in == 0 && inLeft == 0) {
            complain("%s: inflate: the compressed data ends early", shown.c_str());
            return false;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            complain("%s: inflate: %s", shown.c_str(), zlibErrorText(rc));
            return false;
        }
    }
    return checkEnd(total, crc, entry, shown);
}

bool EntryReader::checkEnd(uint64_t total, uint32_t crc, const EntryData &entry, const std::string &shown)
{
    if (total == entry.size)
        return checkCrc(crc, entry, shown);
    if (total > entry.size) {
        if (!entry.sizeMayWrap || (uint32_t)total != (uint32_t)entry.size) {
            complain("%s: more data than the %" PRIu64 " bytes the archive records", shown.c_str(), entry.size);
            return false;
        }
        if (!checkCrc(crc, entry, shown))
            return false;
        complain("%s: warning: %" PRIu64 " bytes where the archive records %" PRIu64
                 " (a size that wrapped at 4 GiB); the data is whole and its CRC matches",
                 shown.c_str(), total, entry.size);
        return true;
    }
    complain("%s: data ends after %" PRIu64 " of the %" PRIu64 " bytes the archive records", shown.c_str(), total,
             entry.size);
    return false;
}

bool EntryReader::readBzip2(const EntryData &entry, const std::string &shown, const ChunkSink &sink)
{
    bzip2Slots.acquire();
    bz_stream bz{};
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) {
        bzip2Slots.release();
        complain("%s: bzip2: out of memory", shown.c_str());
        return false;
    }
    char *in = inBuffer(), *out = outBuffer();
    // bzip2 decodes slowly and needs its own few MiB: small chunks keep most
    // of the reader's buffers untouched, so memory stays within budget.
    size_t chunk = std::min<size_t>(bufferSize_, kBzip2Chunk);
    uint64_t inLeft = entry.compressedSize, offset = entry.offset, total = 0;
    uint32_t crc = 0;
    bool ok = true;
    for (;;) {
        if (bz.avail_in == 0 && inLeft > 0) {
            size_t n = (size_t)std::min<uint64_t>(inLeft, chunk);
            if (!(ok = readArchive(offset, in, n, shown)))
                break;
            offset += n;
            inLeft -= n;
            bz.next_in = in;
            bz.avail_in = (unsigned)n;
        }
        bz.next_out = out;
        bz.avail_out = (unsigned)chunk;
        int rc = BZ2_bzDecompress(&bz);
        size_t produced = chunk - bz.avail_out;
        total += produced;
        if (total > entry.size) {
            complain("%s: more data than the %" PRIu64 " bytes the archive records", shown.c_str(), entry.size);
            ok = false;
            break;
        }
        crc = crc32Update(crc, out, produced);
        if (produced > 0 && !(ok = sink(out, produced)))
            break;
        if (rc == BZ_STREAM_END)
            break;
        if (rc != BZ_OK) {
            complain("%s: bzip2: damaged compressed data", shown.c_str());
            ok = false;
            break;
        }
        if (bz.avail_in == 0 && inLeft == 0 && produced == 0) {
            complain("%s: bzip2: the compressed data ends early", shown.c_str());
            ok = false;
            break;
        }
    }
    BZ2_bzDecompressEnd(&bz);
    bzip2Slots.release();
    return ok && checkEnd(total, crc, entry, shown);
}
