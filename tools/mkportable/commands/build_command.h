// The `build` subcommand: packs a tool into a portable package, from a
// manifest (manifest.h) or from command-line options for one record.
#ifndef MKPORTABLE_BUILD_COMMAND_H
#define MKPORTABLE_BUILD_COMMAND_H

#include "mkportable/package/package_plan.h"

#include <filesystem>
#include <optional>
#include <ostream>
#include <vector>

namespace CLI {
class App;
class Option;
}

namespace mkportable {

// Everything `build` takes, as given on the command line.
struct BuildOptions {
    std::filesystem::path manifest;
    std::filesystem::path output;
    std::filesystem::path image;
    std::filesystem::path image32;
    std::filesystem::path image64;
    std::filesystem::path launcher;
    std::filesystem::path unzip;
    std::optional<std::int32_t> target; // --target: PackagePlan::target
    CommandEntry command;
    bool strictPlatformMatch = false;
    // --guard, --progress, --signals, --working-directory, --name,
    // --package-version and --summary, applied in the order given.
    std::vector<std::pair<std::string, std::string>> settings;
    bool quiet = false;
    std::optional<int> level;
    std::vector<std::string> bundle;
    std::vector<std::string> exclude;
    bool copyExternalLinks = false;
    std::filesystem::path depfile;
    std::filesystem::path signingKey;
    bool detached = false;
    // The options that describe records and images, which a manifest
    // replaces; filled by addBuildCommand, to tell which were given.
    std::vector<const CLI::Option *> recordOptions;
};

// Registers the `build` subcommand and its options on `app`; parsing fills
// `options`.
CLI::App *addBuildCommand(CLI::App &app, BuildOptions &options);

// The package that `options` describe: the manifest, if one is named, with
// -o, --launcher and --unzip taking precedence over it; otherwise the
// record and image options. Throws UsageError when the options do not
// describe a package (no --command, no image, half a dual image, no
// output), PackError when the manifest is wrong.
PackagePlan planFromOptions(const BuildOptions &options);

// How a build runs, beyond what the package is made of.
struct BuildSettings {
    const char *sourceDateEpoch = nullptr;    // the variable's value; null when unset
    std::filesystem::path programDir;         // where mkportable lives, for the default programs
    bool quiet = false;                       // no summary
    std::ostream *progress = nullptr;         // a terminal to draw a progress bar on, or null
    std::filesystem::path depfile;            // where to list the package's inputs, or empty
    const char *signingKeyVariable = nullptr; // MKPORTABLE_SIGNING_KEY: the key when the plan names none
    bool detached = false;                    // also write PACKAGE.minisig
};

// Builds the package that `plan` describes: checks the records, the output
// and the inputs, opens the launcher and the unzip utility (by default the
// ones for the package's machines, found beside mkportable), prepares each
// image (zipping a directory with the SOURCE_DATE_EPOCH time stamp) and
// writes the package atomically, signed when the plan or the settings name
// a key (with PACKAGE.minisig beside it when `detached`). Warnings go to `err`; unless quiet, a
// summary goes to `out`. Throws PackError with a message naming the problem.
void runBuild(const PackagePlan &plan, const BuildSettings &settings, std::ostream &out, std::ostream &err);

} // namespace mkportable

#endif
