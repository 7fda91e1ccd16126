// The archive's end record ("end of central directory"), checked directly.
// minizip finds it by searching backwards and reads a record cut short by
// the end of the file as if the missing bytes were zero, so an archive
// truncated inside its last bytes would otherwise pass as whole.
#pragma once

#include <cstdint>

struct EndRecord {
  uint64_t offset = 0;  // where the record starts in the file
  uint16_t entries = 0; // total number of entries it counts
  uint32_t directorySize = 0;
};

// Looks for an end record that ends exactly at the end of the file open on
// `fd`: 22 bytes plus the comment length it declares. Reads at most the last
// 64 KiB + 22 bytes. Returns false when there is none (the archive is cut,
// or has bytes after its end); a failing read counts as none, errno set.
bool findEndRecord(int fd, EndRecord &out);
