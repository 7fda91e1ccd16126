// Whole-entry inflating and the CRC-32, on streams made here with zlib.
#include "common/fd_io.h"
#include "entry_data.h"
#include "harness.h"
#include "inflate.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <zlib.h>

namespace {

TEST(WholeInflater, ResultsForEveryShapeOfStream)
{
    const std::string text = std::string(100000, 'a') + noise(50000, 9);
    const std::string packed = deflateRaw(text);
    const std::string stored = deflateRaw(text, 0);
    struct Case {
        const char *label;
        std::string stream;
        size_t outSize;
        InflateResult result;
        size_t produced; // checked for Short
    } cases[] = {
        {"exact", packed, text.size(), InflateResult::Ok, 0},
        {"stored blocks", stored, text.size(), InflateResult::Ok, 0},
        {"room for one byte more", packed, text.size() + 1, InflateResult::Short, text.size()},
        {"one byte too little room", packed, text.size() - 1, InflateResult::TooLong, 0},
        {"no room", packed, 0, InflateResult::TooLong, 0},
        {"empty stream", deflateRaw(""), 0, InflateResult::Ok, 0},
        {"empty stream, room for more", deflateRaw(""), 10, InflateResult::Short, 0},
        {"cut in half", packed.substr(0, packed.size() / 2), text.size(), InflateResult::BadData, 0},
        {"cut by one byte", packed.substr(0, packed.size() - 1), text.size(), InflateResult::BadData, 0},
        {"no input", "", text.size(), InflateResult::BadData, 0},
        {"not deflate", std::string(64, '\xff'), text.size(), InflateResult::BadData, 0},
    };
    WholeInflater inflater; // one inflater for all: each call starts afresh
    for (const Case &c : cases) {
        std::string out(c.outSize, '\0');
        size_t produced = 12345;
        InflateResult r = inflater.inflate(c.stream.data(), c.stream.size(), out.data(), out.size(), produced);
        EXPECT_EQ((int)r, (int)c.result) << c.label;
        if (r == InflateResult::Ok) {
            EXPECT_EQ(out, text.substr(0, c.outSize)) << c.label;
        }
        if (c.result == InflateResult::Short) {
            EXPECT_EQ(produced, c.produced) << c.label;
        }
    }
}

TEST(WholeInflater, TrailingBytesAfterTheStreamAreIgnored)
{
    const std::string text = "payload payload payload";
    std::string stream = deflateRaw(text) + "trailing";
    std::string out(text.size(), '\0');
    size_t produced = 0;
    WholeInflater inflater;
    EXPECT_EQ((int)inflater.inflate(stream.data(), stream.size(), out.data(), out.size(), produced),
              (int)InflateResult::Ok);
    EXPECT_EQ(out, text);
}

TEST(Crc32, MatchesZlibInPiecesAndWhole)
{
    EXPECT_EQ(crc32Update(0, "123456789", 9), 0xCBF43926u); // the check value of CRC-32
    EXPECT_EQ(crc32Update(0, "", 0), 0u);
    const std::string data = noise(1 << 20, 4);
    uint32_t whole = crc32Update(0, data.data(), data.size());
    EXPECT_EQ(whole, (uint32_t)crc32(0, (const Bytef *)data.data(), (uInt)data.size()));
    for (size_t cut : {1ul, 4095ul, 65536ul, data.size() - 1}) {
        uint32_t pieces = crc32Update(crc32Update(0, data.data(), cut), data.data() + cut, data.size() - cut);
        EXPECT_EQ(pieces, whole) << "cut at " << cut;
    }
}

// A deflated size that a zipper without Zip64 recorded modulo 4 GiB: the
// data streams on past the recorded size and is taken, with one warning, only
// when it ends a multiple of 4 GiB later with a matching CRC.
TEST(EntryReader, WrappedSizeUnpacksWithAWarning)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "inflating 4 GiB takes minutes under the sanitizers";
#endif
    // 4097 MiB of zeros: a 1 MiB block that starts afresh (full flush),
    // repeated, then the final block.
    constexpr uint64_t kMiB = 1 << 20, kBlocks = 4097, kSize = kBlocks * kMiB;
    const std::string zeros(kMiB, '\0');
    z_stream zs{};
    ASSERT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string block(deflateBound(&zs, kMiB) + 64, '\0'), tail(64, '\0');
    zs.next_in = (Bytef *)zeros.data();
    zs.avail_in = (uInt)kMiB;
    zs.next_out = (Bytef *)block.data();
    zs.avail_out = (uInt)block.size();
    ASSERT_EQ(deflate(&zs, Z_FULL_FLUSH), Z_OK);
    block.resize(block.size() - zs.avail_out);
    zs.next_out = (Bytef *)tail.data();
    zs.avail_out = (uInt)tail.size();
    ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    tail.resize(tail.size() - zs.avail_out);
    deflateEnd(&zs);
    std::string stream;
    for (uint64_t i = 0; i < kBlocks; i++)
        stream += block;
    stream += tail;
    uLong blockCrc = crc32(0, (const Bytef *)zeros.data(), (uInt)kMiB), crc = 0;
    for (uint64_t i = 0; i < kBlocks; i++)
        crc = crc32_combine(crc, blockCrc, (z_off_t)kMiB);
    const std::string path = scratchDir() + "/wrapped.deflate";
    writeFile(path, stream);
    portable::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());

    struct Case {
        const char *label;
        bool sizeMayWrap;
        bool ok;
        uint64_t produced;
        std::string err;
    } cases[] = {
        {"wrapped once", true, true, kSize,
         "miniunz: big: warning: 4296015872 bytes where the archive records 1048576 (a size that "
         "wrapped at 4 GiB); the data is whole and its CRC matches\n"},
        {"a Zip64 size does not wrap", false, false, 2 * kMiB,
         "miniunz: big: more data than the 1048576 bytes the archive records\n"},
    };
    EntryReader reader(fd.get(), kMiB);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        EntryData data{0, stream.size(), kSize % (1ull << 32), (uint32_t)crc, true, false, c.sizeMayWrap};
        uint64_t produced = 0;
        testing::internal::CaptureStderr();
        bool ok = reader.read(data, "big", [&](const char *, size_t size) {
            produced += size;
            return true;
        });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(ok, c.ok);
        EXPECT_LE(produced, c.produced);
        EXPECT_GE(produced, c.ok ? c.produced : kMiB);
    }
}

} // namespace
