#include "zip_fixture.h"

#include "package_fixture.h" // readFile, writeFile

#include <bzlib.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <stdexcept>
#include <sys/stat.h>

namespace {

constexpr unsigned long kMadeByUnix = (3 << 8) | 20;  // host Unix, zip 2.0
constexpr unsigned long kMadeByMsDos = (0 << 8) | 20; // host MS-DOS, zip 2.0
constexpr unsigned long kDosDirectoryAttr = 0x10;

void check(bool ok, const std::string &what)
{
    if (!ok)
        throw std::runtime_error("writeZip: " + what);
}

unsigned long externalAttrs(const ZipEntrySpec &e)
{
    unsigned long dosAttrs = e.kind == ZipEntrySpec::Dir ? kDosDirectoryAttr : 0;
    if (!e.unixMode)
        return dosAttrs;
    unsigned long type = e.kind == ZipEntrySpec::Dir ? S_IFDIR : e.kind == ZipEntrySpec::Symlink ? S_IFLNK : S_IFREG;
    return ((type | (e.mode & 07777)) << 16) | dosAttrs;
}

std::string bzip2(const std::string &data)
{
    unsigned size = (unsigned)(data.size() + data.size() / 100 + 600);
    std::string out(size, '\0');
    check(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char *>(data.data()), (unsigned)data.size(), 9, 0,
                                   0) == BZ_OK,
          "BZ2_bzBuffToBuffCompress");
    out.resize(size);
    return out;
}

// The Unicode Path extra field: version 1, the CRC of the recorded name,
// the UTF-8 name.
std::string unicodePathField(const ZipEntrySpec &e)
{
    if (e.unicodeName.empty())
        return "";
    std::string field(9, '\0');
    putLe(field, 0, 2, 0x7075);
    putLe(field, 2, 2, 5 + e.unicodeName.size());
    field[4] = 1;
    putLe(field, 5, 4, crc32(0, (const Bytef *)e.name.data(), (uInt)e.name.size()));
    return field + e.unicodeName;
}

void addEntry(zipFile zf, const ZipEntrySpec &e)
{
    zip_fileinfo info{};
    info.tmz_date = e.time1980 ? tm_zip{0, 0, 0, 1, 0, 1980} : tm_zip{0, 0, 12, 1, 0, 2020};
    info.external_fa = externalAttrs(e);
    const std::string &data = e.kind == ZipEntrySpec::Dir ? std::string() : e.data;
    bool raw = e.damage != ZipEntrySpec::Intact || e.bzip2;
    check(!raw || e.repeat == 1, "a damaged entry cannot repeat its data");
    // minizip refuses method 12 (bzip2): writeZip sets it once the file is whole.
    int method = e.kind == ZipEntrySpec::Dir || e.stored ? 0 : Z_DEFLATED;
    const std::string extra = unicodePathField(e);
    int rc = zipOpenNewFileInZip4_64(zf, e.name.c_str(), &info, extra.data(), (uInt)extra.size(), extra.data(),
                                     (uInt)extra.size(), nullptr, method, Z_DEFAULT_COMPRESSION, raw, -MAX_WBITS, 8,
                                     Z_DEFAULT_STRATEGY, nullptr, 0, e.unixMode ? kMadeByUnix : kMadeByMsDos, 0, 0);
    check(rc == ZIP_OK, "zipOpenNewFileInZip4_64 " + std::to_string(rc) + " for an entry of " +
                            std::to_string(e.name.size()) + " name bytes");
    if (!raw) {
        for (size_t i = 0; i < e.repeat; i++)
            check(zipWriteInFileInZip(zf, data.data(), (unsigned)data.size()) == ZIP_OK, "zipWriteInFileInZip");
        check(zipCloseFileInZip(zf) == ZIP_OK, "zipCloseFileInZip");
        return;
    }
    std::string packed = e.damage == ZipEntrySpec::BadDeflate ? std::string(16, '\xff')
                         : e.bzip2                            ? bzip2(data)
                         : e.stored                           ? data
                                                              : deflateRaw(data);
    uLong crc = crc32(0, (const Bytef *)data.data(), (uInt)data.size());
    uint64_t size = data.size();
    if (e.damage == ZipEntrySpec::BadCrc)
        crc ^= 0x5a5a5a5a;
    else if (e.damage == ZipEntrySpec::ShortSize)
        size -= 1;
    else if (e.damage == ZipEntrySpec::LongSize)
        size += 1;
    check(zipWriteInFileInZip(zf, packed.data(), (unsigned)packed.size()) == ZIP_OK, "zipWriteInFileInZip (raw)");
    check(zipCloseFileInZipRaw64(zf, size, crc) == ZIP_OK, "zipCloseFileInZipRaw64");
}

} // namespace

