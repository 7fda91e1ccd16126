// What an archive entry is (file, directory, symbolic link) and which
// permission bits it gets, from the attributes the archive records.
#pragma once

#include <sys/types.h>

enum class EntryKind { File, Directory, Symlink };

struct EntryMode {
    EntryKind kind;
    mode_t perms; // permission bits only: never set-user-id, set-group-id or sticky
};

// Host number of "version made by" for entries made on Unix, whose external
// attributes carry st_mode in their high 16 bits.
constexpr unsigned long kHostUnix = 3;
// MS-DOS directory attribute in the low byte of the external attributes.
constexpr unsigned long kDosDirectoryAttr = 0x10;

// Decides kind and mode from "version made by", the external attributes and
// whether the entry name ends in '/'. A Unix host with a non-zero mode gives
// its type and (mode & 0777); S_IFLNK means a symbolic link, S_IFDIR or a
// trailing '/' a directory, every other type a regular file. Entries without
// a Unix mode get 0755 (directory: trailing '/' or the MS-DOS directory
// attribute) or 0644 (file).
EntryMode entryModeOf(unsigned long versionMadeBy, unsigned long externalAttrs, bool nameEndsWithSlash);
