// Symbolic links of a directory image that miniunz would refuse to create:
// absolute ones and ones that climb out of the unpacked tree. build refuses
// them, or, when asked, packs what they point at in their place.
#ifndef MKPORTABLE_EXTERNAL_LINKS_H
#define MKPORTABLE_EXTERNAL_LINKS_H

#include "tree_scan.h"

#include <filesystem>
#include <ostream>
#include <vector>

namespace mkportable {

struct LinkPolicy {
    // Pack the file, or the directory's contents, that a refused link
    // points at instead of failing.
    bool copyExternal = false;
    // Where to say which links were replaced; null for silence.
    std::ostream *notes = nullptr;
    // What to leave out of a copied directory, as of the image itself.
    ScanFilter filter;
};

// Checks every link of `entries` (scanTree of `root`) against the link
// rule miniunz applies. Without policy.copyExternal a refused link throws
// PackError naming the link, its target and why. With it, a refused link to
// a file becomes that file, one to a directory becomes a directory holding
// the target's contents (whose links are checked the same way), and each
// replacement gets a line on policy.notes. A dangling link, and a link to a
// directory that holds the link itself, the image root or a directory being
// copied (which would copy without end), stay errors. Returns the entries
// sorted by name.
std::vector<TreeEntry> applyLinkRule(std::vector<TreeEntry> entries, const std::filesystem::path &root,
                                     const LinkPolicy &policy);

} // namespace mkportable

#endif
