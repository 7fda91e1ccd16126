// Whether miniunz can and may unpack an entry, decided from the central
// directory alone: its name, its kind, its compression method and whether it
// is encrypted. miniunz applies these rules while unpacking and mkportable
// before it packs a ready zip, so that a package that builds also unpacks.
// The link-target rule (checkLinkTarget) needs the entry's data and is
// applied by the caller once the target is read.
#pragma once

#include "entry_kind.h"
#include "entry_name.h"
#include "zip_directory.h"

#include <string>

// An entry that passed the rules: where it goes and what it becomes.
struct CheckedEntry {
    EntryPath path;
    EntryMode mode{EntryKind::File, 0};
};

// Compression methods whose data miniunz reads.
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kMethodBzip2 = 12;

// Checks `entry` and on acceptance fills `out` and returns an empty string;
// otherwise returns why the entry is refused ("the name is absolute",
// "encrypted entries are not supported", ...).
std::string checkEntry(const ZipEntry &entry, CheckedEntry &out);

// Why miniunz cannot read the data of `entry` (it is encrypted, or its
// compression method is one that miniunz does not have), or an empty string.
// Part of checkEntry; such reasons concern the archive as a whole more often
// than one entry.
std::string dataRefusal(const ZipEntry &entry);

// The name of a compression method for messages: "deflate (method 8)",
// "LZMA (method 14)", "method 99".
std::string methodName(uint16_t method);
