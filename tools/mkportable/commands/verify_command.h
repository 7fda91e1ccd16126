// The `verify` subcommand: checks a package the way the launcher will use it.
#ifndef MKPORTABLE_VERIFY_COMMAND_H
#define MKPORTABLE_VERIFY_COMMAND_H

#include <filesystem>
#include <ostream>
#include <vector>

namespace CLI {
class App;
}

namespace mkportable {

struct VerifyOptions {
    std::filesystem::path package;
    std::vector<std::filesystem::path> keys; // public keys, one of which must have signed it
};

CLI::App *addVerifyCommand(CLI::App &app, VerifyOptions &options);

// Checks that the element sizes add up to the file, that the records fit
// their table and the global info, that every zip entry's data matches its
// CRC and size, and that no entry would be unpacked outside the target
// directory; that the signature area is empty or well formed and, with
// `keys`, holds a valid signature by one of them. Prints one line per problem and a verdict to `out`; returns 0
// only when there is no problem, else 1.
int runVerify(const VerifyOptions &options, std::ostream &out);

} // namespace mkportable

#endif
