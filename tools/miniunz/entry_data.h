// Reading one entry's data out of the archive, checked end to end.
#pragma once

#include <minizip/unzip.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>

// Receives the entry's data chunk by chunk; returns false (after
// complaining) to stop the entry.
using ChunkSink = std::function<bool(const char *data, size_t size)>;

// Streams the data of the archive's current entry through `buffer` into
// `sink`, so memory stays bounded whatever the entry's size. Succeeds only
// when the data decompressed without error, exactly `expectedSize` bytes came
// out (the size the central directory records), the CRC matched and every
// sink call succeeded. Otherwise returns false; every failure except the
// sink's own is reported here, naming `shown`.
bool streamEntryData(unzFile zf, uint64_t expectedSize, std::span<char> buffer,
                     const std::string &shown, const ChunkSink &sink);
