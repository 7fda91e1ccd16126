// The package appended behind the launcher's machine code, as a file format.
//
//   element 0  the launcher itself, from offset 0
//   element 1  the unzip utility
//   element 2  GlobalInfo, 8 bytes
//   element 3  CommandRecords, 400 bytes each
//   element 4  the image: one zip, or two back to back (Intel 32-bit first)
//   PackageDirectory, 548 bytes
//   end marker 0xFF
//
// All integers are 32-bit little-endian on disk. The codec below is the one
// place where byte order is handled: everything else works on the decoded
// structs, in host order.
#ifndef FORMAT_PACKAGE_FORMAT_H
#define FORMAT_PACKAGE_FORMAT_H

#include <cstdint>

enum PkgElement {
    PKG_LAUNCHER = 0,
    PKG_UNZIP = 1,
    PKG_GLOBAL_INFO = 2,
    PKG_COMMANDS = 3,
    PKG_IMAGE = 4,
    PKG_ELEMENT_COUNT = 5
};

constexpr int PKG_DIRECTORY_SIZE = 548;
constexpr int PKG_VARIANT_FIELD_SIZE = 260;
constexpr unsigned char PKG_END_MARKER = 0xFF;
// Package file positions are signed 32-bit values: a package stays below this.
constexpr int64_t PKG_MAX_FILE_SIZE = 0x7fffffff;

constexpr int GLOBAL_INFO_SIZE = 8;
constexpr int COMMAND_RECORD_SIZE = 400;
constexpr int RECORD_COMMAND_SIZE = 128;
constexpr int RECORD_ARGUMENTS_SIZE = 256;

struct PackageDirectory {
    uint32_t elementSize[PKG_ELEMENT_COUNT];
    uint32_t imageSize[2]; // Intel 32-bit variant, Intel 64-bit variant; 0 when absent
};

struct GlobalInfo {
    int32_t commandCount;
    int32_t strictPlatformMatch;
};

// Text fields hold one byte more than on disk, so that a field that fills its
// whole width without a NUL still ends in one.
struct CommandRecord {
    int32_t distribution;
    int32_t release;
    int32_t architecture;
    char command[RECORD_COMMAND_SIZE + 1];
    char arguments[RECORD_ARGUMENTS_SIZE + 1];
    int32_t alwaysAppendArguments;
};

void decodePackageDirectory(const unsigned char raw[PKG_DIRECTORY_SIZE], PackageDirectory *out);
// Writes all 548 bytes; the variant fields are zero.
void encodePackageDirectory(const PackageDirectory &dir, unsigned char raw[PKG_DIRECTORY_SIZE]);

// Decodes the first `size` bytes of element 2; bytes that a short element
// does not cover read as zero.
void decodeGlobalInfo(const unsigned char *raw, uint32_t size, GlobalInfo *out);
void encodeGlobalInfo(const GlobalInfo &info, unsigned char raw[GLOBAL_INFO_SIZE]);

void decodeCommandRecord(const unsigned char raw[COMMAND_RECORD_SIZE], CommandRecord *out);
// Text longer than its field is cut at the field's width (no NUL then);
// callers that must not lose text check the lengths first.
void encodeCommandRecord(const CommandRecord &rec, unsigned char raw[COMMAND_RECORD_SIZE]);

#endif
