#include "entry_name.h"

#include <climits>

namespace {

// Calls `each` with every component of `path` except empty and "." ones;
// stops and returns the first non-null result of `each`.
template <class Fn>
const char *forEachComponent(std::string_view path, Fn each)
{
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".") {
            if (const char *why = each(part))
                return why;
        }
        start = end + 1;
    }
    return nullptr;
}

} // namespace

const char *parseEntryName(std::string_view raw, EntryPath &out)
{
    out.parts.clear();
    out.endsWithSlash = false;
    if (raw.empty())
        return "the entry has an empty name";
    if (raw.find('\0') != std::string_view::npos)
        return "the name holds a NUL byte";
    if (raw.front() == '/')
        return "the name is absolute";
    if (raw.size() >= PATH_MAX)
        return "the name is PATH_MAX (4096) bytes or longer";
    const char *why = forEachComponent(raw, [&](std::string_view part) -> const char * {
        if (part == "..")
            return "the name has a '..' component";
        if (part.size() > NAME_MAX)
            return "a component of the name is longer than NAME_MAX (255 bytes)";
        out.parts.emplace_back(part);
        return nullptr;
    });
    if (why) {
        out.parts.clear();
        return why;
    }
    out.endsWithSlash = raw.back() == '/';
    return nullptr;
}

const char *checkLinkTarget(std::string_view target, size_t linkDepth)
{
    if (target.empty())
        return "the link target is empty";
    if (target.find('\0') != std::string_view::npos)
        return "the link target holds a NUL byte";
    if (target.front() == '/')
        return "the link target is absolute";
    size_t ups = 0;
    bool sawName = false;
    return forEachComponent(target, [&](std::string_view part) -> const char * {
        if (part != "..") {
            sawName = true;
            return nullptr;
        }
        if (sawName)
            return "the link target has '..' after a name";
        if (++ups > linkDepth)
            return "the link target leads out of the target directory";
        return nullptr;
    });
}
