// The read/write loops shared with miniunz and the messages that mkportable
// words around them.
#include "common/fd_io.h"
#include "mkportable_test_support.h"
#include "pack_error.h"
#include "unique_fd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <vector>

namespace {

using namespace mkptest;

// What one read or write call returns: a byte count, or -1 with an errno.
struct Call {
    ssize_t result;
    int error = 0;
};

struct LoopCase {
    const char *name;
    std::size_t size;
    std::vector<Call> calls;              // in order; the loop must stop after the last
    std::vector<std::size_t> offsetsSeen; // `done` passed to each call
    std::size_t done;
    int error;
};

TEST(TransferAll, RetriesWhatMayBeRetriedAndStopsOtherwise)
{
    const LoopCase cases[] = {
        {"nothing to move", 0, {}, {}, 0, 0},
        {"all at once", 10, {{10}}, {0}, 10, 0},
        {"short moves continue where they stopped", 10, {{3}, {4}, {3}}, {0, 3, 7}, 10, 0},
        {"interrupted calls are repeated", 10, {{-1, EINTR}, {6}, {-1, EINTR}, {4}}, {0, 0, 6, 6}, 10, 0},
        {"a failure ends the loop", 10, {{4}, {-1, ENOSPC}}, {0, 4}, 4, ENOSPC},
        {"a call that moves nothing ends the loop", 10, {{4}, {0}}, {0, 4}, 4, 0},
    };
    for (const LoopCase &c : cases) {
        std::vector<std::size_t> seen;
        const portable::IoResult r = portable::transferAll(c.size, [&](std::size_t done) {
            seen.push_back(done);
            // A call past the script fails, so that a loop that goes on
            // shows in `seen` instead of hanging.
            const Call call = seen.size() <= c.calls.size() ? c.calls[seen.size() - 1] : Call{-1, ENOTRECOVERABLE};
            errno = call.error;
            return call.result;
        });
        EXPECT_EQ(seen, c.offsetsSeen) << c.name;
        EXPECT_EQ(r.done, c.done) << c.name;
        EXPECT_EQ(r.error, c.error) << c.name;
    }
}

struct FailureCase {
    const char *name;
    std::function<void(const fs::path &dir)> action;
    std::string message;
};

TEST(CheckedIo, NamesTheFileAndTheReason)
{
    // A 4-byte file "abcd" in the scratch folder, opened read-only.
    const auto openFile = [](const fs::path &dir) {
        put(dir / "f", "abcd");
        return portable::UniqueFd(::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC));
    };
    char buffer[8];
    const FailureCase cases[] = {
        {"write to a full disk",
         [&](const fs::path &) {
             portable::UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
             mkportable::writeAll(full.get(), "x", 1, "out.run");
         },
         "cannot write out.run: No space left on device"},
        {"write at an offset through a read-only descriptor",
         [&](const fs::path &dir) { mkportable::writeAllAt(openFile(dir).get(), "x", 1, 2, "out.run"); },
         "cannot write out.run: Bad file descriptor"},
        {"a read at an offset that runs past the end",
         [&](const fs::path &dir) { mkportable::readAllAt(openFile(dir).get(), buffer, 2, 3, "p.run"); },
         "cannot read p.run: the file ended early"},
        {"read from a descriptor open for writing only",
         [&](const fs::path &) {
             portable::UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
             mkportable::readUpTo(null.get(), buffer, 1, "in");
         },
         "cannot read in: Bad file descriptor"},
    };
    for (const FailureCase &c : cases) {
        const fs::path dir = scratchDir();
        try {
            c.action(dir);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const mkportable::PackError &e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.name;
        }
    }
}

} // namespace
