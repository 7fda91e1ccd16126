// Reading one entry's data out of the archive, checked end to end.
#pragma once

#include "inflate.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <zlib.h>

// Receives the entry's data chunk by chunk; returns false (after
// complaining) to stop the entry.
using ChunkSink = std::function<bool(const char *data, size_t size)>;

// Where an entry's data lies in the archive and what it must turn into, as
// the central directory and the local header record it.
struct EntryData {
    uint64_t offset = 0;         // first byte of the stored or deflated data
    uint64_t compressedSize = 0; // bytes of data at `offset`
    uint64_t size = 0;           // uncompressed size
    uint32_t crc = 0;            // CRC-32 of the uncompressed data
    bool deflated = false;       // else stored, unless bzip2
    bool bzip2 = false;
    // The size field held only 32 bits: a zipper without Zip64 may have
    // recorded the real size modulo 4 GiB.
    bool sizeMayWrap = false;
};

constexpr unsigned kMaxBzip2Streams = 2;

// Reads entries' data from an archive with pread, so several readers may
// share one descriptor. An entry whose data and result both fit `bufferSize`
// is read and inflated whole, in one piece; a larger one is streamed through
// the same two buffers, so memory stays bounded whatever the entry's size.
// The buffers are allocated on first use. One reader per thread.
class EntryReader {
public:
    EntryReader(int archiveFd, size_t bufferSize);
    ~EntryReader();
    EntryReader(const EntryReader &) = delete;
    EntryReader &operator=(const EntryReader &) = delete;

    // Hands the data of `entry` to `sink`. Succeeds only when the data
    // decompressed without error, exactly `entry.size` bytes came out, the CRC
    // matched and every sink call succeeded. A deflated entry whose size may
    // have wrapped also succeeds, with one warning, when its stream ends
    // cleanly after a multiple of 4 GiB more bytes and the CRC matches. At
    // most kMaxBzip2Streams bzip2 entries are read at once, whatever the
    // number of readers: each stream needs a few MiB. Otherwise returns false; every
    // failure except the sink's own is reported here, naming `shown`.
    bool read(const EntryData &entry, const std::string &shown, const ChunkSink &sink);

private:
    bool readWhole(const EntryData &entry, const std::string &shown, const ChunkSink &sink);
    bool readStored(const EntryData &entry, const std::string &shown, const ChunkSink &sink);
    bool readDeflated(const EntryData &entry, const std::string &shown, const ChunkSink &sink);
    bool readBzip2(const EntryData &entry, const std::string &shown, const ChunkSink &sink);
    // Checks the size and CRC of data that ended after `total` bytes.
    bool checkEnd(uint64_t total, uint32_t crc, const EntryData &entry, const std::string &shown);
    // Reads archive bytes [offset, offset + size) into `into`. Returns false
    // after complaining when they cannot be read whole.
    bool readArchive(uint64_t offset, char *into, size_t size, const std::string &shown);
    bool checkCrc(uint32_t crc, const EntryData &entry, const std::string &shown);
    char *inBuffer();
    char *outBuffer();

    int fd_;
    size_t bufferSize_;
    std::unique_ptr<char[]> in_, out_;
    WholeInflater whole_;
    z_stream stream_{};
    bool streamReady_ = false;
};
