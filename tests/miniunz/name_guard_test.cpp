// Which entries may be written at the same time, and how many workers with
// how much memory a machine gets.
#include "extract_pool.h"
#include "name_guard.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> split(const std::string &path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

TEST(NameGuard, NamesAreTheWayAndTheLeafFolded)
{
    EntryNames n = namesOf({"Usr", "LIB", "Tool.So"});
    EXPECT_EQ(n.dirs, (std::vector<std::string>{"usr", "usr/lib"}));
    EXPECT_EQ(n.leaf, "usr/lib/tool.so");
    EXPECT_EQ(namesOf({"a"}).dirs.size(), 0u);
    EXPECT_EQ(namesOf({"\xc3\x84rger"}).leaf, "\xc3\x84rger") << "only ASCII is folded";
    EXPECT_EQ(namesOf({}).leaf, "");
}

struct ConflictCase {
    std::vector<std::string> pending; // entries queued or being written
    std::string entry;                // the next entry
    bool waits;
};

TEST(NameGuard, EntriesThatMeetWait)
{
    const ConflictCase cases[] = {
        {{"a/x"}, "a/y", false},       // siblings share only their directory
        {{"a/x"}, "b/x", false},       // same leaf name, other directory
        {{"a/x"}, "a/x", true},        // duplicate name
        {{"a/x"}, "A/X", true},        // the same on a case-insensitive file system
        {{"a"}, "a/x", true},          // a pending file stands where a directory must go
        {{"a/b/x"}, "a/b", true},      // a file (or link) where a pending entry needs a directory
        {{"a/b/x"}, "a", true},        // likewise, higher up
        {{"a/b/x"}, "a/c/d", false},   // only the directory a is shared
        {{"a/x", "a/y"}, "a/y", true}, // any pending entry counts
        {{}, "a", false},              // nothing pending
        {{"a/b"}, "a/bc", false},      // prefixes of names are not names
        {{"ab/x"}, "a", false},
    };
    for (const ConflictCase &c : cases) {
        NameGuard guard;
        for (const std::string &p : c.pending)
            guard.add(namesOf(split(p)));
        std::string shown = c.entry + " after";
        for (const std::string &p : c.pending)
            shown += " " + p;
        EXPECT_EQ(guard.conflicts(namesOf(split(c.entry))), c.waits) << shown;
    }
}

TEST(NameGuard, RemovingTakesBackOneAdd)
{
    NameGuard guard;
    EntryNames first = namesOf({"d", "f"}), second = namesOf({"d", "g"});
    guard.add(first);
    guard.add(second);
    guard.add(first);
    guard.remove(first);
    EXPECT_TRUE(guard.conflicts(first)) << "added twice, removed once";
    guard.remove(first);
    EXPECT_FALSE(guard.conflicts(first));
    EXPECT_TRUE(guard.conflicts(namesOf({"d"}))) << "d/g still pending";
    guard.remove(second);
    EXPECT_FALSE(guard.conflicts(namesOf({"d"})));
    guard.remove(second); // more removes than adds change nothing
    EXPECT_FALSE(guard.conflicts(second));
}

TEST(PoolShape, WorkersFollowTheProcessorsWithinTheMemoryBudget)
{
    const struct {
        unsigned cpus, workers;
        size_t bufferMiB;
    } cases[] = {
        {0, 1, 8}, {1, 1, 8}, {2, 2, 8}, {3, 3, 5}, {4, 4, 4}, {8, 8, 2}, {16, 16, 1}, {512, 16, 1},
    };
    for (const auto &c : cases) {
        PoolShape shape = poolShape(c.cpus);
        EXPECT_EQ(shape.workers, c.workers) << c.cpus << " processors";
        EXPECT_EQ(shape.bufferSize >> 20, c.bufferMiB) << c.cpus << " processors";
        EXPECT_LE(shape.workers * 2 * shape.bufferSize, 32u << 20) << c.cpus << " processors";
    }
}

} // namespace
