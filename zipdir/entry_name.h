// Entry names and link targets: which place below the target directory an
// archive entry may take. Purely lexical; the file system is never consulted.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// An accepted entry name, split into the components it names below the
// target directory. Empty and "." components are dropped, so "a//./b" is
// {"a", "b"}; `parts` is empty for names like "./" that name the target itself.
struct EntryPath {
    std::vector<std::string> parts;
    bool endsWithSlash = false; // the name ends in '/': the entry is a directory
};

// Checks the raw entry name `raw` (its exact bytes, as long as the archive
// records) and on acceptance fills `out` and returns nullptr. Otherwise
// returns why the name is refused: it is empty, holds a NUL byte, is
// absolute, is PATH_MAX bytes or longer, has a ".." component, or has a
// component longer than NAME_MAX. The PATH_MAX bound also bounds how deep
// one entry can make extraction walk.
const char *parseEntryName(std::string_view raw, EntryPath &out);

// Checks the target of a symbolic link entry whose own directory lies
// `linkDepth` components below the target directory. Accepts (nullptr) only
// a relative target of the form "../../name/name": any ".." stand at the
// front, where they climb through real directories that extraction created,
// and are no more than `linkDepth`. A ".." after a name is refused because
// that name may itself be a link and the kernel would climb from where it
// points. Otherwise returns why the target is refused.
const char *checkLinkTarget(std::string_view target, size_t linkDepth);
