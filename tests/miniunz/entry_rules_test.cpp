// The lexical rules that decide where an entry may go and what it is.
#include "entry_kind.h"
#include "entry_name.h"

#include <gtest/gtest.h>

#include <climits>
#include <sys/stat.h>

namespace {

struct NameCase {
    std::string raw;
    std::vector<std::string> parts; // expected parts when accepted
    bool endsWithSlash;
    bool refused;
};

TEST(EntryRules, NamesAreSplitOrRefused)
{
    const std::string longPart(NAME_MAX, 'n');
    std::string deep; // short components, PATH_MAX bytes in all
    while (deep.size() < PATH_MAX)
        deep += "d/";
    const NameCase cases[] = {
        {"a.txt", {"a.txt"}, false, false},
        {"dir/sub/f", {"dir", "sub", "f"}, false, false},
        {"dir/", {"dir"}, true, false},
        {"./a//./b", {"a", "b"}, false, false},
        {"./", {}, true, false},
        {"..a/b..", {"..a", "b.."}, false, false},
        {"back\\slash", {"back\\slash"}, false, false},
        {longPart + "/x", {longPart, "x"}, false, false},
        {"", {}, false, true},
        {"/abs", {}, false, true},
        {"../x", {}, false, true},
        {"a/../../x", {}, false, true},
        {"a/..", {}, false, true},
        {"../d/", {}, false, true},
        {std::string("nul\0byte", 8), {}, false, true},
        {longPart + "n", {}, false, true},
        {deep, {}, false, true},
    };
    for (const NameCase &c : cases) {
        EntryPath path;
        const char *why = parseEntryName(c.raw, path);
        SCOPED_TRACE("name '" + c.raw.substr(0, 40) + "' of " + std::to_string(c.raw.size()) + " bytes");
        EXPECT_EQ(why != nullptr, c.refused) << (why ? why : "accepted");
        if (!c.refused) {
            EXPECT_EQ(path.parts, c.parts);
            EXPECT_EQ(path.endsWithSlash, c.endsWithSlash);
        } else {
            EXPECT_TRUE(path.parts.empty());
        }
    }
}

struct LinkCase {
    std::string target;
    size_t depth; // directories between the target directory and the link
    bool accepted;
};

TEST(EntryRules, LinkTargetsMustStayInside)
{
    const LinkCase cases[] = {
        {"lib.so.1", 0, true},
        {"sub/dir/file", 0, true},
        {".", 0, true},
        {"../x", 1, true},
        {"../../x", 2, true},
        {"./../x", 1, true},
        {"../x", 0, false},
        {"../..", 1, false},
        {"../../../x", 2, false},
        {"/etc", 3, false},
        {"", 1, false},
        {"a/../x", 1, false},
        {"self/..", 0, false},
        {"x/../../y", 5, false},
        {std::string("a\0b", 3), 0, false},
    };
    for (const LinkCase &c : cases) {
        const char *why = checkLinkTarget(c.target, c.depth);
        EXPECT_EQ(why == nullptr, c.accepted)
            << "target '" << c.target << "' at depth " << c.depth << ": " << (why ? why : "accepted");
    }
}

struct ModeCase {
    const char *label;
    unsigned long madeBy, externalAttrs;
    bool slash;
    EntryKind kind;
    mode_t perms;
};

TEST(EntryRules, KindAndModeFromAttributes)
{
    const unsigned long onUnix = 3 << 8, onDos = 0;
    const ModeCase cases[] = {
        {"unix file", onUnix, (S_IFREG | 0750ul) << 16, false, EntryKind::File, 0750},
        {"set-id and sticky dropped", onUnix, (S_IFREG | 07755ul) << 16, false, EntryKind::File, 0755},
        {"unix dir", onUnix, ((S_IFDIR | 0555ul) << 16) | 0x10, true, EntryKind::Directory, 0555},
        {"dir by type alone", onUnix, (S_IFDIR | 0700ul) << 16, false, EntryKind::Directory, 0700},
        {"link", onUnix, (S_IFLNK | 0777ul) << 16, false, EntryKind::Symlink, 0777},
        {"fifo becomes file", onUnix, (S_IFIFO | 0600ul) << 16, false, EntryKind::File, 0600},
        {"unix host, no mode", onUnix, 0, false, EntryKind::File, 0644},
        {"dos file", onDos, 0x20, false, EntryKind::File, 0644},
        {"dos dir attribute", onDos, 0x10, false, EntryKind::Directory, 0755},
        {"dos dir slash", onDos, 0, true, EntryKind::Directory, 0755},
        {"dos host ignores high bits", onDos, (S_IFLNK | 0777ul) << 16, false, EntryKind::File, 0644},
    };
    for (const ModeCase &c : cases) {
        EntryMode m = entryModeOf(c.madeBy | 20, c.externalAttrs, c.slash);
        EXPECT_EQ(m.kind, c.kind) << c.label;
        EXPECT_EQ(m.perms, c.perms) << c.label;
    }
}

} // namespace
