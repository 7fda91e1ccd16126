// The structure of a zip archive, read without decompressing anything: the
// end record (and the Zip64 end record it points to), the central directory
// walked by its recorded size and offset, and each entry's local header.
//
// The archive may be a region inside a larger file (an image inside a
// package) and may have bytes in front of its first entry (a self-extracting
// stub): every read goes through ZipSource, and offsets are corrected by the
// distance between where the directory is recorded to lie and where it lies.
// Memory stays bounded: the directory is read through one window, however
// many entries it holds. Nothing here throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Positioned reads of the archive bytes [base, base + size) of `fd`.
struct ZipSource {
    int fd = -1;
    uint64_t base = 0;
    uint64_t size = 0;

    // Reads exactly `size` bytes at archive offset `offset` into `into`.
    // Returns false when they lie outside the region or cannot be read whole
    // (errno set by a failing read, 0 when the file is shorter).
    bool read(uint64_t offset, void *into, size_t size) const;
};

// What the end records say, with offsets already corrected to the region.
struct ZipArchive {
    uint64_t entries = 0;         // the number of entries the end record counts
    uint64_t directoryOffset = 0; // where the central directory starts
    uint64_t directorySize = 0;
    uint64_t endOffset = 0; // where the end record (or the Zip64 end record) starts
    uint64_t skew = 0;      // bytes in front of the archive proper: added to every offset
    bool zip64 = false;
    bool commentCut = false; // the end record's comment runs past the end of the region
};

// One entry as the central directory records it, Zip64 values applied.
struct ZipEntry {
    std::string name;              // raw bytes: the Unicode Path extra field's when it matches
    uint16_t recordedNameSize = 0; // bytes of the name field itself (the local header's too)
    uint16_t versionMadeBy = 0;    // host in the high byte
    uint16_t flags = 0;            // bit 0: encrypted; bit 3: sizes follow the data
    uint16_t method = 0;           // 0 stored, 8 deflated, ...
    uint32_t dosDateTime = 0;      // date in the high 16 bits, time in the low 16
    uint32_t crc = 0;
    uint32_t externalAttrs = 0; // st_mode in the high 16 bits when made on Unix
    uint64_t compressedSize = 0;
    uint64_t size = 0;        // uncompressed
    bool zip64Size = false;   // `size` came from the Zip64 extra field
    uint64_t localOffset = 0; // the local header, corrected by the archive's skew
};

// Finds the end record (at most the last 64 KiB + 22 bytes are read) and the
// Zip64 end record when a locator precedes it. A record that ends exactly at
// the end of the region (22 bytes plus the comment length it declares) wins;
// else bytes may follow it, and the nearest record whose central directory
// starts where it says counts; last, a record whose comment runs past the
// end (the comment cut short, the entries and the directory whole) counts on
// the same terms, with `commentCut` set. Returns false with `why` set when
// there is none or the records contradict the region.
bool readZipArchive(const ZipSource &src, ZipArchive &out, std::string &why);

// Reads the central directory entry by entry, by its recorded size, never by
// the end record's count.
class ZipDirectoryReader {
public:
    ZipDirectoryReader(const ZipSource &src, const ZipArchive &archive);

    // Fills `entry` with the next entry and returns true; returns false at the
    // end of the directory (`why` empty) or when it is damaged (`why` says
    // how, naming the entry's position).
    bool next(ZipEntry &entry, std::string &why);
    // Entries read so far.
    uint64_t count() const { return count_; }

private:
    // Makes archive bytes [offset, offset + size) available; null when they
    // cannot be read.
    const unsigned char *fetch(uint64_t offset, size_t size);

    const ZipSource &src_;
    uint64_t pos_, end_, skew_;
    uint64_t count_ = 0;
    std::vector<unsigned char> window_;
    uint64_t windowStart_ = 0;
    size_t windowSize_ = 0;
};

// Where an entry lies in the archive: its local header and data.
struct ZipDataRange {
    uint64_t start = 0;      // the local header
    uint64_t dataOffset = 0; // the first byte of its data
    uint64_t end = 0;        // one past its last byte of data
};

// Reads the local header of `entry` and checks it against the central
// directory (signature, method, name length) and the data's place (before
// the central directory). Returns false with `why` set otherwise.
bool locateZipData(const ZipSource &src, const ZipArchive &archive, const ZipEntry &entry, ZipDataRange &out,
                   std::string &why);

// Returns the index pair (first, second) of two ranges in `ranges` that share
// a byte, or {npos, npos} when none do. Sorts a copy of the starts.
std::pair<size_t, size_t> findZipOverlap(const std::vector<ZipDataRange> &ranges);
