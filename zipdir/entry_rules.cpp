#include "entry_rules.h"

namespace {

constexpr uint16_t kFlagEncrypted = 1;

} // namespace

std::string methodName(uint16_t method)
{
    struct Known {
        uint16_t method;
        const char *name;
    };
    // The methods that zippers write in practice.
    static const Known known[] = {
        {0, "stored"},   {1, "shrink"}, {6, "implode"},         {8, "deflate"}, {9, "deflate64"},
        {12, "bzip2"},   {14, "LZMA"},  {93, "zstd"},           {95, "xz"},     {96, "JPEG"},
        {97, "WavPack"}, {98, "PPMd"},  {99, "AES encryption"},
    };
    for (const Known &k : known)
        if (k.method == method)
            return std::string(k.name) + " (method " + std::to_string(method) + ")";
    return "method " + std::to_string(method);
}

std::string dataRefusal(const ZipEntry &entry)
{
    if (entry.flags & kFlagEncrypted)
        return "encrypted entries are not supported";
    if (entry.method != kMethodStored && entry.method != kMethodDeflated && entry.method != kMethodBzip2)
        return "unsupported compression " + methodName(entry.method);
    return {};
}

std::string checkEntry(const ZipEntry &entry, CheckedEntry &out)
{
    if (const char *why = parseEntryName(entry.name, out.path))
        return why;
    if (std::string why = dataRefusal(entry); !why.empty())
        return why;
    out.mode = entryModeOf(entry.versionMadeBy, entry.externalAttrs, out.path.endsWithSlash);
    if (out.mode.kind != EntryKind::Directory && out.path.parts.empty())
        return "the name does not name a file";
    return {};
}
