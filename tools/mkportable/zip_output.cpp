#include "zip_output.h"

#include "pack_error.h"

#include <cerrno>
#include <cstring>
#include <minizip/zip.h>
#include <unistd.h>

namespace mkportable {

namespace {

// minizip reaches the file only through these callbacks. The stream is the
// FILE that the constructor opened; writes are refused past the size limit
// so that a huge tree cannot fill the disk before the package is refused.
voidpf ZCALLBACK openStream(voidpf opaque, const void *, int)
{
    return static_cast<ZipOutput::Stream *>(opaque)->file;
}

uLong ZCALLBACK writeStream(voidpf opaque, voidpf stream, const void *buf, uLong size)
{
    auto *state = static_cast<ZipOutput::Stream *>(opaque);
    FILE *file = static_cast<FILE *>(stream);
    off_t pos = ftello(file);
    if (pos < 0) {
        state->writeErrno = errno;
        return 0;
    }
    if (std::uint64_t(pos) + size > state->limit) {
        state->overLimit = true;
        return 0;
    }
    std::size_t written = fwrite(buf, 1, size, file);
    if (written != size)
        state->writeErrno = errno != 0 ? errno : EIO;
    return uLong(written);
}

int ZCALLBACK closeStream(voidpf opaque, voidpf stream)
{
    auto *state = static_cast<ZipOutput::Stream *>(opaque);
    state->closed = true;
    if (fclose(static_cast<FILE *>(stream)) != 0) {
        state->writeErrno = errno;
        return -1;
    }
    return 0;
}

} // namespace

ZipOutput::ZipOutput(int fd, std::string name, std::uint32_t dosDateTime, std::uint64_t sizeLimit)
    : name_(std::move(name)), dosDateTime_(dosDateTime)
{
    int copy = dup(fd);
    if (copy < 0)
        throwSystemError("dup(" + name_ + ")", errno);
    stream_.file = fdopen(copy, "wb");
    if (stream_.file == nullptr) {
        int err = errno;
        close(copy);
        throwSystemError("fdopen(" + name_ + ")", err);
    }
    stream_.limit = sizeLimit;

    zlib_filefunc64_def funcs;
    fill_fopen64_filefunc(&funcs);
    funcs.zopen64_file = openStream;
    funcs.zwrite_file = writeStream;
    funcs.zclose_file = closeStream;
    funcs.opaque = &stream_;
    zip_ = zipOpen2_64(name_.c_str(), APPEND_STATUS_CREATE, nullptr, &funcs);
    if (zip_ == nullptr) {
        if (!stream_.closed)
            fclose(stream_.file);
        throw PackError("zipOpen2_64(" + name_ + ") failed");
    }
}

ZipOutput::~ZipOutput()
{
    if (zip_ != nullptr)
        zipClose(zip_, nullptr);
    if (!stream_.closed)
        fclose(stream_.file);
}

void ZipOutput::check(int rc, const std::string &call)
{
    if (rc == ZIP_OK)
        return;
    std::string what = call + "(" + name_ + (entry_.empty() ? "" : ": " + entry_) + ")";
    if (stream_.overLimit)
        throw PackError(what + ": the image would exceed " + std::to_string(stream_.limit) +
                        " bytes, more than a package can hold");
    if (stream_.writeErrno != 0)
        throwSystemError(what, stream_.writeErrno);
    throw PackError(what + " failed with minizip error " + std::to_string(rc));
}

void ZipOutput::beginEntry(const std::string &entryName, mode_t mode, bool deflate)
{
    entry_ = entryName;
    entryBytes_ = 0;
    zip_fileinfo info{};
    info.dosDate = dosDateTime_;
    info.external_fa = uLong(mode) << 16;
    const int method = deflate ? Z_DEFLATED : 0;
    const int level = deflate ? Z_DEFAULT_COMPRESSION : 0;
    check(zipOpenNewFileInZip4_64(zip_, entryName.c_str(), &info, nullptr, 0, nullptr, 0,
                                  nullptr, method, level, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                  Z_DEFAULT_STRATEGY, nullptr, 0, ZIP_VERSION_MADE_BY, 0, 0),
          "zipOpenNewFileInZip4_64");
}

void ZipOutput::write(const void *data, std::size_t size)
{
    if (size > ZIP_MAX_ENTRY_BYTES - entryBytes_)
        throw PackError(name_ + ": " + entry_ + " is larger than " +
                        std::to_string(ZIP_MAX_ENTRY_BYTES) +
                        " bytes, more than an image entry can hold");
    entryBytes_ += size;
    check(zipWriteInFileInZip(zip_, data, unsigned(size)), "zipWriteInFileInZip");
}

void ZipOutput::endEntry()
{
    check(zipCloseFileInZip(zip_), "zipCloseFileInZip");
    entry_.clear();
}

void ZipOutput::finish()
{
    void *zip = zip_;
    zip_ = nullptr;
    check(zipClose(zip, nullptr), "zipClose");
}

} // namespace mkportable
