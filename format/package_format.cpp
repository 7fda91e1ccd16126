#include "package_format.h"

#include "common/little_endian.h"

#include <cstring>

using portable::readLe32;
using portable::writeLe32;

namespace {

constexpr int DIR_IMAGE_SIZE_0 = 20 + PKG_VARIANT_FIELD_SIZE;                   // 280
constexpr int DIR_IMAGE_SIZE_1 = DIR_IMAGE_SIZE_0 + 4 + PKG_VARIANT_FIELD_SIZE; // 544
constexpr int REC_COMMAND = 12;
constexpr int REC_ARGUMENTS = REC_COMMAND + RECORD_COMMAND_SIZE;         // 140
constexpr int REC_ALWAYS_APPEND = REC_ARGUMENTS + RECORD_ARGUMENTS_SIZE; // 396

static_assert(DIR_IMAGE_SIZE_1 + 4 == PKG_DIRECTORY_SIZE);
static_assert(REC_ALWAYS_APPEND + 4 == COMMAND_RECORD_SIZE);

void copyField(char *dst, const unsigned char *src, int width)
{
    std::memcpy(dst, src, width);
    dst[width] = '\0';
}

void storeField(unsigned char *dst, const char *src, int width)
{
    std::memset(dst, 0, width);
    std::memcpy(dst, src, strnlen(src, width));
}

} // namespace

void decodePackageDirectory(const unsigned char raw[PKG_DIRECTORY_SIZE], PackageDirectory *out)
{
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i)
        out->elementSize[i] = readLe32(raw + 4 * i);
    out->imageSize[0] = readLe32(raw + DIR_IMAGE_SIZE_0);
    out->imageSize[1] = readLe32(raw + DIR_IMAGE_SIZE_1);
}

void encodePackageDirectory(const PackageDirectory &dir, unsigned char raw[PKG_DIRECTORY_SIZE])
{
    std::memset(raw, 0, PKG_DIRECTORY_SIZE);
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i)
        writeLe32(raw + 4 * i, dir.elementSize[i]);
    writeLe32(raw + DIR_IMAGE_SIZE_0, dir.imageSize[0]);
    writeLe32(raw + DIR_IMAGE_SIZE_1, dir.imageSize[1]);
}

void decodeGlobalInfo(const unsigned char *raw, uint32_t size, GlobalInfo *out)
{
    unsigned char full[GLOBAL_INFO_SIZE] = {};
    std::memcpy(full, raw, size < GLOBAL_INFO_SIZE ? size : GLOBAL_INFO_SIZE);
    out->commandCount = int32_t(readLe32(full));
    out->strictPlatformMatch = int32_t(readLe32(full + 4));
}

void encodeGlobalInfo(const GlobalInfo &info, unsigned char raw[GLOBAL_INFO_SIZE])
{
    writeLe32(raw, uint32_t(info.commandCount));
    writeLe32(raw + 4, uint32_t(info.strictPlatformMatch));
}

void decodeCommandRecord(const unsigned char raw[COMMAND_RECORD_SIZE], CommandRecord *out)
{
    out->distribution = int32_t(readLe32(raw));
    out->release = int32_t(readLe32(raw + 4));
    out->architecture = int32_t(readLe32(raw + 8));
    copyField(out->command, raw + REC_COMMAND, RECORD_COMMAND_SIZE);
    copyField(out->arguments, raw + REC_ARGUMENTS, RECORD_ARGUMENTS_SIZE);
    out->alwaysAppendArguments = int32_t(readLe32(raw + REC_ALWAYS_APPEND));
}

void encodeCommandRecord(const CommandRecord &rec, unsigned char raw[COMMAND_RECORD_SIZE])
{
    writeLe32(raw, uint32_t(rec.distribution));
    writeLe32(raw + 4, uint32_t(rec.release));
    writeLe32(raw + 8, uint32_t(rec.architecture));
    storeField(raw + REC_COMMAND, rec.command, RECORD_COMMAND_SIZE);
    storeField(raw + REC_ARGUMENTS, rec.arguments, RECORD_ARGUMENTS_SIZE);
    writeLe32(raw + REC_ALWAYS_APPEND, uint32_t(rec.alwaysAppendArguments));
}
