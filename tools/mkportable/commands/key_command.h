// The `key` subcommand: `key generate NAME` makes a signing key pair in
// minisign's formats (signing_key.h).
#ifndef MKPORTABLE_KEY_COMMAND_H
#define MKPORTABLE_KEY_COMMAND_H

#include <filesystem>
#include <ostream>

namespace CLI {
class App;
}

namespace mkportable {

struct KeyOptions {
    std::filesystem::path name; // NAME: the pair is NAME.pub and NAME.key
};

// Registers `key` with its one action, `generate`; returns that action's
// subcommand, which is parsed when it was asked for.
CLI::App *addKeyCommand(CLI::App &app, KeyOptions &options);

// Writes NAME.pub (mode 0644 less the umask) and NAME.key (0600), each
// created new: an existing file is never overwritten, and when the second
// cannot be created the first is removed again. The secret key is never
// printed. Says what it wrote on `out`; throws PackError on failure.
void runKeyGenerate(const KeyOptions &options, std::ostream &out);

} // namespace mkportable

#endif
