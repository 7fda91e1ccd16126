// Entries that try to reach outside the target directory are refused, the
// rest of the archive still unpacks, and nothing outside changes.
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct HostileCase {
    const char *label;
    std::vector<ZipEntrySpec> entries; // "@ROOT@" in a name is the scratch directory
    std::vector<std::string> refused;  // entry names that must be reported
    bool plantLink = false;            // out/planted -> ../outside exists before the run
};

const HostileCase kCases[] = {
    {"parent", {fileEntry("../x", "evil")}, {"../x"}},
    {"parent inside", {fileEntry("a/../../x", "evil")}, {"a/../../x"}},
    {"absolute", {fileEntry("@ROOT@/abs", "evil")}, {"@ROOT@/abs"}},
    {"directory out", {dirEntry("../d/")}, {"../d/"}},
    {"link absolute", {linkEntry("etc", "/etc"), fileEntry("etc/x", "e")}, {"etc"}},
    {"link up", {linkEntry("up", "../.."), linkEntry("a/up", "../../outside")}, {"up", "a/up"}},
    // d/self is the target itself, so d/self/.. would be its parent.
    {"link chain", {linkEntry("d/self", ".."), linkEntry("d/esc", "self/..")}, {"d/esc"}},
    {"link target too long", {linkEntry("long", std::string(5000, 'a'))}, {"long"}},
    {"through own link",
     {dirEntry("real/"), linkEntry("lnk", "real"), fileEntry("lnk/x", "e"), dirEntry("lnk/d/")},
     {"lnk/x", "lnk/d/"}},
    {"through planted link", {fileEntry("planted/x", "e"), dirEntry("planted/d/")}, {"planted/x", "planted/d/"}, true},
};

std::string withRoot(std::string s, const std::string &root)
{
    if (size_t at = s.find("@ROOT@"); at != std::string::npos)
        s.replace(at, 6, root);
    return s;
}

TEST(MiniunzHostile, EscapesAreRefused)
{
    for (const HostileCase &c : kCases) {
        for (bool overwrite : {false, true}) {
            SCOPED_TRACE(std::string(c.label) + (overwrite ? " with -o" : ""));
            Workspace box;
            std::vector<ZipEntrySpec> entries = c.entries;
            for (ZipEntrySpec &e : entries)
                e.name = withRoot(e.name, box.root);
            entries.push_back(fileEntry("ok.txt", "fine"));
            box.pack(entries);
            fs::create_directory(box.out);
            if (c.plantLink)
                fs::create_directory_symlink("../outside", box.out + "/planted");
            auto before = box.outsideTarget();

            ProgramResult r = box.unpack(overwrite);
            EXPECT_EQ(r.status, 1) << r.err;
            for (const std::string &name : c.refused)
                EXPECT_NE(r.err.find("miniunz: " + withRoot(name, box.root) + ": "), std::string::npos)
                    << name << " not reported in: " << r.err;
            EXPECT_EQ(box.outsideTarget(), before);
            EXPECT_EQ(readFile(box.out + "/ok.txt"), "fine");
            // No link that stays in the target leads anywhere outside it.
            for (auto &p : fs::recursive_directory_iterator(box.out))
                if (p.is_symlink() && p.path().filename() != "planted") {
                    EXPECT_TRUE(fs::canonical(p.path()).string().starts_with(box.out)) << p.path();
                }
        }
    }
}

TEST(MiniunzHostile, LongNamesFailCleanly)
{
    const std::string part200(200, 'p'), part99(99, 'q');
    std::string deep; // 65535 bytes of short components
    while (deep.size() + 2 <= 65535)
        deep += "d/";
    deep += "f";
    struct Case {
        std::string name;
        bool accepted;
    } cases[] = {
        {part200 + "/" + part99, true},   // 300 bytes, components within NAME_MAX
        {std::string(300, 'L'), false},   // one component too long
        {std::string(65535, 'L'), false}, // the longest name a zip can record
        {deep, false},                    // longer than PATH_MAX
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.name.size()) + " bytes, accepted " + std::to_string(c.accepted));
        Workspace box;
        box.pack({fileEntry(c.name, "long"), fileEntry("after.txt", "after")});
        ProgramResult r = box.unpack();
        EXPECT_EQ(r.status, c.accepted ? 0 : 1) << r.err.substr(0, 500);
        if (c.accepted) {
            EXPECT_EQ(readFile(box.out + "/" + c.name), "long");
        } else {
            EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err.substr(0, 500);
            EXPECT_LT(r.err.size(), 1000u) << "the name must be shortened in messages";
            EXPECT_FALSE(fs::exists(box.out + "/d")) << "nothing of a refused name is created";
        }
        EXPECT_EQ(readFile(box.out + "/after.txt"), "after");
    }
}

} // namespace
