// The `sign` subcommand: signs a package that is already built.
#ifndef MKPORTABLE_SIGN_COMMAND_H
#define MKPORTABLE_SIGN_COMMAND_H

#include <filesystem>
#include <ostream>

namespace CLI {
class App;
}

namespace mkportable {

struct SignOptions {
    std::filesystem::path package;
    std::filesystem::path key;
    bool detached = false;
};

CLI::App *addSignCommand(CLI::App &app, SignOptions &options);

// Signs the package in place, atomically: a signed copy is written beside it
// and renamed onto it, with the package's mode. The package must hold a
// sha256-v2 digest record that matches it, or variant fields of zeros
// only, which get one first (package_signing.h). With `detached` it also
// writes PACKAGE.minisig; without, it removes a PACKAGE.minisig that the
// signing made stale. Throws PackError.
void runSign(const SignOptions &options, std::ostream &out);

} // namespace mkportable

#endif
