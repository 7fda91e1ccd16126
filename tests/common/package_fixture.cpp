#include "package_fixture.h"

#include "digest_record.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

std::string le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = char((v >> (8 * i)) & 0xff);
    return s;
}

std::string globalInfoBytes(int32_t commandCount, int32_t strict)
{
    return le32(uint32_t(commandCount)) + le32(uint32_t(strict));
}

static std::string field(const std::string &text, std::size_t width)
{
    std::string f = text.substr(0, width);
    f.resize(width, '\0');
    return f;
}

std::string commandRecordBytes(int32_t distribution, int32_t release, int32_t architecture, const std::string &command,
                               const std::string &arguments, int32_t alwaysAppend)
{
    std::string rec = le32(uint32_t(distribution)) + le32(uint32_t(release)) + le32(uint32_t(architecture)) +
                      field(command, 128) + field(arguments, 256) + le32(uint32_t(alwaysAppend));
    if (rec.size() != 400)
        throw std::logic_error("command record is not 400 bytes");
    return rec;
}

namespace {

// Writes the sha256-v2 record with `settings` into both variant fields of
// the package `bytes`, the digest computed by the format library's own
// rule through a memory file.
void stampSettings(std::string &bytes, const PackageSettings &settings)
{
    DigestRecord record;
    record.algorithm = DIGEST_SHA256_V2;
    record.settings = settings;
    unsigned char field[PKG_VARIANT_FIELD_SIZE];
    encodeDigestField(record, field);
    for (int which = 0; which < 2; ++which)
        bytes.replace(variantFieldOffset(bytes.size(), which), PKG_VARIANT_FIELD_SIZE, reinterpret_cast<char *>(field),
                      PKG_VARIANT_FIELD_SIZE);
    int fd = memfd_create("package", MFD_CLOEXEC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()) ||
        !packageSha256(fd, bytes.size(), DIGEST_SHA256_V2, record.sha256))
        throw std::runtime_error("cannot take the package digest");
    close(fd);
    encodeDigestField(record, field);
    for (int which = 0; which < 2; ++which)
        bytes.replace(variantFieldOffset(bytes.size(), which), PKG_VARIANT_FIELD_SIZE, reinterpret_cast<char *>(field),
                      PKG_VARIANT_FIELD_SIZE);
}

} // namespace

std::string buildPackage(const PackageSpec &layout)
{
    const std::string *elements[5] = {&layout.launcher, &layout.unzip, &layout.globalInfo, &layout.commands,
                                      &layout.image};
    std::string out;
    std::string directory;
    for (int i = 0; i < 5; ++i) {
        out += *elements[i];
        uint32_t size = layout.recordedSizes ? (*layout.recordedSizes)[i] : uint32_t(elements[i]->size());
        directory += le32(size);
    }
    const std::string field = layout.variantField ? *layout.variantField : std::string(260, '\0');
    directory += field + le32(layout.imageSize[0]) + field + le32(layout.imageSize[1]);
    if (directory.size() != 548)
        throw std::logic_error("package directory is not 548 bytes");
    out += directory;
    out += char(layout.endMarker);
    if (layout.settings)
        stampSettings(out, *layout.settings);
    return out;
}

PackageSpec standardPackage(const std::string &image, const std::string &command, const std::string &arguments,
                            int32_t alwaysAppend)
{
    PackageSpec layout;
    layout.launcher = readFile(LAUNCHER_BIN);
    layout.unzip = readFile(MINIUNZ_BIN);
    layout.globalInfo = globalInfoBytes(1, 0);
    layout.commands = commandRecordBytes(2, 11, 2, command, arguments, alwaysAppend);
    layout.image = image;
    return layout;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const std::string &data, unsigned mode)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            throw std::runtime_error("cannot write " + path);
        out << data;
    }
    chmod(path.c_str(), mode);
}
