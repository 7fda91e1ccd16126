// The `info` subcommand: a package in words or as JSON.
#ifndef MKPORTABLE_INFO_COMMAND_H
#define MKPORTABLE_INFO_COMMAND_H

#include "mkportable/package/package_digest.h"
#include "mkportable/package/package_probe.h"

#include <filesystem>
#include <ostream>

namespace CLI {
class App;
}

namespace mkportable {

struct InfoOptions {
    std::filesystem::path package;
    bool json = false;
};

CLI::App *addInfoCommand(CLI::App &app, InfoOptions &options);

// Prints the package directory, the global info, the digest, every record in
// words, the image variants and the files of each image with their sizes
// (text from the package escaped for the terminal), then any problems found
// on the way. Returns the exit status: 0, or 1 when the
// directory cannot be trusted (the reason then goes to `err`).
int runInfo(const InfoOptions &options, std::ostream &out, std::ostream &err);

// What info says of a package's digest and signature.
struct DigestInfo {
    DigestDescription digest; // what describePackageDigest said
    std::string signer;       // the key ID that describePackageSignature gave, or empty
};

// The version of the JSON document that `info --json` prints: 2 since the
// digest is an object ({"algorithm", "hex"}) rather than one text.
constexpr int INFO_JSON_FORMAT = 2;

// The two renderings of a probed package whose layout is sound.
void printInfoText(const ProbedPackage &pkg, const DigestInfo &digest, std::ostream &out);
void printInfoJson(const ProbedPackage &pkg, const DigestInfo &digest, std::ostream &out);

} // namespace mkportable

#endif
