// A zip archive written entry by entry to an open file.
#ifndef MKPORTABLE_ZIP_OUTPUT_H
#define MKPORTABLE_ZIP_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>

namespace mkportable {

// Version made by: Unix host (3) in the high byte, zip 2.0 in the low one.
constexpr unsigned ZIP_VERSION_MADE_BY = 3u << 8 | 20u;
// Largest entry (uncompressed) and archive that a plain zip without Zip64
// records describes; images never use Zip64, which simple unzip utilities
// may not read.
constexpr std::uint64_t ZIP_MAX_ENTRY_BYTES = 0xfffffffeu;

// Writes a zip archive through minizip with the header fields of a
// reproducible image: every entry has version made by ZIP_VERSION_MADE_BY,
// external attributes st_mode << 16, the same DOS time stamp, and no extra
// fields, comments or host times. Not copyable: minizip keeps a pointer to
// the object.
class ZipOutput {
public:
    // Starts an archive at the current position of `fd`, which the caller
    // keeps owning. `name` names the archive in messages. The archive may not
    // grow beyond `sizeLimit` bytes. Throws PackError.
    ZipOutput(int fd, std::string name, std::uint32_t dosDateTime, std::uint64_t sizeLimit);
    ZipOutput(const ZipOutput &) = delete;
    ZipOutput &operator=(const ZipOutput &) = delete;
    // Abandons an archive that finish() did not complete.
    ~ZipOutput();

    // Begins the entry `entryName` with Unix mode `mode` (type bits
    // included); its data is deflated when `deflate`, else stored.
    void beginEntry(const std::string &entryName, mode_t mode, bool deflate);
    // Appends data to the current entry. Throws PackError when minizip
    // fails, when the entry would exceed ZIP_MAX_ENTRY_BYTES, or when the
    // archive would exceed the size limit.
    void write(const void *data, std::size_t size);
    // Completes the current entry.
    void endEntry();
    // Writes the central directory and flushes everything to the descriptor.
    void finish();

    // State shared with the file callbacks that minizip calls.
    struct Stream {
        FILE *file = nullptr;
        bool closed = false;
        std::uint64_t limit = 0;
        bool overLimit = false;
        int writeErrno = 0;
    };

private:
    // Throws PackError for minizip result `rc` of `call` when it is not ZIP_OK.
    void check(int rc, const std::string &call);

    std::string name_;
    std::uint32_t dosDateTime_;
    Stream stream_;
    void *zip_ = nullptr;
    std::string entry_;
    std::uint64_t entryBytes_ = 0;
};

} // namespace mkportable

#endif
