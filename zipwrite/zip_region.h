// A zip archive stored inside a larger file (an image inside a package),
// read through the zip-structure reader without copying it out.
#ifndef ZIPWRITE_ZIP_REGION_H
#define ZIPWRITE_ZIP_REGION_H

#include "zip_directory.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mkportable {

// One entry as the central directory records it.
struct ImageEntry {
    std::string name;
    std::uint64_t size = 0; // uncompressed
    std::uint64_t compressedSize = 0;
    std::uint32_t dosDateTime = 0; // date in the high 16 bits, time in the low 16
    bool hasUnixMode = false;      // made on a Unix host: `mode` is st_mode
    mode_t mode = 0;
};

// The archive that occupies bytes [offset, offset + size) of `fd`. The
// descriptor stays the caller's and must outlive the object.
class ZipRegion {
public:
    // Throws PackError "<name> is not a zip archive (<why>)" when the region
    // holds no complete end record, or its records contradict the region.
    ZipRegion(int fd, std::uint64_t offset, std::uint64_t size, std::string name);

    // Every entry, in stored order, the central directory walked by its
    // recorded size. A damaged central directory ends the list early and
    // adds a line to `problems`, as does an end record that counts another
    // number of entries.
    std::vector<ImageEntry> entries(std::vector<std::string> &problems);

    // Applies to every entry the rules that miniunz applies when it unpacks
    // (entryRules: names, kinds, methods, encryption; then link targets,
    // local headers and overlapping entries), and with `readData` also reads
    // its data, checking the compressed stream, the size and the CRC. A
    // symbolic link's target is checked only with `readData`. Adds one line
    // to `problems` for each entry refused, naming it and the reason.
    // Returns the number of entries checked.
    std::size_t check(std::vector<std::string> &problems, bool readData);

    // The note to give when the end record's comment runs past the end of
    // the region (the entries and the directory are whole, so the archive
    // reads as the usual unpackers read it); empty otherwise.
    std::string commentNote() const;

private:
    // Inflates or copies the data at `range`, checking size and CRC; returns
    // why it fails, or an empty string. Keeps the first `keep` bytes of the
    // data in `kept`.
    std::string checkEntryData(const ZipEntry &entry, const ZipDataRange &range, std::size_t keep, std::string &kept);

    ZipSource source_;
    ZipArchive archive_;
    std::string name_;
};

// Why unpacking `name` would fail because the way to it passes through an
// entry of `links` (names of symbolic-link entries stored before it), which
// miniunz never follows; empty when it would not.
std::string throughLink(const std::string &name, const std::vector<std::string> &links);

// "drwxr-xr-x"-style text for a st_mode.
std::string modeText(mode_t mode);

// "2023-11-14 22:13:20" for a DOS date and time.
std::string dosTimeText(std::uint32_t dosDateTime);

} // namespace mkportable

#endif
