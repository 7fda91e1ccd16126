// Harness for the miniunz tests: runs the real program and lays out a
// scratch directory per test.
#pragma once

#include "package_fixture.h" // readFile
#include "sandbox.h"         // scratchDir
#include "zip_fixture.h"

#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

// Runs miniunz (or options.argv[0] when given) the way the launcher does:
// standard input an open pipe that never delivers anything, so that a
// prompt would hang and time out, and umask 022 unless options name one.
// Runs it with `args` in directory `cwd`.
ProgramResult runMiniunz(const std::vector<std::string> &args, const std::string &cwd, ProgramRun options = {});

// One test's scratch layout: ROOT/image.zip is unpacked into ROOT/out, and
// ROOT/outside holds what an escaping entry might hit.
struct Workspace {
    Workspace();
    std::string root, zip, out, outside;

    // Writes `entries` to `zip`.
    void pack(const std::vector<ZipEntrySpec> &entries) const { writeZip(zip, entries); }
    // Runs miniunz [-o] image.zip -d out from `root`.
    ProgramResult unpack(bool overwrite = false, const ProgramRun &options = {}) const;
    // Every path below `root` except those below `out`, with its type, mode,
    // link target or content: equal before and after a run when nothing
    // outside the target was touched.
    std::set<std::string> outsideTarget() const;
};

// Type and permission bits of `path` (not following a link), or 0 if absent.
unsigned modeOf(const std::string &path);
