#include "inflate.h"

#include <libdeflate.h>
#include <new>

struct WholeInflater::State {
    libdeflate_decompressor *d;
};

WholeInflater::WholeInflater() : state_(new State{libdeflate_alloc_decompressor()})
{
    if (!state_->d)
        throw std::bad_alloc();
}

WholeInflater::~WholeInflater()
{
    libdeflate_free_decompressor(state_->d);
}

InflateResult WholeInflater::inflate(const void *in, size_t inSize, void *out, size_t outSize, size_t &produced)
{
    size_t inUsed = 0;
    produced = 0;
    switch (libdeflate_deflate_decompress_ex(state_->d, in, inSize, out, outSize, &inUsed, &produced)) {
    case LIBDEFLATE_SUCCESS: return produced == outSize ? InflateResult::Ok : InflateResult::Short;
    case LIBDEFLATE_INSUFFICIENT_SPACE: return InflateResult::TooLong;
    default: return InflateResult::BadData;
    }
}

uint32_t crc32Update(uint32_t crc, const void *data, size_t size)
{
    return libdeflate_crc32(crc, data, size);
}
