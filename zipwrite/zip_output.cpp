#include "zip_output.h"

#include "common/little_endian.h"
#include "pack_error.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace mkportable {

namespace {

constexpr std::uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;
constexpr std::uint32_t CENTRAL_HEADER_SIGNATURE = 0x02014b50;
constexpr std::uint32_t END_RECORD_SIGNATURE = 0x06054b50;
constexpr std::size_t LOCAL_HEADER_BYTES = 30;
// Where the local header keeps the method, followed by the fields that
// common() writes.
constexpr std::size_t LOCAL_METHOD_AT = 8;
constexpr unsigned VERSION_NEEDED = 20; // deflate
constexpr unsigned METHOD_STORED = 0;
constexpr unsigned METHOD_DEFLATED = 8;
// Headers and small entries gather here; the archive reaches the file in
// writes of this size.
constexpr std::size_t BUFFER_BYTES = 1 << 20;

// Little-endian header fields, appended to a header under construction.
struct Fields {
    std::vector<unsigned char> bytes;

    Fields &u16(unsigned v)
    {
        unsigned char raw[2];
        portable::writeLe16(raw, std::uint16_t(v));
        bytes.insert(bytes.end(), raw, raw + sizeof raw);
        return *this;
    }
    Fields &u32(std::uint64_t v)
    {
        unsigned char raw[4];
        portable::writeLe32(raw, std::uint32_t(v));
        bytes.insert(bytes.end(), raw, raw + sizeof raw);
        return *this;
    }
    Fields &text(const std::string &s)
    {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
};

unsigned methodOf(const ZipEntryData &data)
{
    return data.deflated ? METHOD_DEFLATED : METHOD_STORED;
}

// Method, then the DOS time and date, CRC and sizes: the part that the local
// and central headers share.
Fields &common(Fields &f, const ZipEntryData &data, std::uint32_t dosDateTime)
{
    return f.u16(methodOf(data))
        .u16(dosDateTime & 0xffff)
        .u16(dosDateTime >> 16)
        .u32(data.crc)
        .u32(data.compressedSize)
        .u32(data.size);
}

} // namespace

void checkEntryCount(const std::string &name, std::size_t count)
{
    if (count > ZIP_MAX_ENTRIES)
        throw PackError(name + " would hold " + std::to_string(count) + " entries, more than the " +
                        std::to_string(ZIP_MAX_ENTRIES) + " that an image can hold");
}

ZipOutput::ZipOutput(int fd, std::string name, std::uint32_t dosDateTime, std::uint64_t sizeLimit)
    : fd_(fd), name_(std::move(name)), dosDateTime_(dosDateTime), limit_(std::min(sizeLimit, ZIP_MAX_ENTRY_BYTES))
{
    base_ = lseek(fd_, 0, SEEK_CUR);
    if (base_ < 0)
        throwSystemError("lseek(" + name_ + ")", errno);
    buffer_.reserve(BUFFER_BYTES);
}

void ZipOutput::failWrite(const std::string &what, int error) const
{
    throwSystemError(what + "(" + name_ + ")", error);
}

void ZipOutput::flush()
{
    writeAll(fd_, buffer_.data(), buffer_.size(), name_);
    buffer_.clear();
}

void ZipOutput::put(const void *data, std::size_t size)
{
    if (size > limit_ - pos_) {
        const std::string where = entries_.empty() ? name_ : name_ + ": " + entries_.back().name;
        throw PackError(where + ": the image would exceed " + std::to_string(limit_) +
                        " bytes, more than a package can hold");
    }
    pos_ += size;
    if (buffer_.size() + size > BUFFER_BYTES) {
        flush();
        if (size >= BUFFER_BYTES) {
            writeAll(fd_, data, size, name_);
            return;
        }
    }
    const auto *bytes = static_cast<const unsigned char *>(data);
    buffer_.insert(buffer_.end(), bytes, bytes + size);
}

void ZipOutput::beginEntry(const std::string &entryName, mode_t mode, const ZipEntryData &data)
{
    checkEntryCount(name_, entries_.size() + 1);
    entries_.push_back({entryName, mode, pos_, data});
    Fields f;
    f.u32(LOCAL_HEADER_SIGNATURE).u16(VERSION_NEEDED).u16(0);
    common(f, data, dosDateTime_).u16(unsigned(entryName.size())).u16(0).text(entryName);
    put(f.bytes.data(), f.bytes.size());
}

void ZipOutput::write(const void *data, std::size_t size)
{
    put(data, size);
}

void ZipOutput::restartStored()
{
    Entry &entry = entries_.back();
    flush();
    pos_ = entry.offset + LOCAL_HEADER_BYTES + entry.name.size();
    if (lseek(fd_, base_ + off_t(pos_), SEEK_SET) < 0)
        failWrite("lseek", errno);
    entry.data.deflated = false;
}

void ZipOutput::endEntry(const ZipEntryData &data)
{
    Entry &entry = entries_.back();
    const ZipEntryData written = entry.data;
    entry.data = data;
    if (methodOf(written) == methodOf(data) && written.crc == data.crc &&
        written.compressedSize == data.compressedSize && written.size == data.size)
        return;
    // The header went out before the data's sums were known.
    flush();
    Fields f;
    common(f, data, dosDateTime_);
    const off_t at = base_ + off_t(entry.offset + LOCAL_METHOD_AT);
    if (pwrite(fd_, f.bytes.data(), f.bytes.size(), at) != ssize_t(f.bytes.size()))
        failWrite("pwrite", errno != 0 ? errno : EIO);
}

void ZipOutput::finish()
{
    const std::uint64_t directoryAt = pos_;
    for (const Entry &entry : entries_) {
        Fields f;
        f.u32(CENTRAL_HEADER_SIGNATURE).u16(ZIP_VERSION_MADE_BY).u16(VERSION_NEEDED).u16(0);
        common(f, entry.data, dosDateTime_)
            .u16(unsigned(entry.name.size()))
            .u16(0) // extra field
            .u16(0) // comment
            .u16(0) // disk
            .u16(0) // internal attributes
            .u32(std::uint64_t(entry.mode) << 16)
            .u32(entry.offset)
            .text(entry.name);
        put(f.bytes.data(), f.bytes.size());
    }
    Fields end;
    end.u32(END_RECORD_SIGNATURE)
        .u16(0)
        .u16(0)
        .u16(unsigned(entries_.size()))
        .u16(unsigned(entries_.size()))
        .u32(pos_ - directoryAt)
        .u32(directoryAt)
        .u16(0);
    put(end.bytes.data(), end.bytes.size());
    flush();
}

} // namespace mkportable
