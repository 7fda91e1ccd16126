// Deflate for image entries, as one worker runs it: whole entries with
// libdeflate, pieces of large entries with zlib.
#ifndef ZIPWRITE_ENTRY_COMPRESSOR_H
#define ZIPWRITE_ENTRY_COMPRESSOR_H

#include "byte_buffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct libdeflate_compressor;
struct z_stream_s;

namespace mkportable {

// Compression levels of an image: 0 stores every entry; 1 to 12 deflate,
// higher is smaller and slower. Levels above 9 exist only in libdeflate;
// pieces of large entries, which zlib compresses, use ZLIB_LEVEL_MAX for them.
constexpr int ZIP_LEVEL_STORED = 0;
constexpr int ZIP_LEVEL_MAX = 12;
// As small as `zip -6` makes the same tree, or smaller, and fast.
constexpr int ZIP_LEVEL_DEFAULT = 6;
constexpr int ZLIB_LEVEL_MAX = 9;
// How far back a deflate stream may refer: a piece is primed with this
// much of the data before it.
constexpr std::size_t DEFLATE_WINDOW_BYTES = 32 * 1024;

// CRC-32 of `data` continuing `crc` (0 to start).
std::uint32_t crc32Of(std::uint32_t crc, std::span<const unsigned char> data);
// CRC-32 of two pieces joined, from the CRCs of each and the second's length.
std::uint32_t crc32Joined(std::uint32_t first, std::uint32_t second, std::uint64_t secondBytes);

// One worker's compressors at one level; each is made on first use. The
// output depends only on the level and the input, never on which worker
// or in which order, so images are the same whatever the number of workers.
class EntryCompressor {
public:
    explicit EntryCompressor(int level);
    EntryCompressor(const EntryCompressor &) = delete;
    EntryCompressor &operator=(const EntryCompressor &) = delete;
    ~EntryCompressor();

    // Deflates all of `in` into `out` and returns true; returns false, with
    // `out` empty, when deflating would not make it smaller (or the level is
    // 0), so that the entry is stored.
    bool compressWhole(std::span<const unsigned char> in, ByteBuffer &out);

    // Deflates `piece`, the part of a large entry that follows `window` (the
    // DEFLATE_WINDOW_BYTES before it, fewer at the start), into `out`. Unless
    // `last`, the output ends on a byte boundary without ending the stream,
    // so that the outputs of all pieces joined in order are one deflate
    // stream of the whole entry. A piece that does not shrink goes in stored
    // blocks of that stream. Needs a level of 1 or more. Throws
    // PackError when zlib fails.
    void compressPiece(std::span<const unsigned char> window, std::span<const unsigned char> piece, bool last,
                       ByteBuffer &out);

private:
    // False when even the fastest level cannot make `in` smaller: random or
    // already compressed data, which the chosen level would only spend time
    // on before it is stored anyway. `scratch` receives the probe's output.
    bool shrinksAtFastestLevel(std::span<const unsigned char> in, ByteBuffer &scratch);

    int level_;
    libdeflate_compressor *whole_ = nullptr;
    libdeflate_compressor *probe_ = nullptr;
    std::unique_ptr<z_stream_s> pieces_;
};

} // namespace mkportable

#endif
