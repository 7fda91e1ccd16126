#include "entry_compressor.h"

#include "pack_error.h"

#include <algorithm>
#include <cstring>
#include <libdeflate.h>
#include <new>
#include <string>
#include <zlib.h>

namespace mkportable {

std::uint32_t crc32Of(std::uint32_t crc, std::span<const unsigned char> data)
{
    return libdeflate_crc32(crc, data.data(), data.size());
}

std::uint32_t crc32Joined(std::uint32_t first, std::uint32_t second, std::uint64_t secondBytes)
{
    return std::uint32_t(crc32_combine64(first, second, z_off64_t(secondBytes)));
}

namespace {

// The fastest level, which tells whether data shrinks at all.
constexpr int PROBE_LEVEL = 1;
// The probe tries the start of the data first: when that shrinks, the data
// is taken to be compressible without probing all of it. An entry of no
// more than the sample is tried on its first SMALL_SAMPLE_BYTES: most files
// are that small, and probing all of a text only to deflate it again would
// cost nearly half the time of packing them.
constexpr std::size_t PROBE_SAMPLE_BYTES = 64 * 1024;
constexpr std::size_t SMALL_SAMPLE_BYTES = 4 * 1024;
// A stored block holds at most this many bytes.
constexpr std::size_t STORED_BLOCK_MAX = 65535;

libdeflate_compressor *compressorAt(libdeflate_compressor *&slot, int level)
{
    if (slot == nullptr) {
        slot = libdeflate_alloc_compressor(level);
        if (slot == nullptr)
            throw std::bad_alloc();
    }
    return slot;
}

// Appends `piece` as stored blocks, the last of them final when `last`:
// each starts on a byte boundary, as the pieces before it end.
void appendStoredBlocks(std::span<const unsigned char> piece, bool last, ByteBuffer &out)
{
    do {
        const std::size_t n = std::min(piece.size(), STORED_BLOCK_MAX);
        const bool final = last && n == piece.size();
        const unsigned char header[5] = {final ? (unsigned char)1 : (unsigned char)0, (unsigned char)(n & 0xff),
                                         (unsigned char)(n >> 8), (unsigned char)(~n & 0xff),
                                         (unsigned char)((~n >> 8) & 0xff)};
        out.insert(out.end(), header, header + sizeof header);
        out.insert(out.end(), piece.begin(), piece.begin() + std::ptrdiff_t(n));
        piece = piece.subspan(n);
    } while (!piece.empty());
}

} // namespace

EntryCompressor::EntryCompressor(int level) : level_(level) {}

EntryCompressor::~EntryCompressor()
{
    if (whole_ != nullptr)
        libdeflate_free_compressor(whole_);
    if (probe_ != nullptr)
        libdeflate_free_compressor(probe_);
    if (pieces_)
        deflateEnd(pieces_.get());
}

bool EntryCompressor::compressWhole(std::span<const unsigned char> in, ByteBuffer &out)
{
    if (level_ == ZIP_LEVEL_STORED || in.empty() || !shrinksAtFastestLevel(in, out)) {
        out.clear();
        return false;
    }
    // One byte less than the entry: libdeflate gives up (returns 0) as soon
    // as the result would not be smaller, which is then stored.
    out.resize(in.size() - 1);
    const std::size_t size = libdeflate_deflate_compress(compressorAt(whole_, level_), in.data(), in.size(), out.data(),
                                                         out.size());
    out.resize(size);
    return size != 0;
}

bool EntryCompressor::shrinksAtFastestLevel(std::span<const unsigned char> in, ByteBuffer &scratch)
{
    if (level_ == PROBE_LEVEL)
        return true; // the real attempt costs no more than the probe
    libdeflate_compressor *probe = compressorAt(probe_, PROBE_LEVEL);
    const auto shrinks = [&](std::span<const unsigned char> data) {
        scratch.resize(data.size() - 1);
        return libdeflate_deflate_compress(probe, data.data(), data.size(), scratch.data(), scratch.size()) != 0;
    };
    const std::size_t sample = in.size() > PROBE_SAMPLE_BYTES ? PROBE_SAMPLE_BYTES : SMALL_SAMPLE_BYTES;
    return (in.size() > sample && shrinks(in.first(sample))) || shrinks(in);
}

void EntryCompressor::compressPiece(std::span<const unsigned char> window, std::span<const unsigned char> piece,
                                    bool last, ByteBuffer &out)
{
    if (!piece.empty() && !shrinksAtFastestLevel(piece, out)) {
        out.clear();
        appendStoredBlocks(piece, last, out);
        return;
    }
    z_stream *z = pieces_.get();
    if (z == nullptr) {
        auto fresh = std::make_unique<z_stream_s>();
        std::memset(fresh.get(), 0, sizeof *fresh);
        // Raw deflate: the zip entry is the container.
        const int rc = deflateInit2(fresh.get(), std::min(level_, ZLIB_LEVEL_MAX), Z_DEFLATED, -MAX_WBITS, 8,
                                    Z_DEFAULT_STRATEGY);
        if (rc == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (rc != Z_OK)
            throw PackError("deflateInit2 failed with zlib error " + std::to_string(rc));
        pieces_ = std::move(fresh);
        z = pieces_.get();
    } else if (deflateReset(z) != Z_OK) {
        throw PackError("deflateReset failed");
    }
    if (!window.empty() && deflateSetDictionary(z, window.data(), uInt(window.size())) != Z_OK)
        throw PackError("deflateSetDictionary failed");

    // A sync flush ends the piece with an empty stored block, which aligns
    // it to a byte; the bound leaves room for it.
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    out.resize(deflateBound(z, uLong(piece.size())) + 16);
    z->next_in = const_cast<unsigned char *>(piece.data());
    z->avail_in = uInt(piece.size());
    std::size_t used = 0;
    for (;;) {
        z->next_out = out.data() + used;
        z->avail_out = uInt(out.size() - used);
        const int rc = deflate(z, flush);
        used = out.size() - z->avail_out;
        if (rc == Z_STREAM_END || (rc == Z_OK && !last && z->avail_in == 0 && z->avail_out != 0))
            break;
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            throw PackError("deflate failed with zlib error " + std::to_string(rc));
        out.resize(out.size() * 2);
    }
    out.resize(used);
}

} // namespace mkportable
