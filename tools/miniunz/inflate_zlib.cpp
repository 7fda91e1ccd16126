#include "inflate.h"

#include <algorithm>
#include <climits>
#include <new>
#include <zlib.h>

struct WholeInflater::State {
    z_stream zs{};
};

WholeInflater::WholeInflater() : state_(new State)
{
    if (inflateInit2(&state_->zs, -MAX_WBITS) != Z_OK)
        throw std::bad_alloc();
}

WholeInflater::~WholeInflater()
{
    inflateEnd(&state_->zs);
}

InflateResult WholeInflater::inflate(const void *in, size_t inSize, void *out, size_t outSize, size_t &produced)
{
    z_stream &zs = state_->zs;
    inflateReset(&zs);
    const Bytef *src = (const Bytef *)in;
    Bytef *dst = (Bytef *)out;
    size_t srcLeft = inSize, dstLeft = outSize;
    // Once `out` is full, one spare byte tells a longer stream from an exact one.
    Bytef spare;
    bool onSpare = false;
    zs.avail_in = zs.avail_out = 0;
    for (;;) {
        if (zs.avail_in == 0) {
            zs.next_in = (Bytef *)src;
            zs.avail_in = (uInt)std::min<size_t>(srcLeft, UINT_MAX);
            src += zs.avail_in;
            srcLeft -= zs.avail_in;
        }
        if (zs.avail_out == 0 && dstLeft > 0) {
            zs.next_out = dst;
            zs.avail_out = (uInt)std::min<size_t>(dstLeft, UINT_MAX);
            dst += zs.avail_out;
            dstLeft -= zs.avail_out;
        } else if (zs.avail_out == 0) {
            onSpare = true;
            zs.next_out = &spare;
            zs.avail_out = 1;
        }
        int rc = ::inflate(&zs, Z_NO_FLUSH);
        if (onSpare && zs.avail_out == 0)
            return InflateResult::TooLong;
        if (rc == Z_STREAM_END)
            break;
        // Z_BUF_ERROR here means the input ran out before the stream ended.
        if (rc != Z_OK)
            return InflateResult::BadData;
    }
    produced = outSize - dstLeft - (onSpare ? 0 : zs.avail_out);
    return produced == outSize ? InflateResult::Ok : InflateResult::Short;
}

uint32_t crc32Update(uint32_t crc, const void *data, size_t size)
{
    return (uint32_t)crc32_z(crc, (const Bytef *)data, size);
}