ZipEntrySpec fileEntry(const std::string &name, const std::string &data, unsigned mode)
{
    return {name, data, mode, ZipEntrySpec::File};
}

ZipEntrySpec dirEntry(const std::string &name, unsigned mode)
{
    return {name, "", mode, ZipEntrySpec::Dir};
}

ZipEntrySpec linkEntry(const std::string &name, const std::string &target)
{
    return {name, target, 0777, ZipEntrySpec::Symlink};
}

void writeZip(const std::string &path, const std::vector<ZipEntrySpec> &entries)
{
    zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    check(zf != nullptr, "zipOpen64 " + path);
    try {
        for (const ZipEntrySpec &e : entries)
            addEntry(zf, e);
    } catch (...) {
        zipClose(zf, nullptr);
        throw;
    }
    check(zipClose(zf, nullptr) == ZIP_OK, "zipClose " + path);
    std::string bytes = readFile(path);
    const ZipLayout layout = zipLayout(bytes);
    for (size_t i = 0; i < entries.size(); i++) {
        if (entries[i].bzip2) {
            putLe(bytes, layout.central[i] + 10, 2, Z_BZIP2ED);
            putLe(bytes, layout.local[i] + 8, 2, Z_BZIP2ED);
        }
    }
    writeFile(path, bytes);
}

std::string deflateRaw(const std::string &data, int level)
{
    z_stream zs{};
    check(deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK, "deflateInit2");
    std::string out(deflateBound(&zs, data.size()), '\0');
    zs.next_in = (Bytef *)data.data();
    zs.avail_in = (uInt)data.size();
    zs.next_out = (Bytef *)out.data();
    zs.avail_out = (uInt)out.size();
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    check(rc == Z_STREAM_END, "deflate");
    return out;
}

std::string noise(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = char((seed = seed * 1103515245 + 12345) >> 24);
    return bytes;
}

uint32_t getLe(const std::string &bytes, size_t at, size_t width)
{
    uint32_t value = 0;
    for (size_t i = width; i-- > 0;)
        value = value << 8 | (unsigned char)bytes.at(at + i);
    return value;
}

void putLe(std::string &bytes, size_t at, size_t width, uint64_t value)
{
    for (size_t i = 0; i < width; i++, value >>= 8)
        bytes.at(at + i) = (char)(value & 0xff);
}

ZipLayout zipLayout(const std::string &bytes)
{
    constexpr size_t kEndSize = 22, kCentralSize = 46;
    check(bytes.size() >= kEndSize, "zipLayout: no end record");
    ZipLayout layout;
    layout.end = bytes.size() - kEndSize;
    layout.directory = getLe(bytes, layout.end + 16, 4);
    for (size_t at = layout.directory; at < layout.end;) {
        check(getLe(bytes, at, 4) == 0x02014b50, "zipLayout: no central directory entry");
        layout.central.push_back(at);
        layout.local.push_back(getLe(bytes, at + 42, 4));
        at += kCentralSize + getLe(bytes, at + 28, 2) + getLe(bytes, at + 30, 2) + getLe(bytes, at + 32, 2);
    }
    return layout;
}
