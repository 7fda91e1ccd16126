// The `build` subcommand: packs a tool into a portable package.
#ifndef MKPORTABLE_BUILD_COMMAND_H
#define MKPORTABLE_BUILD_COMMAND_H

#include "command_entry.h"

#include <filesystem>
#include <ostream>

namespace CLI {
class App;
}

namespace mkportable {

// Everything `build` needs, as given on the command line.
struct BuildOptions {
    std::filesystem::path output;
    std::filesystem::path image;
    std::filesystem::path launcher;
    std::filesystem::path unzip;
    CommandEntry command;
    bool strictPlatformMatch = false;
    bool quiet = false;
};

// Registers the `build` subcommand and its options on `app`; parsing fills
// `options`. `programDir` supplies the defaults of --launcher and --unzip.
CLI::App *addBuildCommand(CLI::App &app, BuildOptions &options,
                          const std::filesystem::path &programDir);

// Builds the package that `options` describe: checks the command record,
// opens the launcher and the unzip utility, prepares the image (zipping a
// directory with the SOURCE_DATE_EPOCH time stamp from `sourceDateEpoch`,
// null when unset) and writes the package atomically. Unless quiet, prints
// a summary to `out`. Throws PackError with a message naming the problem.
void runBuild(const BuildOptions &options, const char *sourceDateEpoch, std::ostream &out);

} // namespace mkportable

#endif
