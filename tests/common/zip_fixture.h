// Test fixture: writes zip files entry by entry, including hostile names,
// symbolic links and deliberately damaged entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ZipEntrySpec {
    enum Kind { File, Dir, Symlink };
    // How an entry is damaged on purpose. The data is deflated by hand and
    // stored raw so that the headers can record anything.
    enum Damage {
        Intact,
        BadCrc,     // recorded CRC differs from the data's
        ShortSize,  // recorded uncompressed size is one byte less than the data
        LongSize,   // recorded uncompressed size is one byte more than the data
        BadDeflate, // compressed bytes are not a valid deflate stream
    };

    std::string name;     // stored exactly as given (no NUL bytes)
    std::string data;     // file content; the link target for Symlink; unused for Dir
    unsigned mode = 0644; // permission bits, set-id and sticky bits allowed; type
                          // comes from kind
    Kind kind = File;
    bool unixMode = true; // false: recorded as made on MS-DOS, without a Unix mode
    // The file content is `data` repeated this often, streamed into the zip:
    // large entries without large memory. Intact entries only.
    size_t repeat = 1;
    Damage damage = Intact;
    bool bzip2 = false;           // compressed with bzip2 (method 12) instead of deflate
    bool stored = false;          // stored as is (method 0) instead of deflated
    std::string unicodeName = ""; // when set: a Unicode Path extra field with this name
    // Time stamp 1980-01-01 00:00:00, the earliest a zip records, as
    // reproducible packers write it; otherwise 2020-01-01 12:00:00.
    bool time1980 = false;
};

// Shorthands for the common entries.
ZipEntrySpec fileEntry(const std::string &name, const std::string &data, unsigned mode = 0644);
ZipEntrySpec dirEntry(const std::string &name, unsigned mode = 0755);
ZipEntrySpec linkEntry(const std::string &name, const std::string &target);

// Writes a zip file at `path` holding `entries` in order (duplicates
// allowed). Throws std::runtime_error naming the failing call on error.
void writeZip(const std::string &path, const std::vector<ZipEntrySpec> &entries);

// Where the records of a zip (as writeZip writes it: no comment, no Zip64)
// lie, for tests that edit headers in place. Offsets into the file's bytes.
struct ZipLayout {
    size_t end = 0;              // the end record
    size_t directory = 0;        // the first central directory entry
    std::vector<size_t> central; // each central directory entry
    std::vector<size_t> local;   // each entry's local header, as the directory records it
};
ZipLayout zipLayout(const std::string &bytes);

// Raw deflate (no zlib header), as a zip entry stores it; -1 is zlib's
// default level.
std::string deflateRaw(const std::string &data, int level = -1);

// `size` pseudo-random bytes from `seed`: data that deflate cannot shrink.
std::string noise(size_t size, uint32_t seed);

// Little-endian fields of zip records.
uint32_t getLe(const std::string &bytes, size_t at, size_t width);
void putLe(std::string &bytes, size_t at, size_t width, uint64_t value);
