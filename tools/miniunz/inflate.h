// Decompressing one entry's deflate data held whole in memory, and the CRC-32
// that checks it. Two builds of this interface exist: one on libdeflate
// (whole-buffer inflating, several times faster than a streaming inflate)
// and one on zlib alone, for toolchains that have no libdeflate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

enum class InflateResult {
    Ok,      // the stream ended and filled exactly `outSize` bytes
    TooLong, // the stream holds more than `outSize` bytes
    Short,   // the stream ended after fewer than `outSize` bytes; see `produced`
    BadData, // not a valid deflate stream, or it runs past the input
};

// One decompressor; not shared between threads.
class WholeInflater {
public:
    WholeInflater();
    ~WholeInflater();
    WholeInflater(const WholeInflater &) = delete;
    WholeInflater &operator=(const WholeInflater &) = delete;

    // Inflates the raw deflate stream in[0..inSize) into out[0..outSize).
    // `produced` receives how many bytes came out when the result is Short.
    InflateResult inflate(const void *in, size_t inSize, void *out, size_t outSize, size_t &produced);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Continues the CRC-32 (as zip records it) `crc` over data[0..size).
uint32_t crc32Update(uint32_t crc, const void *data, size_t size);
