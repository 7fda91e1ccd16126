// A zip archive written entry by entry to an open file.
#ifndef ZIPWRITE_ZIP_OUTPUT_H
#define ZIPWRITE_ZIP_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mkportable {

// Version made by: Unix host (3) in the high byte, zip 2.0 in the low one.
constexpr unsigned ZIP_VERSION_MADE_BY = 3u << 8 | 20u;
// Largest entry (uncompressed) and archive that a plain zip without Zip64
// records describes; images never use Zip64, which simple unzip utilities
// may not read.
constexpr std::uint64_t ZIP_MAX_ENTRY_BYTES = 0xfffffffeu;
// Most entries that the end record of such a zip counts.
constexpr std::size_t ZIP_MAX_ENTRIES = 0xffff;

// Throws PackError when an archive named `name` would hold `count` entries,
// more than ZIP_MAX_ENTRIES.
void checkEntryCount(const std::string &name, std::size_t count);

// What the headers say of one entry's data.
struct ZipEntryData {
    bool deflated = false;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0; // uncompressed
};

// Writes a zip archive with the header fields of a reproducible image:
// every entry has version made by ZIP_VERSION_MADE_BY, external attributes
// st_mode << 16, the same DOS time stamp, and no extra fields, comments,
// data descriptors or host times. The data comes in compressed already.
class ZipOutput {
public:
    // Starts an archive at the current position of `fd`, which the caller
    // keeps owning; a regular file, since headers are completed in place.
    // `name` names the archive in messages. The archive may not grow beyond
    // `sizeLimit` bytes. Throws PackError.
    ZipOutput(int fd, std::string name, std::uint32_t dosDateTime, std::uint64_t sizeLimit);
    ZipOutput(const ZipOutput &) = delete;
    ZipOutput &operator=(const ZipOutput &) = delete;

    // Begins the entry `entryName` with Unix mode `mode` (type bits
    // included), with headers that say `data`; when endEntry is told other
    // values, the local header is rewritten. Throws PackError when the
    // archive would hold more than ZIP_MAX_ENTRIES entries (checkEntryCount).
    void beginEntry(const std::string &entryName, mode_t mode, const ZipEntryData &data);
    // Appends data, as it is to be stored, to the current entry. Throws
    // PackError when writing fails or the archive would exceed its limit.
    void write(const void *data, std::size_t size);
    // Drops the data written since beginEntry: the entry starts again, to
    // be stored rather than deflated.
    void restartStored();
    // Completes the current entry, whose data are finally `data`.
    void endEntry(const ZipEntryData &data);
    // Writes the central directory and flushes everything to the descriptor.
    void finish();

private:
    struct Entry {
        std::string name;
        mode_t mode;
        std::uint64_t offset; // of the local header, from the archive's start
        ZipEntryData data;
    };

    void put(const void *data, std::size_t size);
    void flush();
    [[noreturn]] void failWrite(const std::string &call, int error) const;

    int fd_;
    std::string name_;
    std::uint32_t dosDateTime_;
    std::uint64_t limit_;
    off_t base_ = 0;        // where the archive starts in the file
    std::uint64_t pos_ = 0; // bytes of the archive so far, buffered ones included
    std::vector<unsigned char> buffer_;
    std::vector<Entry> entries_;
};

} // namespace mkportable

#endif
