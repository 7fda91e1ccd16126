// What can be known at build time about the program that a record's command
// starts from the image: that it is there and executable, that its machine
// is the record's, and that a pipeline will not get the operator's
// arguments where the maker may think.
#ifndef MKPORTABLE_COMMAND_PROGRAM_CHECK_H
#define MKPORTABLE_COMMAND_PROGRAM_CHECK_H

#include "command_entry.h"
#include "osspecific.h"
#include "tree_scan.h"
#include "zip_region.h"

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mkportable {

// One entry of an image, from a scanned directory or from a zip.
struct ImageFile {
    std::string name; // as stored: a directory's ends in '/'
    EntryKind kind = EntryKind::File;
    mode_t mode = 0;
    bool modeKnown = true;        // false for zip entries made on no Unix host
    bool targetKnown = false;     // a link's target was read
    std::string target;           // the link's target text
    std::filesystem::path source; // where a directory image's file is read; empty for a zip's
};

// The path in the image of the program that `command` starts when its first
// word names a file of the unpacked tree: "./bin/x" gives "bin/x", and
// "cd d ; ./x" gives "d/x". Nothing when the word is looked up on PATH
// (no '/'), is absolute, leads out of the tree, or holds what the shell
// would expand or unquote.
std::optional<std::string> commandProgramPath(const std::string &command);

// The program `path` among `files`, links followed inside the image.
struct ProgramLookup {
    std::string problem;             // why it cannot run; empty when it can
    const ImageFile *file = nullptr; // the regular file reached; null when a link could not be followed
};
// A top-level entry counts as executable whatever its mode: the launcher
// makes every top-level entry executable before it runs the command.
ProgramLookup findCommandProgram(const std::string &path, const std::vector<ImageFile> &files);

// The listing of a scanned directory image, with link targets read.
std::vector<ImageFile> imageFiles(const std::vector<TreeEntry> &entries);

// The listing of a zip image; link targets are not read, so a link passes
// the check unfollowed.
std::vector<ImageFile> zipImageFiles(const std::vector<ImageEntry> &entries);

// Checks each record of `commands` that image `imageIndex` of `imageCount`
// serves (a dual image's first variant serves i386 records and records for
// any machine, the second x86_64 ones and any) against that image: the
// program it starts must be there and executable, and when it (or, for a
// bundled program, the program behind the wrapper) or a bundled program is
// an ELF file that the check can read, its class and machine must be the
// record's architecture. Returns one sentence per fault, naming the record.
// Records for any architecture are checked against `packageMachine` when it
// is PFM_ARCH_ARM64: an ARM package runs only on ARM machines.
std::vector<std::string> commandProgramProblems(const std::vector<CommandEntry> &commands,
                                                const std::vector<ImageFile> &files, std::size_t imageIndex,
                                                std::size_t imageCount, std::int32_t packageMachine = PFM_ANY);

// Warns on `err` for each record whose command is a pipeline or a '||'
// list outside quotes: the operator's arguments go to its last command.
void warnAboutPipelines(const std::vector<CommandEntry> &commands, std::ostream &err);

} // namespace mkportable

#endif
